#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test with ctest: the plain build, the
# AddressSanitizer+UBSan build, the threaded tests under ThreadSanitizer, and a short run of
# each libFuzzer target; checks formatting, the folders' one-way dependencies and, with clang,
# the lock annotations.
# Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh test || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
failures=()

build() { # folder, extra cmake arguments...
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
    ninja -C "$dir" -j "$jobs"
}

run_ctest() { # name, folder, ctest arguments...
    local name=$1 dir=$2
    shift 2
    echo "=== $name ==="
    if ! (cd "$dir" && ctest --output-on-failure --timeout 900 "$@"); then
        failures+=("$name")
    fi
}

echo "=== formatting ==="
unformatted=$(git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror 2>&1 | grep -c 'error:' || true)
if [ "$unformatted" != "0" ]; then
    git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror 2>&1 | head -20
    failures+=("clang-format")
fi

echo "=== layers ==="
./scripts/check-layers.sh || failures+=("layers")

# clang proves the lock annotations (-Wthread-safety, as errors); nothing is run from here.
echo "=== clang thread-safety analysis ==="
mkdir -p build-clang
if ! build build-clang -DCMAKE_CXX_COMPILER=clang++ -DVANDRA_SANITIZER= -DVANDRA_BUILD_BENCH=OFF; then
    failures+=("clang thread-safety build")
fi

mkdir -p build-asan build-tsan
if build build -DVANDRA_SANITIZER=; then
    run_ctest "plain build" build -j 2 -E '^tsan\.'
else
    failures+=("plain build (compile)")
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if build build-asan -DVANDRA_SANITIZER=address -DVANDRA_BUILD_BENCH=OFF; then
    run_ctest "AddressSanitizer+UBSan build" build-asan -j 2 -LE slow
else
    failures+=("asan build (compile)")
fi

# A caller's thread that ended but was not yet joined by the 3-second reaper when the server
# is stopped is by design, not a leak.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 report_thread_leaks=0 suppressions=$PWD/tests/tsan.supp"
if build build-tsan -DVANDRA_SANITIZER=thread -DVANDRA_BUILD_BENCH=OFF; then
    run_ctest "ThreadSanitizer build (threaded tests)" build-tsan -L threaded
else
    failures+=("tsan build (compile)")
fi

echo "=== fuzz smoke ==="
if ! ./scripts/fuzz-smoke.sh 8; then
    failures+=("fuzz smoke")
fi

if [ ${#failures[@]} -gt 0 ]; then
    echo "FAILED: ${failures[*]}"
    exit 1
fi
echo "all test stages passed"
