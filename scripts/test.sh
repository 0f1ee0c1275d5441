#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
# --sanitize builds and runs the same suite under ASan and UBSan.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" "$@"
dir="$here/build"; [ "${1:-}" = "--sanitize" ] && dir="$here/build-asan"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen
# One test more than there are cores: many tests wait on a child process
# (mdbtools, the reader in node, the command line program) part of the time.
cd "$dir" && ctest --output-on-failure -j "$(( $(nproc) + 1 ))"
