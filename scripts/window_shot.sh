#!/usr/bin/env bash
# Takes a screenshot of the window after a repair, under a real window
# manager (Xvfb and openbox), so that the title bar shows:
#   bash scripts/window_shot.sh [OUT.png]      (default docs/window-desktop.png)
# Needs xvfb, openbox, xdotool, x11-utils and imagemagick, and the Chinese
# font fonts-wqy-microhei; the programs are taken from build/app.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/docs/window-desktop.png}
work=$(mktemp -d /tmp/data.XXXX)
display=:$((90 + RANDOM % 9))
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

"$here/build/app/mdbrepair" --sample "$work/shop.mdb" >/dev/null
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
openbox >/dev/null 2>&1 & pids+=($!)
"$here/build/app/mdbrepair-gui" "$work/shop.mdb" >/dev/null 2>&1 & pids+=($!)

win=""
for _ in $(seq 100); do
  win=$(xdotool search --name "MDB数据库压缩修复工具" 2>/dev/null | head -1) && [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "window_shot: the window did not appear" >&2; exit 1; }
# Wait for the window manager's frame, then press "修复" (client 432,8 75x25).
for _ in $(seq 50); do
  xwininfo -frame -id "$win" 2>/dev/null | grep -q "Relative upper-left X: *[1-9]" && break
  sleep 0.1
done
sleep 0.5
xdotool mousemove --window "$win" 470 20 click 1
# The new file takes its name when the run has written its completion lines;
# the summary follows at once.
for _ in $(seq 300); do
  [ -s "$work/shop.mdb.new" ] && break
  sleep 0.1
done
sleep 1
xdotool mousemove 790 590
sleep 0.3
geom=$(xwininfo -frame -id "$win")
get() { echo "$geom" | sed -n "s/.*$1: *\(-\?[0-9]*\).*/\1/p" | head -1; }
x=$(get "Absolute upper-left X"); y=$(get "Absolute upper-left Y")
w=$(get "Width"); h=$(get "Height")
fx=$(get "Relative upper-left X"); fy=$(get "Relative upper-left Y")
# The frame around the client: title bar above, borders around.
import -window root -crop "$((w + 2 * fx))x$((h + fy + fx))+$((x - fx))+$((y - fy))" +repage "$out"
echo "window_shot: $out"
