#!/usr/bin/env bash
# Builds the tool and runs its main job on an example database.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh"
bin="$here/build/app/mdbrepair"
example="$here/../shared/fixtures/jet4-types.mdb"
if [ -f "$example" ]; then
  echo "The repair is still being built; listing a database instead:"
  "$bin" --list "$example"
else
  "$bin" --help
fi
