#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test with ctest: the plain build (Release,
# as packagers build it), the AddressSanitizer+UBSan build, the tests whose threads matter under
# ThreadSanitizer, and a short run of each libFuzzer target; checks formatting, the folders'
# one-way dependencies and, with clang, the lock annotations. Warnings are errors in every build.
# Prints each stage's time and the slowest tests; exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")" || exit 1

./scripts/install-deps.sh test || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
# Most end-to-end tests wait on real-time streams and peers' time-outs rather than on the CPU,
# so more of them run than there are cores; the ones that load the CPU hold a resource lock
# (tests/testpolicy.cmake).
test_jobs=$((jobs + 2))
common=(-G Ninja -DVANDRA_WERROR=ON -DVANDRA_BUILD_BENCH=OFF)
failures=()
timings=()
slowest=()
suite_start=$SECONDS

stage() { # name: starts timing a stage
    stage_name=$1
    stage_start=$SECONDS
    echo "=== $1 ==="
}

stage_done() {
    timings+=("$(printf '%5d s  %s' $((SECONDS - stage_start)) "$stage_name")")
}

build() { # folder, extra cmake arguments...
    local dir=$1
    shift
    mkdir -p "$dir"
    cmake -S . -B "$dir" "${common[@]}" "$@" >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log"
        return 1
    }
}

run_ctest() { # name, folder, ctest arguments...
    local name=$1 dir=$2
    shift 2
    local log="$dir/ctest-output.log"
    if ! (cd "$dir" && ctest --output-on-failure --timeout 600 "$@" 2>&1 | tee "ctest-output.log"; exit "${PIPESTATUS[0]}"); then
        failures+=("$name")
    fi
    # "  12/180 Test  #34: Name ........   Passed   12.34 sec"
    while IFS= read -r line; do slowest+=("$line  ($name)"); done < <(
        sed -n 's/^ *[0-9]*\/[0-9]* *Test *#[0-9]*: \([^ ]*\) .* \([0-9.]*\) sec$/\2 \1/p' "$log")
}

stage "formatting and layers"
unformatted=$(git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror 2>&1 | grep -c 'error:' || true)
if [ "$unformatted" != "0" ]; then
    git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror 2>&1 | head -20
    failures+=("clang-format")
fi
./scripts/check-layers.sh || failures+=("layers")
stage_done

# clang proves the lock annotations of the server's own code (-Wthread-safety, as errors);
# nothing is run from here.
stage "clang build with thread-safety analysis"
if ! { build build-clang -DCMAKE_CXX_COMPILER=clang++ -DVANDRA_SANITIZER= &&
    ninja -C build-clang -j "$jobs" vandra vandra-server; }; then
    failures+=("clang thread-safety build")
fi
stage_done

stage "plain Release build"
if build build -DCMAKE_BUILD_TYPE=Release -DVANDRA_SANITIZER= && ninja -C build -j "$jobs"; then
    stage_done
    stage "plain Release build: every test"
    run_ctest "plain build" build -j "$test_jobs" -LE '^threaded-only$'
else
    failures+=("plain build (compile)")
fi
stage_done

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
stage "AddressSanitizer+UBSan build"
if build build-asan -DVANDRA_SANITIZER=address && ninja -C build-asan -j "$jobs"; then
    stage_done
    stage "AddressSanitizer+UBSan: tests but the slow, browser, external-server and package ones"
    run_ctest "AddressSanitizer+UBSan build" build-asan -j "$test_jobs" \
        -LE '^(slow|browser|external|package|threaded-only)$'
else
    failures+=("asan build (compile)")
fi
stage_done

# A caller's thread that ended but was not yet joined by the 3-second reaper when the server
# is stopped is by design, not a leak.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 report_thread_leaks=0 suppressions=$PWD/tests/tsan.supp"
stage "ThreadSanitizer build"
if build build-tsan -DVANDRA_SANITIZER=thread && ninja -C build-tsan -j "$jobs"; then
    stage_done
    stage "ThreadSanitizer: the tests whose threads matter"
    run_ctest "ThreadSanitizer build (threaded tests)" build-tsan -j "$test_jobs" -L '^threaded' \
        -LE '^(browser|external)$'
else
    failures+=("tsan build (compile)")
fi
stage_done

stage "fuzz smoke"
if ! ./scripts/fuzz-smoke.sh 6; then
    failures+=("fuzz smoke")
fi
stage_done

echo "=== stage times ==="
printf '%s\n' "${timings[@]}"
printf '%5d s  %s\n' $((SECONDS - suite_start)) "all stages"
echo "=== ten slowest tests ==="
printf '%s\n' "${slowest[@]}" | sort -rn | head -10 | awk '{ t = $1; $1 = ""; printf "%7.1f s %s\n", t, $0 }'
./scripts/code-share.sh

if [ ${#failures[@]} -gt 0 ]; then
    echo "FAILED: ${failures[*]}"
    exit 1
fi
echo "all test stages passed"
