#!/usr/bin/env bash
# Installs what building and running need (apt), builds, and runs the server.
#   ./run.sh                 demo on loopback: a test-pattern stream, SRT on 9000, web on 8080
#   ./run.sh KEY=VALUE ...   the server alone with these settings
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh run
cmake -S . -B build -G Ninja >/dev/null
ninja -C build vandra-server

if [ $# -gt 0 ]; then
    exec build/vandra-server "$@"
fi
exec scripts/demo.sh build
