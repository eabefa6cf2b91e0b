#!/usr/bin/env bash
# Runs the tests whose names match REGEX ROUNDS times in a row while two busy loops keep both
# cores loaded, and prints each test's pass count: the tests must not depend on a quiet machine.
# Usage: scripts/stress-check.sh BUILD_DIR REGEX [ROUNDS]   (default 20)
set -uo pipefail

build_dir=${1:?usage: $0 BUILD_DIR REGEX [ROUNDS]}
regex=${2:?usage: $0 BUILD_DIR REGEX [ROUNDS]}
rounds=${3:-20}
log_dir="$(cd "$build_dir" && pwd)/stress-check" || exit 1
mkdir -p "$log_dir"

burners=()
stop_burners() {
    for pid in "${burners[@]}"; do kill "$pid" 2>/dev/null; done
}
trap stop_burners EXIT
for _ in 1 2; do
    (while :; do :; done) &
    burners+=($!)
done

declare -A passed failed
for round in $(seq 1 "$rounds"); do
    log="$log_dir/round-$round.log"
    (cd "$build_dir" && ctest -R "$regex" --timeout 600 --output-on-failure >"$log" 2>&1)
    while read -r name result; do
        if [ "$result" = "Passed" ]; then
            passed[$name]=$((${passed[$name]:-0} + 1))
        else
            failed[$name]=$((${failed[$name]:-0} + 1))
        fi
    done < <(sed -n 's/^ *[0-9]*\/[0-9]* *Test *#[0-9]*: \([^ ]*\) [ .*]*\([A-Za-z*]*\).*/\1 \2/p' "$log")
    echo "round $round of $rounds done"
done

echo "=== passes of $rounds rounds under two busy loops (logs in $log_dir) ==="
for name in $(printf '%s\n' "${!passed[@]}" "${!failed[@]}" | sort -u); do
    printf '%3d/%d  %s\n' "${passed[$name]:-0}" "$rounds" "$name"
done
