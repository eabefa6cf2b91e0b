#!/usr/bin/env bash
# Prints how much of the project's code is test code: non-blank lines of the tracked source,
# script, page and style files, the vendored chart library left out.
# Usage: scripts/code-share.sh [--check PERCENT]   exits 1 when tests exceed PERCENT
set -euo pipefail
cd "$(dirname "$0")/.."

count() { # grep -E pattern over the counted files
    git ls-files -z | tr '\0' '\n' | grep -v '^WEB/vendor/' |
        grep -E '\.(cpp|h|py|js|mjs|sh|css|html)$' | grep -E "$1" |
        tr '\n' '\0' | xargs -0 -r grep -c -v '^[[:space:]]*$' | awk -F: '{ s += $NF } END { print s + 0 }'
}

tests=$(count '^tests/')
all=$(count '.')
percent=$(awk -v t="$tests" -v a="$all" 'BEGIN { printf "%.1f", a ? 100 * t / a : 0 }')
echo "test code: $tests of $all non-blank lines ($percent %)"
if [ "${1:-}" = "--check" ]; then
    awk -v p="$percent" -v max="${2:?--check needs a percentage}" 'BEGIN { exit !(p <= max) }'
fi
