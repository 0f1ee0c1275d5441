#!/usr/bin/env bash
# Configures and builds into build/ (or build-asan/ with --sanitize).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir="$here/build"; extra=()
if [ "${1:-}" = "--sanitize" ]; then
  dir="$here/build-asan"; extra=(-DZOLVAK_SANITIZE=ON)
  # clang compiles the instrumented build in about 60% of g++'s time (the
  # sanitizers' code is most of the work at -O1), and its checks are the
  # same ones. g++ remains the fallback.
  if command -v clang++ >/dev/null 2>&1; then
    extra+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
  fi
fi
# A compiler cache, where the machine has one, makes rebuilds in other
# checkouts of the same sources cheap; a fresh machine builds without it.
if command -v ccache >/dev/null 2>&1; then
  extra+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$here" -B "$dir" -G Ninja "${extra[@]}" >/dev/null
# One job more than there are cores (ninja's own default on a small
# machine): a core whose job waits on the disk or on a linker's output has
# the next one ready.
cmake --build "$dir" -j "$(( $(nproc) + 1 ))"
