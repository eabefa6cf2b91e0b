#!/usr/bin/env bash
# Side-by-side cost of three "one multicast in, many SRT callers out" relays, each fed by the same
# publisher and read by the same load client on loopback: vandra-server, a GStreamer pipeline
# (udpsrc ! srtsink) and vandra_srtfloor (one thread, libsrt alone). Prints one markdown table and
# writes it, with the date and the commands, into the results section of bench/README.md.
#
#   bench/compare.sh [--quick] [--seconds D] [--relays "vandra gstreamer floor"] [--no-ceiling]
#                    [--before PATH]  (adds a row "before": an older vandra-server binary)
#                    [--no-scale | --scale-only]  (the 500-caller runs: skip them, or only them)
#                    [--keep-logs]
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
README="$ROOT/bench/README.md"
SERVER="$BUILD/vandra-server"
PUBLISHER="$BUILD/tools/vandra-publisher"
LOADCLIENT="$BUILD/tools/vandra-loadclient"
FLOOR="$BUILD/bench/vandra_srtfloor"

LATENCY_MS=120
RATE_BPS=8000000
# srtsink listens with a backlog of one and refuses a second handshake that arrives before it
# accepted the first; the load client polls in 50 ms steps, so anything shorter bunches up.
STAGGER_MS=60
CONNECT_MARGIN_S=1.5 # after the last caller started, before the measured window opens
TAIL_S=5             # the load client keeps reading this long after the publisher stopped
# The relay's memory is sampled again this long after the publisher stopped, before the load
# client hangs up: a caller that fell behind and caught up should have given its buffer back.
AFTER_S=4.5
IDLE_CALLERS=50
IDLE_SECONDS=10
P99_LIMIT_MS=20
SATURATED_PERCENT=90 # relay + load client CPU, in % of all cores, that ends the ceiling ramp
CEILING_STEPS=(25 50 100 150 200 300 400)
# The UDP receive buffer the server asks for; the other two get the same.
UDP_BUFFER_BYTES=6553600
# Many callers on one box: each load staggered as above, all callers sending from one UDP port
# (the load client would otherwise run two libsrt threads per caller), and once all at once.
SCALE_CALLERS=500
SCALE_RATES=(250000 1000000 2000000) # the first is what this 2-core box can take loss-free
SCALE_SECONDS=10
BURST_SECONDS=3
BURST_CONNECT_WAIT_S=10
BURST_RETRY_MS=20           # a refused caller tries again, as a player would
BURST_CONNECT_TIMEOUT_MS=60000
FD_LIMIT=8192               # a load client with 500 callers holds a UDP socket for each

seconds=20
seconds_given=""
ceiling_seconds=5
ramp_budget_s=480 # no new ramp step starts after the script has run this long
loads=(1 10 50 100)
relays=(vandra gstreamer floor)
run_ceiling=1
run_main=1
run_scale=1
keep_logs=0
mode="default"
invocation="bench/compare.sh$(printf ' %q' "$@")"

usage() {
    sed -n '2,9p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
    exit 2
}

while [ $# -gt 0 ]; do
    case "$1" in
    --quick)
        loads=(1 10)
        [ -n "$seconds_given" ] || seconds=8
        ceiling_seconds=4
        ramp_budget_s=240
        run_scale=0
        mode="quick"
        ;;
    --seconds)
        if [ $# -lt 2 ] || ! [[ "$2" =~ ^[0-9]+$ ]] || [ "$2" -lt 2 ]; then usage; fi
        seconds=$2
        seconds_given=1
        shift
        ;;
    --relays)
        [ $# -ge 2 ] || usage
        read -r -a relays <<<"$2"
        shift
        ;;
    --before)
        [ $# -ge 2 ] && [ -x "$2" ] || usage
        BEFORE_SERVER=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
        relays+=(before)
        shift
        ;;
    --no-ceiling) run_ceiling=0 ;;
    --no-scale) run_scale=0 ;;
    --scale-only)
        run_main=0
        run_ceiling=0
        run_scale=1
        mode="scale-only"
        ;;
    --keep-logs) keep_logs=1 ;;
    *) usage ;;
    esac
    shift
done
for relay in "${relays[@]}"; do
    case "$relay" in vandra | gstreamer | floor | before) ;; *) usage ;; esac
done
raise_fd_limit "$FD_LIMIT"

WORK=$(mktemp -d /tmp/vandra-compare.XXXXXX)
RESULTS="$WORK/results.tsv"
STEPS="$WORK/steps.tsv"
: >"$RESULTS"
: >"$STEPS"
# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

# ---------------------------------------------------------------------------------------------
# Build and check the tools.

if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja
fi
ninja -C "$BUILD" -j2 vandra-server vandra-publisher vandra-loadclient vandra_srtfloor
if [[ " ${relays[*]} " == *" gstreamer "* ]] && ! gst-inspect-1.0 srtsink >/dev/null 2>&1; then
    echo "gst-launch-1.0 or srtsink missing: run scripts/install-deps.sh" >&2
    exit 1
fi

# ---------------------------------------------------------------------------------------------
# Addresses: one group per run of this script, fresh ports per relay start, so tests running
# at the same time on this machine do not share traffic with us.

GROUP="239.255.200.$((1 + RANDOM % 254))" # ports: pick_port in lib.sh

# ---------------------------------------------------------------------------------------------
# The relays, each with the same group, latency and UDP receive buffer.

# multicast-iface=lo: without it udpsrc joins on the default-route interface and receives
# nothing. sync=false: srtsink would otherwise hold each buffer until its clock time.
gst_pipeline() { # group udp_port srt_port -> GST_ARGS
    GST_ARGS=(udpsrc "address=$1" "port=$2" multicast-iface=lo "buffer-size=$UDP_BUFFER_BYTES"
        ! srtsink "uri=srt://:$3?mode=listener&latency=$LATENCY_MS"
        wait-for-connection=false sync=false)
}

start_relay() { # relay udp_port srt_port web_port log
    local relay=$1 udp=$2 srt=$3 web=$4 log=$5
    case "$relay" in
    vandra)
        (cd "$WORK" && exec "$SERVER" "source=udp://$GROUP:$udp(127.0.0.1)" "port=$srt" \
            "webport=$web" "latency=$LATENCY_MS") </dev/null >"$log" 2>&1 &
        ;;
    before)
        (cd "$WORK" && exec "$BEFORE_SERVER" "source=udp://$GROUP:$udp(127.0.0.1)" "port=$srt" \
            "webport=$web" "latency=$LATENCY_MS") </dev/null >"$log" 2>&1 &
        ;;
    gstreamer)
        gst_pipeline "$GROUP" "$udp" "$srt"
        gst-launch-1.0 -q "${GST_ARGS[@]}" </dev/null >"$log" 2>&1 &
        ;;
    floor)
        "$FLOOR" "$GROUP" "$udp" "$srt" "$LATENCY_MS" </dev/null >"$log" 2>&1 &
        ;;
    esac
    RELAY_PID=$!
    live_pids+=("$RELAY_PID")
}

# Ready once the process itself holds the SRT port.
wait_ready() { # pid srt_port
    for _ in $(seq 100); do
        kill -0 "$1" 2>/dev/null || return 1
        if ss -Hulnp "( sport = :$2 )" 2>/dev/null | grep -q "pid=$1,"; then
            return 0
        fi
        sleep 0.05
    done
    return 1
}

peak_rss_kb() {
    awk '/^VmHWM:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0
}

rss_kb() {
    awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0
}

json_value() { # file key -> the first value of "key", or null
    local found
    found=$(grep -o "\"$2\":[^,}]*" "$1" 2>/dev/null | head -n 1 | cut -d: -f2)
    echo "${found:-null}"
}

TICKS=$(getconf CLK_TCK)
NPROC=$(nproc)

# Extra arguments for the load client in the next run_case calls.
LC_EXTRA=()

# One measured run. kind is load (publisher on for `secs` at `rate` bit/s) or idle (no input
# for `secs`). The callers start `stagger` ms apart and the window opens once the last had time
# to connect, or after `wait` seconds when given. Appends a line to the results file `out`.
run_case() { # relay kind callers secs label out [rate [stagger [wait]]]
    local relay=$1 kind=$2 callers=$3 secs=$4 label=$5 out=$6
    local rate=${7:-$RATE_BPS} stagger=${8:-$STAGGER_MS} wait_s=${9:-}
    local udp srt web log lc_json lc_err pub_json
    udp=$(pick_port)
    srt=$(pick_port)
    web=$(pick_port)
    log="$WORK/$relay-$label-$callers-$rate.log"
    lc_json="$WORK/$relay-$label-$callers-$rate.lc.json"
    lc_err="$WORK/$relay-$label-$callers-$rate.lc.err"
    pub_json="$WORK/$relay-$label-$callers-$rate.pub.json"

    start_relay "$relay" "$udp" "$srt" "$web" "$log"
    local relay_pid=$RELAY_PID
    if ! wait_ready "$relay_pid" "$srt"; then
        echo "[$relay] did not start; log:" >&2
        tail -n 5 "$log" >&2
        stop_pid "$relay_pid"
        forget_pid "$relay_pid"
        printf '%s\t%s\t%s\t%s\t%s\n' "$relay" "$label" "$callers" "$kind" "relay did not start" >>"$out"
        return
    fi
    sleep 0.5 # GStreamer finishes setting up after it holds the port
    local rss_before
    rss_before=$(rss_kb "$relay_pid")

    # The load client's own time starts once its callers have connected.
    local connect_s lc_secs
    connect_s=$(awk -v n="$callers" -v st="$stagger" -v m="$CONNECT_MARGIN_S" -v w="$wait_s" \
        'BEGIN { printf "%.2f", (w != "") ? w : (n - 1) * st / 1000 + m }')
    lc_secs=$(awk -v s="$secs" -v m="${wait_s:-$CONNECT_MARGIN_S}" -v t="$TAIL_S" \
        'BEGIN { print s + m + t }')
    "$LOADCLIENT" --port "$srt" --callers "$callers" --seconds "$lc_secs" \
        --latency "$LATENCY_MS" --stagger-ms "$stagger" --min-packets 0 "${LC_EXTRA[@]}" \
        >"$lc_json" 2>"$lc_err" &
    local lc_pid=$!
    live_pids+=("$lc_pid")
    sleep "$connect_s"

    local t0 t1 c0 c1 l0 l1 m0 m1
    t0=$EPOCHREALTIME
    m0=$(machine_ticks)
    c0=$(cpu_ticks "$relay_pid")
    l0=$(cpu_ticks "$lc_pid")
    if [ "$kind" = load ]; then
        "$PUBLISHER" --group "$GROUP" --port "$udp" --iface 127.0.0.1 --bitrate "$rate" \
            --size 1316 --seconds "$secs" >"$pub_json" &
        local pub_pid=$!
        live_pids+=("$pub_pid")
        wait "$pub_pid" || true
        forget_pid "$pub_pid"
    else
        sleep "$secs"
        echo '{"packets":0}' >"$pub_json"
    fi
    c1=$(cpu_ticks "$relay_pid")
    l1=$(cpu_ticks "$lc_pid")
    m1=$(machine_ticks)
    t1=$EPOCHREALTIME
    local rss rss_end rss_after load_avg alive=1
    rss=$(peak_rss_kb "$relay_pid")
    rss_end=$(rss_kb "$relay_pid")
    read -r load_avg _ </proc/loadavg
    kill -0 "$relay_pid" 2>/dev/null || alive=0
    sleep "$AFTER_S"
    rss_after=$(rss_kb "$relay_pid")

    wait "$lc_pid" || true
    forget_pid "$lc_pid"
    stop_pid "$relay_pid"
    forget_pid "$relay_pid"

    local note=""
    [ "$alive" -eq 1 ] || note="relay exited during the run"
    local dropped
    dropped=$(json_value "$log" dropped)
    if [ "$relay" = floor ] && [[ "$dropped" =~ ^[1-9] ]]; then
        note="${note:+$note; }dropped $dropped callers"
    fi
    local refusal
    refusal=$(grep -m 1 -o 'connect failed: .*' "$lc_err" || true)
    [ -z "$refusal" ] || note="${note:+$note; }${refusal}"

    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' \
        "$relay" "$label" "$callers" "$kind" \
        "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')" \
        "$(json_value "$lc_json" connected)" "$(json_value "$pub_json" packets)" \
        "$(json_value "$lc_json" packets)" "$(json_value "$lc_json" per_caller_min_packets)" \
        "$(json_value "$lc_json" gaps)" "$(json_value "$lc_json" duplicates)" \
        "$(json_value "$lc_json" corrupt)" "$(json_value "$lc_json" disconnected)" \
        "$(json_value "$lc_json" p50)" "$(json_value "$lc_json" p99)" \
        "$(awk -v a="$c0" -v b="$c1" -v t="$TICKS" 'BEGIN { printf "%.3f", (b - a) / t }')" \
        "$(awk -v a="$l0" -v b="$l1" -v t="$TICKS" 'BEGIN { printf "%.3f", (b - a) / t }')" \
        "$rss" "$load_avg" "$(busy_percent "$m0" "$m1")" "$rate" "$rss_before" "$rss_end" \
        "$rss_after" "$(json_value "$lc_json" last_connect_ms)" \
        "$(json_value "$lc_json" connect_retries)" "${note:--}" >>"$out"
}

# Fields of a results line, for the awk programs below.
# shellcheck disable=SC2016 # awk variables, not shell ones
FIELDS='relay=$1; label=$2; n=$3; kind=$4; win=$5; conn=$6; sent=$7; recv=$8; minp=$9;
        gaps=$10; dups=$11; corrupt=$12; lost=$13; p50=$14; p99=$15; cpu=$16; lccpu=$17;
        rss=$18; lavg=$19; busy=$20; rate=$21; rss0=$22; rssEnd=$23; rssAfter=$24;
        lastConn=$25; retries=$26; note=$27'
FIELD_COUNT=27

# Prints "pass" or the reasons a run is not loss-free within the added-delay limit.
verdict() { # results-line
    awk -F'\t' -v lat="$LATENCY_MS" -v lim="$P99_LIMIT_MS" -v nf="$FIELD_COUNT" "{ $FIELDS"'
        if (NF < nf) { print $5; exit }
        why = ""
        if (conn != n) why = why sprintf("conn %s/%s; ", conn, n)
        if (recv == 0 || recv == "null") why = why "no delivery; "
        else if (minp != sent) why = why sprintf("min delivered %.2f%%; ", 100 * minp / sent)
        if (gaps + 0 > 0) why = why "gaps " gaps "; "
        if (dups + 0 > 0) why = why "duplicates " dups "; "
        if (corrupt + 0 > 0) why = why "corrupt " corrupt "; "
        if (lost + 0 > 0) why = why "lost " lost " callers; "
        if (p99 != "null" && p99 - lat >= lim) why = why sprintf("p99 +%.1f ms; ", p99 - lat)
        sub(/; $/, "", why)
        print (why == "" ? "pass" : why)
    }' <<<"$1"
}

# ", machine N% busy, relay + load client M% of all cores" for a results line.
machine_note() {
    awk -F'\t' -v cores="$NPROC" -v nf="$FIELD_COUNT" "{ $FIELDS"'
        if (NF >= nf && win > 0)
            printf " (machine %s%% busy, relay + load client %.0f%% of all cores)", busy,
                   100 * (cpu + lccpu) / (win * cores)
    }' <<<"$1"
}

saturated() { # results-line -> success when relay + load client used most of the machine
    awk -F'\t' -v cores="$NPROC" -v lim="$SATURATED_PERCENT" -v nf="$FIELD_COUNT" "{ $FIELDS"'
        exit !(NF >= nf && win > 0 && 100 * (cpu + lccpu) / win >= lim * cores)
    }' <<<"$1"
}

# ---------------------------------------------------------------------------------------------
# The measurements: every load runs all relays before the next load, so the machine's noise
# falls on all of them alike.

started_at=$(date -u '+%Y-%m-%d %H:%M:%S UTC')
read -r l1 l5 l15 _ </proc/loadavg
load_at_start="$l1 $l5 $l15"
started_s=$SECONDS
echo "== group $GROUP, $NPROC cores, ${seconds} s per load, relays: ${relays[*]}" >&2

if [ "$run_main" -eq 1 ]; then
    for n in "${loads[@]}"; do
        for relay in "${relays[@]}"; do
            echo "-- $relay: $n callers x $((RATE_BPS / 1000000)) Mbit/s for $seconds s" >&2
            run_case "$relay" load "$n" "$seconds" "load" "$RESULTS"
        done
    done
    for relay in "${relays[@]}"; do
        echo "-- $relay: idle, $IDLE_CALLERS callers for $IDLE_SECONDS s" >&2
        run_case "$relay" idle "$IDLE_CALLERS" "$IDLE_SECONDS" "idle" "$RESULTS"
    done
fi

# Ceiling ramp: the loads above are its first steps; above the largest of them come short runs
# at growing caller counts. A relay leaves the ramp at its first failed step or once it and the
# load client use most of the machine. A failed step is run once more (short) before it counts,
# so one burst of noise from the shared machine does not end the ramp.
declare -A ceiling_line ceiling_stop ramp_log

# Sets STEP_LINE and STEP_WHY ("pass" or the reasons) for step n of relay, given its first try.
settle_step() { # relay n line
    STEP_LINE=$3
    STEP_WHY=$(verdict "$3")
    STEP_RETRIED=""
    [ "$STEP_WHY" != pass ] || return 0
    echo "-- $1: $2 callers failed ($STEP_WHY); once more for $ceiling_seconds s" >&2
    run_case "$1" load "$2" "$ceiling_seconds" step "$STEPS"
    local again why_again
    again=$(tail -n 1 "$STEPS")
    why_again=$(verdict "$again")
    if [ "$why_again" = pass ]; then
        STEP_LINE=$again
        STEP_WHY=pass
        STEP_RETRIED=1
    else
        STEP_LINE=$again
        STEP_WHY="$STEP_WHY; again: $why_again"
    fi
}

# Keeps the outcome of the settled step; fails when the relay leaves the ramp.
record_step() { # relay n
    if [ "$STEP_WHY" != pass ]; then
        ceiling_stop[$1]="N=$2: $STEP_WHY$(machine_note "$STEP_LINE")"
        ramp_log[$1]+="$2 failed, "
        return 1
    fi
    ceiling_line[$1]=$STEP_LINE
    ramp_log[$1]+="$2 ok${STEP_RETRIED:+ on the 2nd try}, "
    if saturated "$STEP_LINE"; then
        ceiling_stop[$1]="machine saturated at N=$2"
        return 1
    fi
}

if [ "$run_ceiling" -eq 1 ]; then
    largest_load=0
    for n in "${loads[@]}"; do
        [ "$n" -le "$largest_load" ] || largest_load=$n
    done
    ramp_relays=()
    for relay in "${relays[@]}"; do
        ceiling_line[$relay]=""
        ceiling_stop[$relay]=""
        ramp_log[$relay]=""
        mapfile -t measured < <(awk -F'\t' -v r="$relay" '$1 == r && $4 == "load"' "$RESULTS" |
            sort -t$'\t' -k3,3n)
        in_ramp=1
        for line in "${measured[@]}"; do
            n=$(cut -f3 <<<"$line")
            settle_step "$relay" "$n" "$line"
            record_step "$relay" "$n" || {
                in_ramp=0
                break
            }
        done
        [ "$in_ramp" -eq 0 ] || ramp_relays+=("$relay")
    done
    for n in "${CEILING_STEPS[@]}"; do
        [ "$n" -gt "$largest_load" ] || continue
        [ ${#ramp_relays[@]} -gt 0 ] || break
        if [ $((SECONDS - started_s)) -ge "$ramp_budget_s" ]; then
            for relay in "${ramp_relays[@]}"; do
                ceiling_stop[$relay]="time budget of the run used up before N=$n"
            done
            ramp_relays=()
            break
        fi
        still=()
        for relay in "${ramp_relays[@]}"; do
            echo "-- $relay: ceiling step, $n callers for $ceiling_seconds s" >&2
            run_case "$relay" load "$n" "$ceiling_seconds" step "$STEPS"
            settle_step "$relay" "$n" "$(tail -n 1 "$STEPS")"
            if record_step "$relay" "$n"; then still+=("$relay"); fi
        done
        ramp_relays=("${still[@]}")
    done
    for relay in "${ramp_relays[@]}"; do
        ceiling_stop[$relay]="end of the ramp"
    done
    for relay in "${relays[@]}"; do
        if [ -n "${ceiling_line[$relay]}" ]; then
            printf '%s\tceiling\t%s\n' "$relay" "$(cut -f3- <<<"${ceiling_line[$relay]}" |
                awk -F'\t' -v OFS='\t' -v s="${ceiling_stop[$relay]}" '{ $NF = "stop: " s; print }')" \
                >>"$RESULTS"
        else
            printf '%s\tceiling\t0\tload\t%s\n' "$relay" "stop: ${ceiling_stop[$relay]}" >>"$RESULTS"
        fi
    done
fi

# Many callers: after the ramp, whose steps are taken from the loads above.
if [ "$run_scale" -eq 1 ]; then
    LC_EXTRA=(--shared-port)
    for rate in "${SCALE_RATES[@]}"; do
        for relay in "${relays[@]}"; do
            echo "-- $relay: $SCALE_CALLERS callers x $((rate / 1000)) kbit/s for" \
                "$SCALE_SECONDS s" >&2
            run_case "$relay" load "$SCALE_CALLERS" "$SCALE_SECONDS" scale "$RESULTS" "$rate"
        done
    done
    LC_EXTRA=(--shared-port --retry-ms "$BURST_RETRY_MS" --connect-timeout
        "$BURST_CONNECT_TIMEOUT_MS")
    for relay in "${relays[@]}"; do
        echo "-- $relay: $SCALE_CALLERS callers connecting at once" >&2
        run_case "$relay" idle "$SCALE_CALLERS" "$BURST_SECONDS" burst "$RESULTS" 0 0 \
            "$BURST_CONNECT_WAIT_S"
    done
    LC_EXTRA=()
fi

# ---------------------------------------------------------------------------------------------
# The table.

TABLE="$WORK/table.md"
awk -F'\t' -v lat="$LATENCY_MS" -v defaultRate="$RATE_BPS" -v nfFull="$FIELD_COUNT" \
    -v afterS="$AFTER_S" "{ $FIELDS"'
    key = label ":" n ":" rate
    rows[++count] = $0
    if (NF >= nfFull && win > 0) cpuPct[relay, key] = 100 * cpu / win
    if (NF >= nfFull && conn > 0) memPerCaller[relay, key] = (rssEnd - rss0) / conn
}
function fmt(v, f) { return (v == "" || v == "null") ? "—" : sprintf(f, v) }
function ratio(a, b) { return (a == "" || b == "" || b <= 0) ? "—" : sprintf("%.2f", a / b) }
END {
    print "| relay | load | conn | CPU % of a core | ms CPU per caller-s | vandra/gst CPU |" \
          " vandra/floor CPU | peak RSS MiB | RSS per caller KiB | " afterS " s later |" \
          " vandra/floor RSS per caller | delivered % avg (min) | gaps | added p50 ms |" \
          " added p99 ms | load avg | busy % | note |"
    print "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
    for (i = 1; i <= count; ++i) {
        nf = split(rows[i], f, "\t")
        relay = f[1]; label = f[2]; n = f[3]; kind = f[4]
        rowRate = (nf >= nfFull) ? f[21] : defaultRate
        key = label ":" n ":" rowRate
        mbps = rowRate / 1e6
        if (label == "idle") what = "idle, " n " callers"
        else if (label == "burst") what = n " connecting at once"
        else if (label == "ceiling") what = (n > 0 ? sprintf("ceiling %d Mbit/s (%d × %g)", \
                                                              n * mbps, n, mbps) : "ceiling")
        else what = n " × " mbps " Mbit/s"
        if (nf < nfFull) {
            printf "| %s | %s | — | — | — | — | — | — | — | — | — | — | — | — | — | — | — | %s |\n", \
                   relay, what, f[5]
            continue
        }
        win = f[5]; conn = f[6]; sent = f[7]; recv = f[8]; minp = f[9]; gaps = f[10]
        p50 = f[14]; p99 = f[15]; cpu = f[16]; rss = f[18]; lavg = f[19]; busy = f[20]
        rss0 = f[22]; rssEnd = f[23]; rssAfter = f[24]; lastConn = f[25]; retries = f[26]
        note = f[27]
        if (note == "-") note = ""
        if (label == "burst" && lastConn != "null")
            note = sprintf("last caller connected after %.2f s (%d retries)%s", lastConn / 1000, \
                           retries, (note == "" ? "" : "; " note))
        pct = 100 * cpu / win
        perCaller = (conn > 0) ? 1000 * cpu / (conn * win) : ""
        memEnd = (conn > 0) ? (rssEnd - rss0) / conn : ""
        memAfter = (conn > 0) ? (rssAfter - rss0) / conn : ""
        vsGst = vsFloor = memVsFloor = "—"
        if (relay == "vandra" && label != "ceiling") {
            vsGst = ratio(pct, cpuPct["gstreamer", key])
            vsFloor = ratio(pct, cpuPct["floor", key])
            memVsFloor = ratio(memEnd, memPerCaller["floor", key])
        }
        if (kind == "idle" || sent == 0) delivered = "—"
        else if (conn > 0 && recv != "null")
            delivered = sprintf("%.2f (%.2f)", 100 * recv / (conn * sent), 100 * minp / sent)
        else delivered = "0"
        printf "| %s | %s | %s/%s | %.1f | %s | %s | %s | %.1f | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", \
               relay, what, conn, n, pct, fmt(perCaller, "%.3f"), vsGst, vsFloor, rss / 1024, \
               fmt(memEnd, "%.0f"), fmt(memAfter, "%.0f"), memVsFloor, delivered, (kind == "idle" ? "—" : gaps), \
               (kind == "idle" ? "—" : fmt(p50 == "null" ? "" : p50 - lat, "%.1f")), \
               (kind == "idle" ? "—" : fmt(p99 == "null" ? "" : p99 - lat, "%.1f")), lavg, busy, note
    }
}' "$RESULTS" >"$TABLE"

[ "$run_ceiling" -eq 0 ] || {
    echo
    echo "Ceiling ramp (caller counts at $((RATE_BPS / 1000000)) Mbit/s each; the loads above" \
        "are its first steps, then ${ceiling_seconds} s runs):"
    echo
    for relay in "${relays[@]}"; do
        echo "- $relay: ${ramp_log[$relay]%, }; stop: ${ceiling_stop[$relay]}"
    done
} >>"$TABLE"

no_delivery=0
while IFS=$'\t' read -r relay label n kind _ _ _ recv _; do
    if [ "$kind" = load ] && [[ "$label" =~ ^(load|scale)$ ]] &&
        { [ "$recv" = null ] || [ "${recv:-0}" = 0 ]; }; then
        echo "WARNING: $relay delivered nothing with $n callers" >&2
        no_delivery=1
    fi
done <"$RESULTS"

REVISION=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git -C "$ROOT" status --porcelain 2>/dev/null)" ]; then REVISION+=" (with local changes)"; fi
REPORT="$WORK/report.md"
{
    echo "Run: \`$invocation\` — $mode mode," \
        "${seconds} s per load, $started_at, $((SECONDS - started_s)) s in all."
    echo "Machine: $NPROC cores ($(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo))," \
        "load average $load_at_start at the start (1, 5, 15 min), the 1-min value at the end of" \
        "each measured window in the rows; revision $REVISION."
    echo
    cat "$TABLE"
    echo
    echo "Commands (GROUP, ports and N change per run):"
    echo
    echo '```sh'
    echo "build/vandra-server 'source=udp://GROUP:PORT(127.0.0.1)' port=SRTPORT webport=WEBPORT latency=$LATENCY_MS"
    gst_pipeline GROUP PORT SRTPORT
    echo "gst-launch-1.0 -q ${GST_ARGS[*]}" | sed 's/uri=\([^ ]*\)/"uri=\1"/'
    echo "build/bench/vandra_srtfloor GROUP PORT SRTPORT $LATENCY_MS"
    echo "build/tools/vandra-loadclient --port SRTPORT --callers N --seconds D+$CONNECT_MARGIN_S+$TAIL_S" \
        "--latency $LATENCY_MS --stagger-ms $STAGGER_MS --min-packets 0"
    echo "build/tools/vandra-publisher --group GROUP --port PORT --iface 127.0.0.1" \
        "--bitrate $RATE_BPS --size 1316 --seconds D"
    if [ "$run_scale" -eq 1 ]; then
        echo "# $SCALE_CALLERS callers at RATE (${SCALE_RATES[*]} bit/s), then all at once:"
        echo "build/tools/vandra-loadclient --port SRTPORT --callers $SCALE_CALLERS" \
            "--seconds $SCALE_SECONDS+$CONNECT_MARGIN_S+$TAIL_S --latency $LATENCY_MS" \
            "--stagger-ms $STAGGER_MS --min-packets 0 --shared-port"
        echo "build/tools/vandra-publisher --group GROUP --port PORT --iface 127.0.0.1" \
            "--bitrate RATE --size 1316 --seconds $SCALE_SECONDS"
        echo "build/tools/vandra-loadclient --port SRTPORT --callers $SCALE_CALLERS" \
            "--seconds $BURST_SECONDS+$BURST_CONNECT_WAIT_S+$TAIL_S --latency $LATENCY_MS" \
            "--stagger-ms 0 --min-packets 0 --shared-port --retry-ms $BURST_RETRY_MS" \
            "--connect-timeout $BURST_CONNECT_TIMEOUT_MS"
    fi
    echo '```'
} >"$REPORT"

echo
cat "$REPORT"

BEGIN_MARK='<!-- compare.sh results: begin -->'
END_MARK='<!-- compare.sh results: end -->'
if [ -f "$README" ] && grep -qF "$BEGIN_MARK" "$README" && grep -qF "$END_MARK" "$README"; then
    awk -v b="$BEGIN_MARK" -v e="$END_MARK" -v report="$REPORT" '
        $0 == b { print; while ((getline line < report) > 0) print line; skip = 1; next }
        $0 == e { skip = 0 }
        !skip { print }' "$README" >"$WORK/README.new"
    cat "$WORK/README.new" >"$README"
else
    { echo; echo "## Results"; echo; echo "$BEGIN_MARK"; cat "$REPORT"; echo "$END_MARK"; } >>"$README"
fi
echo >&2
echo "results written to bench/README.md" >&2
exit "$no_delivery"
