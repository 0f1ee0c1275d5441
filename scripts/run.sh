#!/usr/bin/env bash
# Builds the tool and runs its main job: writes a sample database, repairs
# it, shows the log and lists the new file. With a file argument it repairs
# that file instead:  bash scripts/run.sh [mdbrepair options] SOURCE.mdb
# When a display is available the window opens afterwards
# (ZOLVAK_NO_GUI=1 keeps it closed).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh" >&2
bash "$here/scripts/build.sh" >&2
bin="$here/build/app/mdbrepair"

if [ $# -gt 0 ]; then
  exec "$bin" "$@"
fi

work="$here/build/sample"
mkdir -p "$work"
rm -f "$work/sample.mdb" "$work/sample.mdb.new"
echo "== writing a sample database"
"$bin" --sample "$work/sample.mdb" --rows 5000
echo "== repairing it: mdbrepair $work/sample.mdb"
status=0
"$bin" "$work/sample.mdb" || status=$?
echo "== exit status $status; the new file's inventory (mdbrepair --list):"
"$bin" --list "$work/sample.mdb.new"

gui="$here/build/app/gui/mdbrepair-gui"
[ -x "$gui" ] || gui="$here/build/app/mdbrepair-gui"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${ZOLVAK_NO_GUI:-}" ] && [ -x "$gui" ]; then
  echo "== opening the window ($gui)"
  "$gui"
elif [ -x "$gui" ]; then
  echo "== no display: start the window later with $gui"
fi
exit $status
