#!/usr/bin/env bash
# Join storms: N callers connecting at once to a server carrying a 2 Mbit/s H.264 stream (GOP
# 2 s, replayed in real time by ffmpeg), with fast start off and on, and to the libsrt floor
# (bench/srtfloor.cpp) fed the same stream, back to back; the callers come from one load client
# that sends from one UDP port for all of them, so that it stays light. Per run: how many
# connected (no retries: "on the first try"), the time the last one took to connect, the
# callers' time to their first key frame, callers started from the cache or that gave way to a
# live start, packets dropped as too late (server and callers) and unpaced lines. Medians over
# the rounds. Prints a markdown table and, unless --no-readme, writes it into the join storm
# section of bench/README.md.
#
#   bench/joinstorm.sh [--callers "100 300 500"] [--rounds R] [--seconds S] [--no-readme]
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

storms=(100 300 500)
rounds=1
seconds=15

# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

usage() {
    print_usage 15
}

declare -A count_options=([--rounds]=rounds [--seconds]=seconds)
declare -A list_options=([--callers]=storms)
parse_options "$@"

WORK=$(mktemp -d /tmp/vandra-joinstorm.XXXXXX)

if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja
fi
ninja -C "$BUILD" -j2 vandra-server vandra-loadclient vandra_srtfloor
FLOOR="$BUILD/bench/vandra_srtfloor"

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

json_field() { # file key[.key]: from the last line, "-" when absent or null
    python3 -c '
import json, sys
value = json.loads(open(sys.argv[1]).read().strip().splitlines()[-1])
for key in sys.argv[2].split("."):
    value = value.get(key) if isinstance(value, dict) else None
print("-" if value is None else value)' "$1" "$2" 2>/dev/null || echo "-"
}

# callers, relay, connected, last_connect_ms, from cache, gave way, dropped by the server,
# dropped by the callers, unpaced lines, first key frame p50 and p90 ms
RESULTS="$WORK/results.tsv"
: >"$RESULTS"

start_vandra() { # fast(0|1) udp srt web log
    (cd "$WORK" && exec "$SERVER" "source=udp://$GROUP:$2(127.0.0.1)" "port=$3" \
        "webport=$4" "latency=$LATENCY_MS" "faststart=$1") </dev/null >"$5" 2>&1 &
    relay_pid=$!
    live_pids+=("$relay_pid")
    wait_ready "$relay_pid" "$3" "$5"
}

start_floor() { # udp srt log
    "$FLOOR" "$GROUP" "$1" "$2" "$LATENCY_MS" </dev/null >"$3" 2>&1 &
    relay_pid=$!
    live_pids+=("$relay_pid")
    for _ in $(seq 100); do
        kill -0 "$relay_pid" 2>/dev/null || return 1
        ss -Hulnp "( sport = :$2 )" 2>/dev/null | grep -q "pid=$relay_pid," && return 0
        sleep 0.05
    done
    return 1
}

storm() { # callers relay(floor|off|on: the floor, or the server with fast start off or on)
    local callers=$1 relay=$2 udp srt web log source_pid relay_pid
    udp=$(pick_port)
    srt=$(pick_port)
    web=$(pick_port)
    log="$WORK/storm-$callers-$relay-$RANDOM.relay.log"
    case "$relay" in
    floor) start_floor "$udp" "$srt" "$log" ;;
    off) start_vandra 0 "$udp" "$srt" "$web" "$log" ;;
    on) start_vandra 1 "$udp" "$srt" "$web" "$log" ;;
    esac || {
        echo "$relay did not start: $(tail -n 3 "$log")" >&2
        exit 1
    }
    ffmpeg -v error -nostdin -re -stream_loop -1 -i "$STREAM" -c copy -f mpegts \
        -muxrate "$RATE_BPS" "udp://$GROUP:$udp?pkt_size=1316&localaddr=127.0.0.1&ttl=1" \
        </dev/null >"$WORK/source.log" 2>&1 &
    source_pid=$!
    live_pids+=("$source_pid")
    sleep 3 # a whole GOP in the cache
    # The load client checks its own test stream, which this is not: it counts every packet as
    # corrupt but reads them all, and finds the key frames by their random access indicator.
    "$LOADCLIENT" --port "$srt" --callers "$callers" --seconds "$seconds" --latency "$LATENCY_MS" \
        --stagger-ms 0 --connect-timeout 20000 --min-packets 0 --shared-port \
        >"$WORK/lc.json" 2>"$WORK/lc.err" &
    local lc_pid=$!
    live_pids+=("$lc_pid")
    # Every caller's drops, fast start or not, from the metrics while all are still connected
    # (the sampler refreshes them every 3 s); the floor keeps no such count.
    sleep $((seconds - 2))
    local dropped=-
    if [ "$relay" != floor ]; then
        dropped=$(curl -s "http://127.0.0.1:$web/metrics" |
            awk '/^vandra_caller_dropped_packets_total/ { s += $2 } END { print s + 0 }')
    fi
    wait "$lc_pid" || true
    forget_pid "$lc_pid"
    stop_pid "$source_pid"
    forget_pid "$source_pid"
    sleep 4 # the server's end lines of every caller
    stop_pid "$relay_pid"
    forget_pid "$relay_pid"
    local connected from_cache=- gave_way=- unpaced started_live
    connected=$(json_field "$WORK/lc.json" connected)
    unpaced=$(grep -c "unpaced" "$log" || true)
    if [ "$relay" = on ]; then
        # A fast-start caller starts from the cache (at once or after its wait), starts live
        # with nothing cached, or gives way: the server logs the last once per burst, so it is
        # counted here as the rest.
        from_cache=$(grep -c "starts from the fast-start cache" "$log" || true)
        started_live=$(grep -c "starts live: nothing in the fast-start cache" "$log" || true)
        gave_way=$((connected - from_cache - started_live))
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$callers" "$relay" "$connected" \
        "$(json_field "$WORK/lc.json" last_connect_ms)" "$from_cache" "$gave_way" "$dropped" \
        "$(json_field "$WORK/lc.json" rcv_drop)" "$unpaced" \
        "$(json_field "$WORK/lc.json" first_key_frame_ms.p50)" \
        "$(json_field "$WORK/lc.json" first_key_frame_ms.p90)" >>"$RESULTS"
}

# The three back to back for each count, so that the machine's noise falls on all of them.
for _ in $(seq "$rounds"); do
    for callers in "${storms[@]}"; do
        for relay in floor off on; do
            echo "storm of $callers, $relay ..." >&2
            storm "$callers" "$relay"
        done
    done
done

# One row per count and relay, each column the median over the rounds; the last connect also
# as a multiple of the floor's.
summarize() {
    python3 - "$RESULTS" <<'EOF'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    fields = line.rstrip("\n").split("\t")
    runs.setdefault((int(fields[0]), fields[1]), []).append(fields[2:])

def median(values):
    numbers = [float(v) for v in values if v not in ("-", "")]
    if not numbers:
        return None
    return statistics.median(numbers)

def shown(value):
    if value is None:
        return "-"
    return "%d" % round(value) if value >= 100 or value == int(value) else "%.1f" % value

names = {"floor": "libsrt floor", "off": "vandra, fast start off", "on": "vandra, fast start on"}
for callers in sorted({key[0] for key in runs}):
    floor = runs.get((callers, "floor"))
    floor_ms = median([r[1] for r in floor]) if floor else None
    for relay in ("floor", "off", "on"):
        rows = runs.get((callers, relay))
        if not rows:
            continue
        c = [median([r[i] for r in rows]) for i in range(9)]
        versus = "%.1f" % (c[1] / floor_ms) if c[1] is not None and floor_ms else "-"
        print("| %d | %s | %d | %s | %s | %s | %s / %s | %s | %s | %s | %s | %s |" % (
            callers, names[relay], len(rows), shown(c[0]), shown(c[1]), versus, shown(c[7]),
            shown(c[8]), shown(c[2]), shown(c[3]), shown(c[4]), shown(c[5]), shown(c[6])))
EOF
}

REPORT="$WORK/report.md"
{
    echo "Run $(date '+%Y-%m-%d %H:%M'), \`$invocation\`, $(nproc) cores shared with other work (load average $(cut -d' ' -f1-3 /proc/loadavg) at the end), 2 Mbit/s H.264 (GOP 2 s), SRT latency $LATENCY_MS ms, callers from one load client all at once, ${seconds} s each, \`faststart_catchups\` at its default (8); medians of $rounds round(s), the three relays back to back in each:"
    echo
    echo "| callers | relay | rounds | connected (first try) | last connect (ms) | × floor | first key frame p50 / p90 (ms) | from the cache | gave way to a live start | dropped as too late: server | callers | unpaced lines |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
    summarize
} >"$REPORT"
cat "$REPORT"

if [ "$write_readme" -eq 1 ]; then
    write_results_section "$README" "$REPORT" joinstorm
fi
