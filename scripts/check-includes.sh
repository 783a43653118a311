#!/usr/bin/env bash
# Checks that includes point down the layers only: the engine includes
# nothing of the session or of any front end, the session nothing of the
# front ends, and no front end anything of another. Prints each include
# that points the wrong way and fails when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

# layer: the layers its files may include besides its own
declare -A allowed=(
    [engine]="engine"
    [session]="engine session"
    [window]="engine session window"
    [cli]="engine cli"
    [mqtt]="engine mqtt"
)

status=0
for layer in "${!allowed[@]}"; do
    while IFS=: read -r file line text; do
        target=$(sed -E 's/^#include "([^/"]+)\/.*/\1/' <<<"$text")
        [[ -d src/$target ]] || continue # a file of its own folder, or a generated one
        if [[ " ${allowed[$layer]} " != *" $target "* ]]; then
            echo "$file:$line: $layer includes $target: $text"
            status=1
        fi
    done < <(grep -rnE '^#include "[^"]+/' "src/$layer" --include='*.h' --include='*.cpp' || true)
done
# Every folder under src/ is a layer this script knows.
for dir in src/*/; do
    name=$(basename "$dir")
    [[ -n ${allowed[$name]+x} ]] || { echo "src/$name: a folder this check does not know"; status=1; }
done
if ((status == 0)); then
    echo "includes point down the layers only"
fi
exit $status
