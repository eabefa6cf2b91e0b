#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) in build-fuzz and runs each one for a few
# seconds on a scratch copy of its seed corpus under tests/fuzz/corpus, so that the corpus in
# the repository stays as it is. Exits non-zero when a target fails to build or finds a crash.
# Usage: scripts/fuzz-smoke.sh [SECONDS_PER_TARGET]   (default 8)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

seconds=${1:-8}
build_dir=build-fuzz
targets=(access_fuzz configreader_fuzz parsesrturl_fuzz programfilter_fuzz psi_fuzz ringbuffer_fuzz rtp_fuzz
         rtpmerge_fuzz tsinspect_fuzz)

if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "usage: $0 [SECONDS_PER_TARGET]" >&2
    exit 2
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# A clang without its runtime libraries fails only at link time, with an obscure message.
probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! echo "$probe" | clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o "$scratch/probe" \
    >"$scratch/probe.log" 2>&1; then
    cat "$scratch/probe.log"
    echo "clang++ cannot link a libFuzzer target: install libclang-rt-dev" >&2
    exit 1
fi

mkdir -p "$build_dir"
if ! cmake -S . -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVANDRA_FUZZ=ON \
    -DVANDRA_BUILD_BENCH=OFF -DVANDRA_WERROR=ON -DVANDRA_SANITIZER= >"$build_dir/configure.log" 2>&1; then
    cat "$build_dir/configure.log"
    exit 1
fi
# Only the fuzz targets: the rest of the tree is built and tested with g++ elsewhere.
ninja -C "$build_dir" -j "$(nproc 2>/dev/null || echo 2)" "${targets[@]}" || exit 1

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
log_dir="$build_dir/fuzz-logs"
mkdir -p "$log_dir"
passed=0
failed=0

final_stat() { # name, log
    sed -n "s/^stat::$1: *//p" "$2" | tail -1
}

for target in "${targets[@]}"; do
    corpus="$scratch/$target/corpus"
    artifacts="$scratch/$target/artifacts"
    mkdir -p "$corpus" "$artifacts"
    cp tests/fuzz/corpus/"$target"/* "$corpus"/
    seeds=$(find "$corpus" -type f | wc -l)
    log="$log_dir/$target.log"

    start=$(date +%s)
    "$build_dir/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1
    rc=$?
    elapsed=$(($(date +%s) - start))

    crashes=$(find "$artifacts" -type f | wc -l)
    executions=$(final_stat number_of_executed_units "$log")
    rate=$(final_stat average_exec_per_sec "$log")
    units=$(find "$corpus" -type f | wc -l)
    summary="$target: ${executions:-?} executions in ${elapsed} s (${rate:-?}/s), corpus $seeds -> $units, $crashes crashes"
    if [ "$rc" -eq 0 ] && [ "$crashes" -eq 0 ]; then
        echo "$summary, passed"
        passed=$((passed + 1))
    else
        kept="$build_dir/fuzz-artifacts/$target"
        mkdir -p "$kept"
        cp "$artifacts"/* "$kept"/ 2>/dev/null
        echo "$summary, FAILED (exit $rc; log $log; inputs kept in $kept)"
        grep -E -A 25 'ERROR: |invariant broken|runtime error' "$log" | head -40
        failed=$((failed + 1))
    fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
