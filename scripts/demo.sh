#!/usr/bin/env bash
# Runs the built server with a demo server.ini beside it and a test-pattern transport stream
# published to a loopback multicast group. Ctrl-C stops both.
set -euo pipefail
build_dir=${1:-build}
server="$build_dir/vandra-server"
ini="$build_dir/server.ini"
group=239.255.0.1
udp_port=5000
srt_port=9000
web_port=8080

if [ -f "$ini" ] && ! grep -q '^# vandra demo' "$ini"; then
    echo "Using your own $ini (no demo publisher)."
    exec "$server"
fi

cat >"$ini" <<INI
# vandra demo: written by scripts/demo.sh; replace this file to run your own settings
[config]
source=udp://$group:$udp_port(127.0.0.1)
port=$srt_port
webport=$web_port
latency=200
INI

ffmpeg -hide_banner -loglevel fatal -nostdin -re \
    -f lavfi -i "testsrc2=size=1280x720:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" \
    -c:v libx264 -preset veryfast -tune zerolatency -b:v 3M -maxrate 3M -bufsize 1M -g 50 \
    -c:a aac -b:a 128k \
    -f mpegts -muxrate 3600k \
    "udp://$group:$udp_port?pkt_size=1316&localaddr=127.0.0.1&ttl=1" &
publisher=$!
trap 'kill "$publisher" 2>/dev/null || true; wait "$publisher" 2>/dev/null || true' EXIT

cat <<TXT
Demo: a 1280x720 test pattern is published to udp://$group:$udp_port on loopback.
  watch it:      ffplay srt://127.0.0.1:$srt_port
  dashboard:     http://127.0.0.1:$web_port/
  status JSON:   http://127.0.0.1:$web_port/stats
Ctrl-C stops the server and the publisher.
TXT

status=0
"$server" || status=$?
exit "$status"
