#!/usr/bin/env bash
# Fails when an include in jet/ points up the engine's folder order (see
# jet/README.md) or out of jet/ into the project's other layers. Prints each
# offending line.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
order=(base page table index txn write sql)
rank() {
    local i
    for i in "${!order[@]}"; do [ "${order[$i]}" = "$1" ] && { echo "$i"; return; }; done
    echo -1
}
bad=0
cd "$root"
while IFS= read -r file; do
    folder=${file#jet/}; folder=${folder%%/*}
    own=$(rank "$folder")
    if [ "$own" -lt 0 ]; then
        echo "$file: a source file outside the engine's folders"; bad=1; continue
    fi
    while IFS= read -r line; do
        target=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' <<<"${line#*:}")
        [ -z "$target" ] && continue
        case "$target" in
            jet/*/*) ;;
            */*) echo "$file:${line%%:*}: includes $target, outside jet/"; bad=1; continue ;;
            *) continue ;;  # a file beside it
        esac
        to=${target#jet/}; to=${to%%/*}
        r=$(rank "$to")
        if [ "$r" -lt 0 ] || [ "$r" -gt "$own" ]; then
            echo "$file:${line%%:*}: jet/$folder includes $target, which is above it"; bad=1
        fi
    done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
done < <(find jet -mindepth 1 \( -name '*.h' -o -name '*.cpp' -o -name '*.inc' \) | sort)
[ "$bad" -eq 0 ] && echo "jet/: every include follows the folder order"
exit "$bad"
