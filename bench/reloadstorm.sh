#!/usr/bin/env bash
# Reloads under load: N callers (one load client, a UDP port each) receive a stream of
# numbered packets at R Mbit/s while the server reads its users file again every 100 ms
# (SIGHUP) for S seconds; the file switches between two versions that both admit the callers,
# so none may be cut and none may lose a packet. Per count: the callers connected, what they
# lost (gaps, duplicates, corrupt packets: read from the packets' numbers, not from timing),
# packets SRT dropped as too late, the fewest packets one caller received, the reloads done and
# how many cut nobody, and the CPU of the server and of the load client over the storm; each
# count also runs as long without reloads, for comparison. Prints a markdown table and, unless
# --no-readme, writes it into the reload storm section of bench/README.md.
# AccessReload.ReloadStorm runs a smaller figure in the test suite.
#
#   bench/reloadstorm.sh [--callers "25 50 100"] [--mbps R] [--seconds S] [--latency MS]
#                        [--no-readme] [--keep-logs]
#
# Run it under the shared lock: flock /tmp/vandra-heavy.lock bench/reloadstorm.sh
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
README="$ROOT/bench/README.md"
SERVER="$BUILD/vandra-server"
LOADCLIENT="$BUILD/tools/vandra-loadclient"
PUBLISHER="$BUILD/tools/vandra-publisher"
SECRET="viewer-Zk9-secret"
INTERVAL_MS=100

counts=(25 50 100)
mbps=8
seconds=10
latency_ms=1000

# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

usage() {
    print_usage 16
}

declare -A count_options=([--mbps]=mbps [--seconds]=seconds [--latency]=latency_ms)
declare -A list_options=([--callers]=counts)
parse_options "$@"

WORK=$(mktemp -d /tmp/vandra-reloadstorm.XXXXXX)

if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja
fi
ninja -C "$BUILD" -j2 vandra-server vandra-loadclient vandra-publisher
raise_fd_limit 4096
TICKS=$(getconf CLK_TCK)
GROUP="239.255.203.$((1 + RANDOM % 254))"
RESULTS="$WORK/results.tsv"
: >"$RESULTS"

json_field() { # file key: from the last line, "-" when absent or null
    python3 -c '
import json, sys
value = json.loads(open(sys.argv[1]).read().strip().splitlines()[-1]).get(sys.argv[2])
print("-" if value is None else value)' "$1" "$2" 2>/dev/null || echo "-"
}

now_ms() {
    echo $(($(date +%s%N) / 1000000))
}

# Polls until `count` lines of the log hold `text`, at most `seconds`.
wait_for_lines() { # log text count seconds
    for _ in $(seq $(($4 * 50))); do
        [ "$(grep -cF -- "$2" "$1")" -ge "$3" ] && return 0
        sleep 0.02
    done
    return 1
}

# The users file in one of its two versions: the viewer alone, or with a spare user.
write_users() { # file version(0|1)
    {
        echo "viewer:$SECRET"
        [ "$2" -eq 1 ] && echo "spare:spare-Zk9-secret"
    } >"$1.new"
    mv "$1.new" "$1"
}

storm() { # callers reload(1|0: the same load without reloads, for comparison)
    local callers=$1 udp srt web log users server_pid publisher_pid lc_pid
    udp=$(pick_port)
    srt=$(pick_port)
    web=$(pick_port)
    log="$WORK/server-$callers-$2.log"
    users="$WORK/users-$callers-$2"
    write_users "$users" 0
    (cd "$WORK" && exec "$SERVER" "source=udp://$GROUP:$udp(127.0.0.1)" "port=$srt" \
        "webport=$web" "users=$users") </dev/null >"$log" 2>&1 &
    server_pid=$!
    live_pids+=("$server_pid")
    wait_ready "$server_pid" "$srt" "$log" || {
        echo "the server did not start: $(tail -n 3 "$log")" >&2
        exit 1
    }
    "$PUBLISHER" --group "$GROUP" --port "$udp" --iface 127.0.0.1 \
        --bitrate $((mbps * 1000000)) --seconds $((seconds + 120)) \
        </dev/null >"$WORK/publisher-$callers-$2.log" 2>&1 &
    publisher_pid=$!
    live_pids+=("$publisher_pid")
    "$LOADCLIENT" --port "$srt" --callers "$callers" --seconds $((seconds + 100)) \
        --latency "$latency_ms" --connect-timeout 20000 \
        --streamid viewer --passphrase "$SECRET" \
        >"$WORK/lc-$callers-$2.json" 2>"$WORK/lc-$callers-$2.err" &
    lc_pid=$!
    live_pids+=("$lc_pid")
    wait_for_lines "$log" "accept new client" "$callers" 60 ||
        echo "only $(grep -cF "accept new client" "$log") of $callers connected" >&2

    local m0 s0 l0 started due done=0 reloads=$(($2 * seconds * 1000 / INTERVAL_MS))
    m0=$(machine_ticks)
    s0=$(cpu_ticks "$server_pid")
    l0=$(cpu_ticks "$lc_pid")
    started=$(now_ms)
    for ((i = 1; i <= reloads; i++)); do
        write_users "$users" $((i % 2))
        kill -HUP "$server_pid"
        wait_for_lines "$log" "-- reload done: " "$i" 10 && done=$i
        due=$((started + i * INTERVAL_MS - $(now_ms)))
        [ "$due" -gt 0 ] && sleep "$(printf '0.%03d' "$due")"
    done
    [ "$reloads" -gt 0 ] || sleep "$seconds"
    local elapsed_ms=$(($(now_ms) - started)) m1 s1 l1
    s1=$(cpu_ticks "$server_pid")
    l1=$(cpu_ticks "$lc_pid")
    m1=$(machine_ticks)
    stop_pid "$lc_pid"
    forget_pid "$lc_pid"
    stop_pid "$publisher_pid"
    forget_pid "$publisher_pid"
    stop_pid "$server_pid"
    forget_pid "$server_pid"

    local json="$WORK/lc-$callers-$2.json" load_avg
    read -r load_avg _ </proc/loadavg
    printf '%s\t' "$callers" "$(json_field "$json" connected)" "$reloads" "$done" \
        "$(grep -cF "; 0 callers cut" "$log")" "$(json_field "$json" gaps)" \
        "$(json_field "$json" duplicates)" "$(json_field "$json" corrupt)" \
        "$(json_field "$json" rcv_drop)" "$(json_field "$json" per_caller_min_packets)" \
        "$elapsed_ms" \
        "$(awk -v t=$((s1 - s0)) -v hz="$TICKS" -v ms="$elapsed_ms" 'BEGIN { printf "%.0f", 100 * t / hz / (ms / 1000) }')" \
        "$(awk -v t=$((l1 - l0)) -v hz="$TICKS" -v ms="$elapsed_ms" 'BEGIN { printf "%.0f", 100 * t / hz / (ms / 1000) }')" \
        "$(busy_percent "$m0" "$m1")" >>"$RESULTS"
    echo "$load_avg" >>"$RESULTS"
}

# With and without reloads back to back, so that the machine's noise falls on both.
for callers in "${counts[@]}"; do
    echo "$callers callers at $mbps Mbit/s, a reload every $INTERVAL_MS ms for $seconds s ..." >&2
    storm "$callers" 1
    echo "$callers callers at $mbps Mbit/s, no reload, $seconds s ..." >&2
    storm "$callers" 0
done

REPORT="$WORK/report.md"
{
    echo "Run $(date '+%Y-%m-%d %H:%M'), \`$invocation\`, $(nproc) cores shared with other work, $mbps Mbit/s of numbered packets, SRT latency $latency_ms ms, the callers from one load client, a UDP port each; the users file switched and reloaded every $INTERVAL_MS ms for $seconds s (rows with 0 reloads: the same load without them):"
    echo
    echo "| callers | connected | reloads sent | done | cut nobody | gaps | duplicates | corrupt | dropped as too late | fewest packets of a caller | storm (ms) | server CPU % of a core | load client CPU % of a core | machine busy % | load avg |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
    sed 's/\t/ | /g; s/^/| /; s/$/ |/' "$RESULTS"
} >"$REPORT"
cat "$REPORT"

if [ "$write_readme" -eq 1 ]; then
    write_results_section "$README" "$REPORT" reloadstorm
fi
