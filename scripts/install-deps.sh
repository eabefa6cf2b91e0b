#!/usr/bin/env bash
# Installs, with apt, everything the build, the tests, the benchmarks, the demo and the
# package check (dpkg-shlibdeps, lintian, systemd-analyze) need.
# Idempotent: runs apt-get update and install only when a package is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang libclang-rt-dev
    libsrt-openssl-dev libcpp-httplib-dev libgtest-dev libbenchmark-dev
    nlohmann-json3-dev prometheus
    srt-tools ffmpeg chromium
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
    iproute2 wrk procps clang-format python3
    dpkg-dev lintian systemd
)

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
