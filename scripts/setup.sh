#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, skipping
# what is already there. Safe to run again.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

# clang and its sanitizer runtimes build the instrumented test build
# (scripts/build.sh --sanitize) faster than g++; lld links both builds'
# test programs faster than the default linker.
# fonts-wqy-microhei: the window's texts are Chinese, and a fresh Debian has
# no font with Chinese glyphs (every character would be drawn as a box).
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev
          qt6-base-dev qt6-translations-l10n libsqlite3-dev libssl-dev libcli11-dev nlohmann-json3-dev
          fonts-wqy-microhei mdbtools nodejs npm clang libclang-rt-dev zlib1g-dev lld)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The machine image may carry node and npm outside Debian's packages.
if command -v node >/dev/null && command -v npm >/dev/null; then
  missing=("${missing[@]/nodejs}"); missing=("${missing[@]/npm}")
fi
read -r -a missing <<<"${missing[*]:-}"
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi

# mdb-reader, an independent reader of .mdb files used by the cross-checks.
if [ ! -d "$here/tests/readers/node_modules/mdb-reader" ]; then
  echo "setup: installing the npm test readers"
  (cd "$here/tests/readers" && npm ci --no-audit --no-fund --loglevel=error)
fi
