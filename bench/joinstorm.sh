#!/usr/bin/env bash
# Join storms: N callers connecting at once to a server carrying a 2 Mbit/s H.264 stream (GOP
# 2 s, replayed in real time by ffmpeg), with fast start off and on, side by side; the callers
# come from one load client that sends from one UDP port for all of them, so that it stays
# light. Per run: how many connected (the load client does not retry: "on the first try"), the
# time the last one took to connect, callers started from the cache, callers that gave way to
# a live start, packets dropped as too late for all callers (from /metrics) and lines about
# unpaced sending. Prints a markdown table and, unless --no-readme, writes it into the join
# storm section of bench/README.md.
#
#   bench/joinstorm.sh [--callers "100 300"] [--rounds R] [--seconds S] [--no-readme]
#                      [--keep-logs]
#
# Run it under the shared lock: flock /tmp/vandra-heavy.lock bench/joinstorm.sh
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
README="$ROOT/bench/README.md"
SERVER="$BUILD/vandra-server"
LOADCLIENT="$BUILD/tools/vandra-loadclient"
MEDIA="$ROOT/bench/out/media"
STREAM="$MEDIA/h264-2mbit-2s.ts"
LATENCY_MS=200
RATE_BPS=2000000

storms=(100 300)
rounds=1
seconds=15

# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

usage() {
    sed -n '2,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
    exit 2
}

while [ $# -gt 0 ]; do
    case "$1" in
    --callers)
        [ $# -ge 2 ] || usage
        read -r -a storms <<<"$2"
        shift
        ;;
    --rounds)
        need_count $# "${2:-}"
        rounds=$2
        shift
        ;;
    --seconds)
        need_count $# "${2:-}"
        seconds=$2
        shift
        ;;
    --no-readme) write_readme=0 ;;
    --keep-logs) keep_logs=1 ;;
    *) usage ;;
    esac
    shift
done

WORK=$(mktemp -d /tmp/vandra-joinstorm.XXXXXX)

if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja
fi
ninja -C "$BUILD" -j2 vandra-server vandra-loadclient

GROUP="239.255.202.$((1 + RANDOM % 254))"

mkdir -p "$MEDIA"
if [ ! -s "$STREAM" ]; then
    echo "encoding the 2 Mbit/s stream ..." >&2
    ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=1280x720:rate=25,noise=alls=12:allf=t" \
        -t 30 -c:v libx264 -preset veryfast -b:v 1800k -maxrate 1800k -bufsize 1800k \
        -x264-params nal-hrd=cbr:force-cfr=1 -g 50 -keyint_min 50 -sc_threshold 0 \
        -pix_fmt yuv420p -f mpegts -muxrate "$RATE_BPS" "$STREAM.part"
    mv "$STREAM.part" "$STREAM"
fi

json_field() { # file key
    python3 -c 'import json, sys; print(json.loads(open(sys.argv[1]).read().strip().splitlines()[-1]).get(sys.argv[2]))' "$1" "$2" 2>/dev/null || echo "-"
}

RESULTS="$WORK/results.tsv" # callers, mode, connected, last_connect_ms, from cache, gave way, dropped, unpaced
: >"$RESULTS"

storm() { # callers faststart(0|1)
    local callers=$1 fast=$2 udp srt web log source_pid server_pid
    udp=$(pick_port)
    srt=$(pick_port)
    web=$(pick_port)
    log="$WORK/storm-$callers-$fast-$RANDOM.server.log"
    (cd "$WORK" && exec "$SERVER" "source=udp://$GROUP:$udp(127.0.0.1)" "port=$srt" \
        "webport=$web" "latency=$LATENCY_MS" "faststart=$fast") </dev/null >"$log" 2>&1 &
    server_pid=$!
    live_pids+=("$server_pid")
    wait_ready "$server_pid" "$srt" "$log" || {
        echo "server did not start: $(tail -n 3 "$log")" >&2
        exit 1
    }
    ffmpeg -v error -nostdin -re -stream_loop -1 -i "$STREAM" -c copy -f mpegts \
        -muxrate "$RATE_BPS" "udp://$GROUP:$udp?pkt_size=1316&localaddr=127.0.0.1&ttl=1" \
        </dev/null >"$WORK/source.log" 2>&1 &
    source_pid=$!
    live_pids+=("$source_pid")
    sleep 3 # a whole GOP in the cache
    # The load client checks its own test stream, which this is not: it counts every packet as
    # corrupt but reads them all, which is all that is needed here.
    "$LOADCLIENT" --port "$srt" --callers "$callers" --seconds "$seconds" --latency "$LATENCY_MS" \
        --stagger-ms 0 --connect-timeout 20000 --min-packets 0 --shared-port \
        >"$WORK/lc.json" 2>"$WORK/lc.err" &
    local lc_pid=$!
    live_pids+=("$lc_pid")
    # Every caller's drops, fast start or not, from the metrics while all are still connected
    # (the sampler refreshes them every 3 s).
    sleep $((seconds - 2))
    local dropped
    dropped=$(curl -s "http://127.0.0.1:$web/metrics" |
        awk '/^vandra_caller_dropped_packets_total/ { s += $2 } END { print s + 0 }')
    wait "$lc_pid" || true
    forget_pid "$lc_pid"
    stop_pid "$source_pid"
    forget_pid "$source_pid"
    sleep 4 # the server's end lines of every caller
    stop_pid "$server_pid"
    forget_pid "$server_pid"
    local connected from_cache started_live unpaced
    connected=$(json_field "$WORK/lc.json" connected)
    from_cache=$(grep -c "starts from the fast-start cache" "$log" || true)
    started_live=$(grep -c "starts live: nothing in the fast-start cache" "$log" || true)
    unpaced=$(grep -c "unpaced" "$log" || true)
    # A fast-start caller starts from the cache (at once or after its wait), starts live with
    # nothing cached, or gives way: the server logs the last once per burst, so it is counted
    # here as the rest.
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$callers" "$([ "$fast" = 1 ] && echo on || echo off)" \
        "$connected" "$(json_field "$WORK/lc.json" last_connect_ms)" "$from_cache" \
        "$((connected - from_cache - started_live))" "$dropped" "$unpaced" >>"$RESULTS"
}

for _ in $(seq "$rounds"); do
    for callers in "${storms[@]}"; do
        for fast in 0 1; do
            echo "storm of $callers, fast start $fast ..." >&2
            storm "$callers" "$fast"
        done
    done
done

REPORT="$WORK/report.md"
{
    echo "Run $(date '+%Y-%m-%d %H:%M'), \`$invocation\`, $(nproc) cores, 2 Mbit/s H.264 (GOP 2 s), SRT latency $LATENCY_MS ms, callers from one load client all at once, ${seconds} s each, \`faststart_catchups\` at its default (8):"
    echo
    echo "| callers | fast start | connected (first try) | last connect (ms) | from the cache | gave way to a live start | packets dropped as too late (all callers) | unpaced lines |"
    echo "|---|---|---|---|---|---|---|---|"
    awk -F'\t' '{ printf "| %s | %s | %s | %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, ($2 == "on" ? $5 : "-"), ($2 == "on" ? $6 : "-"), $7, $8 }' "$RESULTS"
} >"$REPORT"
cat "$REPORT"

if [ "$write_readme" -eq 1 ]; then
    write_results_section "$README" "$REPORT" joinstorm
fi
