#!/usr/bin/env bash
# Listeners sharing the SRT port (srt_threads): the server's CPU per thread, read from
# /proc/PID/task/*/stat over a window of S seconds, with 1, 2 and 4 listeners at C callers ×
# 8 Mbit/s (each caller from its own UDP port, as players are), and how the kernel spreads 10,
# 50 and 500 callers over 4 listeners. Prints markdown tables and, unless --no-readme, writes
# them into the listeners section of bench/README.md.
#
#   bench/listeners.sh [--threads "1 2 4"] [--callers C] [--seconds S]
#                      [--spread "10 50 500"] [--no-readme] [--keep-logs]
#
# Run it under the shared lock: flock /tmp/vandra-heavy.lock bench/listeners.sh
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
README="$ROOT/bench/README.md"
SERVER="$BUILD/vandra-server"
PUBLISHER="$BUILD/tools/vandra-publisher"
LOADCLIENT="$BUILD/tools/vandra-loadclient"
LATENCY_MS=120
RATE_BPS=8000000
SPREAD_RATE_BPS=250000 # the spread runs only count callers: a light stream
SPREAD_LISTENERS=4
STAGGER_MS=20
FD_LIMIT=8192 # 500 callers hold a UDP socket each

threads=(1 2 4)
spread=(10 50 500)
callers=50
seconds=10

# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

usage() {
    print_usage 10
}

declare -A count_options=([--callers]=callers [--seconds]=seconds)
declare -A list_options=([--threads]=threads [--spread]=spread)
parse_options "$@"
raise_fd_limit "$FD_LIMIT"

WORK=$(mktemp -d /tmp/vandra-listeners.XXXXXX)
if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja
fi
ninja -C "$BUILD" -j2 vandra-server vandra-publisher vandra-loadclient >&2

GROUP="239.255.204.$((1 + RANDOM % 254))"

spread_of() { # web_port listeners -> "a/b/c/d"
    local i out=""
    if [ "$2" -eq 1 ]; then # one listener has no family of its own
        metric "$1" vandra_callers
        return
    fi
    for ((i = 0; i < $2; i++)); do
        out+="${out:+/}$(metric "$1" "vandra_listener_callers{listener=\"$i\"}")"
    done
    echo "$out"
}

start_server() { # listeners udp srt web log -> SERVER_PID
    (cd "$WORK" && exec "$SERVER" "source=udp://$GROUP:$2(127.0.0.1)" "port=$3" "webport=$4" \
        "latency=$LATENCY_MS" "srt_threads=$1") </dev/null >"$5" 2>&1 &
    SERVER_PID=$!
    live_pids+=("$SERVER_PID")
    wait_ready "$SERVER_PID" "$3" "$5"
}

stop() { # pid
    stop_pid "$1"
    forget_pid "$1"
}

# One load: the CPU row of the table, or "failed".
run_cpu() { # listeners
    local n=$1 udp srt web log="$WORK/server-$1.log" lc_json="$WORK/lc-$1.json"
    udp=$(pick_port) && srt=$(pick_port) && web=$(pick_port)
    start_server "$n" "$udp" "$srt" "$web" "$log" || {
        echo "| $n | server did not start |"
        return
    }
    local lc_secs=$((seconds + 10))
    "$PUBLISHER" --group "$GROUP" --port "$udp" --iface 127.0.0.1 --bitrate "$RATE_BPS" \
        --size 1316 --seconds $((lc_secs + 5)) >/dev/null &
    local pub_pid=$!
    live_pids+=("$pub_pid")
    "$LOADCLIENT" --port "$srt" --callers "$callers" --seconds "$lc_secs" --latency "$LATENCY_MS" \
        --stagger-ms "$STAGGER_MS" --min-packets 0 >"$lc_json" 2>"$WORK/lc-$n.err" &
    local lc_pid=$!
    live_pids+=("$lc_pid")
    if ! wait_callers "$web" "$callers"; then
        echo "| $n | not all $callers callers connected |"
        stop "$lc_pid"
        stop "$pub_pid"
        stop "$SERVER_PID"
        return
    fi
    sleep 2 # past the join: the window holds the steady state only
    thread_ticks "$SERVER_PID" >"$WORK/before-$n"
    sleep "$seconds"
    thread_ticks "$SERVER_PID" >"$WORK/after-$n"
    local listeners_now
    listeners_now=$(spread_of "$web" "$n")
    wait "$lc_pid" || true
    forget_pid "$lc_pid"
    stop "$pub_pid"
    stop "$SERVER_PID"
    read -r total sndq sndq_max rcvq rcvq_max other sndq_switches \
        <<<"$(cpu_by_group "$WORK/before-$n" "$WORK/after-$n" "$seconds")"
    local gaps per_caller
    gaps=$(python3 -c 'import json,sys; print(json.loads(open(sys.argv[1]).read().strip().splitlines()[-1])["gaps"])' "$lc_json" 2>/dev/null || echo "?")
    per_caller=$(awk -v t="$total" -v c="$callers" 'BEGIN { printf "%.2f", t / c }')
    echo "| $n | $total | $per_caller | $sndq | $sndq_max | $sndq_switches | $rcvq | $rcvq_max | $other | $listeners_now | $gaps |"
}

# How the kernel spreads `count` callers over the listeners.
run_spread() { # count
    local count=$1 udp srt web log="$WORK/spread-$1.log"
    udp=$(pick_port) && srt=$(pick_port) && web=$(pick_port)
    start_server "$SPREAD_LISTENERS" "$udp" "$srt" "$web" "$log" || {
        echo "| $count | server did not start |"
        return
    }
    "$PUBLISHER" --group "$GROUP" --port "$udp" --iface 127.0.0.1 --bitrate "$SPREAD_RATE_BPS" \
        --size 1316 --seconds 70 >/dev/null &
    local pub_pid=$!
    live_pids+=("$pub_pid")
    "$LOADCLIENT" --port "$srt" --callers "$count" --seconds 60 --latency "$LATENCY_MS" \
        --stagger-ms 5 --min-packets 0 >/dev/null 2>"$WORK/spread-lc-$count.err" &
    local lc_pid=$!
    live_pids+=("$lc_pid")
    local row
    if wait_callers "$web" "$count"; then
        row=$(spread_of "$web" "$SPREAD_LISTENERS")
        echo "| $count | $row | $(tr '/' '\n' <<<"$row" | sort -n | sed -n '1p;$p' | paste -sd' ' |
            awk -v c="$count" -v n="$SPREAD_LISTENERS" '{ printf "%d–%d (even: %.1f)", $1, $2, c / n }') |"
    else
        echo "| $count | not all connected: $(spread_of "$web" "$SPREAD_LISTENERS") | |"
    fi
    stop "$lc_pid"
    stop "$pub_pid"
    stop "$SERVER_PID"
}

REPORT="$WORK/report.md"
{
    echo "Run: \`$invocation\`, $(date -u '+%Y-%m-%d %H:%M') UTC, revision $(git -C "$ROOT" rev-parse --short HEAD)$(git -C "$ROOT" diff --quiet HEAD || echo ' (with local changes)'); load average $(cut -d' ' -f1-3 /proc/loadavg) at the start; $(nproc) cores, shared with other work."
    echo
    echo "CPU in % of one core over $seconds s at $callers callers × $((RATE_BPS / 1000000)) Mbit/s, latency $LATENCY_MS ms:"
    echo
    echo "| listeners | server total | per caller | SndQ threads | busiest SndQ | SndQ switches/s | RcvQ threads | busiest RcvQ | other threads | callers per listener | gaps |"
    echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|"
    for n in "${threads[@]}"; do
        run_cpu "$n"
    done
    echo
    echo "Callers over $SPREAD_LISTENERS listeners (each caller from its own UDP port):"
    echo
    echo "| callers | per listener | fewest–most |"
    echo "|---:|---|---|"
    for count in "${spread[@]}"; do
        run_spread "$count"
    done
    echo
    echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
} | tee "$REPORT"

if [ "$write_readme" -eq 1 ]; then
    write_results_section "$README" "$REPORT" listeners
fi
