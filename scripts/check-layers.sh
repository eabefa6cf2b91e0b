#!/usr/bin/env bash
# Checks that the server's folders depend on each other one way only: a file may include
# headers of its own folder and of folders below it, never of a folder above.
#   platform < core < ingest < srt < web < app
# Exits non-zero and names the offending lines when a file reaches upwards.
set -uo pipefail
cd "$(dirname "$0")/.."

layers=(platform core ingest srt web app)
rank() {
    local i
    for i in "${!layers[@]}"; do
        [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
    done
    echo -1
}

status=0
for folder in "${layers[@]}"; do
    own=$(rank "$folder")
    while IFS=: read -r file line text; do
        target=$(sed -n 's/.*#include "\([a-z]*\)\/.*/\1/p' <<<"$text")
        [ -n "$target" ] || continue
        theirs=$(rank "$target")
        if [ "$theirs" -gt "$own" ]; then
            echo "$file:$line: $folder/ must not include $target/: $text"
            status=1
        fi
    done < <(git grep -n '#include "' -- "$folder/*.h" "$folder/*.cpp")
done
[ "$status" -eq 0 ] && echo "layers: every include points downwards (${layers[*]})"
exit "$status"
