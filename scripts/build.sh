#!/usr/bin/env bash
# Configures and builds into build/ (or build-asan/ with --sanitize).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir="$here/build"; extra=()
if [ "${1:-}" = "--sanitize" ]; then
  dir="$here/build-asan"; extra=(-DZOLVAK_SANITIZE=ON)
fi
cmake -S "$here" -B "$dir" -G Ninja "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
