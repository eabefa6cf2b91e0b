#!/usr/bin/env bash
# Runs the built server with demo settings (as arguments: no file is written) and a
# test-pattern transport stream published to a loopback multicast group. Ctrl-C, SIGTERM, or
# the end of either program stops both.
#   scripts/demo.sh [BUILD_DIR]
# VANDRA_DEMO_SRT_PORT, VANDRA_DEMO_WEB_PORT and VANDRA_DEMO_GROUP change the defaults.
set -uo pipefail
build_dir=${1:-build}
server="$build_dir/vandra-server"
group=${VANDRA_DEMO_GROUP:-239.255.0.1}
udp_port=5000
srt_port=${VANDRA_DEMO_SRT_PORT:-9000}
web_port=${VANDRA_DEMO_WEB_PORT:-8080}

# An older demo wrote its settings beside the server; left there, a plain start of the server
# would quietly run them.
ini="$build_dir/server.ini"
if [ -f "$ini" ] && grep -q '^# vandra demo' "$ini"; then
    rm -f "$ini"
fi

pids=()
stop_all() {
    for pid in "${pids[@]}"; do
        [[ "$pid" =~ ^[1-9][0-9]*$ ]] && kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
}
trap 'stop_all; exit 130' INT
trap 'stop_all; exit 143' TERM

"$server" "source=udp://$group:$udp_port(127.0.0.1)" "port=$srt_port" "webport=$web_port" \
    latency=200 &
pids+=($!)

ffmpeg -hide_banner -loglevel fatal -nostdin -re \
    -f lavfi -i "testsrc2=size=1280x720:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" \
    -c:v libx264 -preset veryfast -tune zerolatency -b:v 3M -maxrate 3M -bufsize 1M -g 50 \
    -c:a aac -b:a 128k \
    -f mpegts -muxrate 3600k \
    "udp://$group:$udp_port?pkt_size=1316&localaddr=127.0.0.1&ttl=1" &
pids+=($!)

cat <<TXT
Demo: a 1280x720 test pattern is published to udp://$group:$udp_port on loopback.
  watch it:      ffplay srt://127.0.0.1:$srt_port
  dashboard:     http://127.0.0.1:$web_port/
  status JSON:   http://127.0.0.1:$web_port/stats
Ctrl-C stops the server and the publisher.
TXT

# Whichever ends first ends the demo.
wait -n "${pids[@]}"
status=$?
stop_all
exit "$status"
