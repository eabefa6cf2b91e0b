#!/usr/bin/env bash
# Installs with apt what is missing, in three sets:
#   scripts/install-deps.sh run      what building and running the server (and the demo) need
#   scripts/install-deps.sh package  what building the Debian package and checking it with
#                                    lintian need, and nothing else
#   scripts/install-deps.sh test     all of that, and what the tests, benchmarks, fuzzing and
#                                    the package check need on top
#   scripts/install-deps.sh --list run|package|test   prints the set and installs nothing
# Idempotent: runs apt-get update and install only when a package is missing.
set -euo pipefail

build_packages=(
    build-essential cmake ninja-build pkg-config
    libsrt-openssl-dev libmicrohttpd-dev nlohmann-json3-dev
)
run_packages=("${build_packages[@]}" ffmpeg procps)
# help2man writes the manual page; dpkg-shlibdeps (dpkg-dev) and file find the dependencies.
packaging_tools=(help2man dpkg-dev file lintian)
test_packages=(
    clang libclang-rt-dev clang-format libgtest-dev libbenchmark-dev libcpp-httplib-dev
    srt-tools chromium python3 prometheus
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
    iproute2 wrk
    systemd man-db
    ccache nodejs
)

list_only=0
if [ "${1:-}" = "--list" ]; then
    list_only=1
    shift
fi
case "${1:-test}" in
run) packages=("${run_packages[@]}") ;;
package) packages=("${build_packages[@]}" "${packaging_tools[@]}") ;;
test) packages=("${run_packages[@]}" "${packaging_tools[@]}" "${test_packages[@]}") ;;
*)
    echo "usage: $0 [--list] run|package|test" >&2
    exit 2
    ;;
esac
if [ "$list_only" -eq 1 ]; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
