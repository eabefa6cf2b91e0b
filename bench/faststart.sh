#!/usr/bin/env bash
# Time to the first decoded video frame for a new SRT caller, with and without fast start, side
# by side in one run: two servers (faststart=0 and faststart=1) join the same multicast stream,
# an ffmpeg-encoded 8 Mbit/s transport stream replayed in real time, and at random moments
# `ffmpeg -i srt://... -frames:v 1 -f null -` is started against one, then the other, and
# timed from its start to its exit. Then the server's CPU with 50 callers at 8 Mbit/s, fast
# start off and on, alternating. Prints markdown tables and, unless --no-readme, writes them
# into the results section of bench/README.md.
#
#   bench/faststart.sh [--probes N] [--streams "h264-2s h264-5s hevc-2s"] [--default-probing]
#                      [--no-cpu] [--cpu-seconds S] [--cpu-rounds R] [--before PATH]
#                      [--no-readme] [--keep-logs]
#   --before adds an older vandra-server binary (run without the setting) to the CPU rounds.
#
# Run it under the shared lock: flock /tmp/vandra-heavy.lock bench/faststart.sh
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
README="$ROOT/bench/README.md"
SERVER="$BUILD/vandra-server"
LOADCLIENT="$BUILD/tools/vandra-loadclient"
MEDIA="$ROOT/bench/out/media" # encoded once, reused by later runs

LATENCY_MS=200
RATE_BPS=8000000
VIDEO_KBPS=7000 # CBR video; audio and the muxer's overhead fill the rest of the 8 Mbit/s
CPU_CALLERS=50
CPU_STAGGER_MS=20
CAUGHT_UP_LIMIT_S=90
PROBE_TIMEOUT_S=20

probes=20
# ffmpeg reads 5 s of a transport stream before it decodes anything, whatever arrives; a player
# that starts fast reads only what it needs: the tables and the first key frame. The format is
# given, since guessing it from a few bytes fails now and then; 500 kB hold the tables wherever
# the caller joins.
probing=(-f mpegts -probesize 500000 -analyzeduration 100000)
streams=(h264-2s h264-5s hevc-2s)
run_cpu=1
cpu_seconds=20
cpu_rounds=2
cpu_modes=(off on)

# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"
usage() { print_usage 15; }

while [ $# -gt 0 ]; do
    case "$1" in
    --probes)
        need_count $# "${2:-}"
        probes=$2
        shift
        ;;
    --streams)
        [ $# -ge 2 ] || usage
        read -r -a streams <<<"$2"
        shift
        ;;
    --default-probing) probing=() ;;
    --no-cpu) run_cpu=0 ;;
    --cpu-seconds)
        need_count $# "${2:-}"
        cpu_seconds=$2
        shift
        ;;
    --cpu-rounds)
        need_count $# "${2:-}"
        cpu_rounds=$2
        shift
        ;;
    --before)
        if [ $# -lt 2 ] || [ ! -x "$2" ]; then usage; fi
        BEFORE_SERVER=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
        cpu_modes+=(before)
        shift
        ;;
    --no-readme) write_readme=0 ;;
    --keep-logs) keep_logs=1 ;;
    *) usage ;;
    esac
    shift
done
for stream in "${streams[@]}"; do
    case "$stream" in h264-2s | h264-5s | hevc-2s) ;; *) usage ;; esac
done

WORK=$(mktemp -d /tmp/vandra-faststart.XXXXXX)

if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja
fi
ninja -C "$BUILD" -j2 vandra-server vandra-loadclient

# ---------------------------------------------------------------------------------------------
# Addresses: a group of this run's own and fresh ports.

GROUP="239.255.201.$((1 + RANDOM % 254))"
# ---------------------------------------------------------------------------------------------
# The streams: a moving test picture with a little noise (so that key frames weigh what they
# do in real pictures), 1280x720 at 25 frame/s, constant-rate video, AAC audio, muxed at a
# constant 8 Mbit/s.

gop_seconds() { # stream -> its GOP in seconds
    case "$1" in
    h264-2s | hevc-2s) echo 2 ;;
    h264-5s) echo 5 ;;
    esac
}

encode() { # stream file
    local gop=$(($(gop_seconds "$1") * 25)) seconds=30 video
    case "$1" in
    h264-*)
        video=(-c:v libx264 -preset veryfast -b:v "${VIDEO_KBPS}k" -maxrate "${VIDEO_KBPS}k"
            -bufsize "${VIDEO_KBPS}k" -x264-params nal-hrd=cbr:force-cfr=1 -g "$gop"
            -keyint_min "$gop" -sc_threshold 0)
        ;;
    hevc-*)
        seconds=20 # x265 is slow
        video=(-c:v libx265 -preset ultrafast -b:v "${VIDEO_KBPS}k"
            -x265-params "log-level=error:vbv-maxrate=$VIDEO_KBPS:vbv-bufsize=$VIDEO_KBPS:strict-cbr=1:keyint=$gop:min-keyint=$gop:scenecut=0")
        ;;
    esac
    ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=1280x720:rate=25,noise=alls=12:allf=t" \
        -f lavfi -i "sine=frequency=1000:sample_rate=48000" -t "$seconds" "${video[@]}" \
        -pix_fmt yuv420p -c:a aac -b:a 128k -f mpegts -muxrate "$RATE_BPS" "$2.part"
    mv "$2.part" "$2"
}

mkdir -p "$MEDIA"
for stream in "${streams[@]}"; do
    if [ ! -s "$MEDIA/$stream.ts" ]; then
        echo "encoding $stream ..." >&2
        encode "$stream" "$MEDIA/$stream.ts"
    fi
done

# The stream replayed in a loop at its own pace, in 1316-byte datagrams, to the group.
start_source() { # stream port log
    ffmpeg -v error -nostdin -re -stream_loop -1 -i "$MEDIA/$1.ts" -c copy -f mpegts \
        -muxrate "$RATE_BPS" "udp://$GROUP:$2?pkt_size=1316&localaddr=127.0.0.1&ttl=1" \
        </dev/null >"$3" 2>&1 &
    SOURCE_PID=$!
    live_pids+=("$SOURCE_PID")
}

start_server() { # udp_port srt_port web_port faststart|before log
    if [ "$4" = before ]; then
        (cd "$WORK" && exec "$BEFORE_SERVER" "source=udp://$GROUP:$1(127.0.0.1)" "port=$2" \
            "webport=$3" "latency=$LATENCY_MS") </dev/null >"$5" 2>&1 &
    else
        (cd "$WORK" && exec "$SERVER" "source=udp://$GROUP:$1(127.0.0.1)" "port=$2" \
            "webport=$3" "latency=$LATENCY_MS" "faststart=$4") </dev/null >"$5" 2>&1 &
    fi
    SERVER_PID=$!
    live_pids+=("$SERVER_PID")
}

now_ms() {
    local t=$EPOCHREALTIME
    echo $((${t%.*} * 1000 + 10#${t#*.} / 1000))
}

# Milliseconds from ffmpeg's start to its exit after the first decoded video frame; "fail"
# when it did not get one in time.
probe_ms() { # srt_port log
    local t0 t1
    t0=$(now_ms)
    if timeout "$PROBE_TIMEOUT_S" ffmpeg -v error -nostdin "${probing[@]}" \
        -i "srt://127.0.0.1:$1?latency=$((LATENCY_MS * 1000))" -frames:v 1 -f null - \
        </dev/null >>"$2" 2>&1; then
        t1=$(now_ms)
        echo $((t1 - t0))
    else
        echo fail
    fi
}

# "median p90 min max" of the numbers on stdin (p90: nearest rank); "- - - -" when none.
summary() {
    sort -n | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "- - - -"; exit }
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        r = int(0.9 * NR); if (r < 0.9 * NR) r++
        printf "%d %d %d %d\n", m, v[r], v[1], v[NR] }'
}

# ---------------------------------------------------------------------------------------------
# Time to first frame.

TTFF="$WORK/ttff.tsv" # stream, mode, ms or fail
: >"$TTFF"
BUSY="$WORK/busy.tsv" # stream, machine busy %
: >"$BUSY"

# The same command reading the first frame from the stream's file: ffmpeg's own start-up and
# one decode, which every probe above includes.
baseline_ms() { # stream
    local t0 t1 values=()
    for _ in 1 2 3 4 5; do
        t0=$(now_ms)
        ffmpeg -v error -nostdin "${probing[@]}" -i "$MEDIA/$1.ts" -frames:v 1 -f null - </dev/null >/dev/null 2>&1
        t1=$(now_ms)
        values+=($((t1 - t0)))
    done
    printf '%s\n' "${values[@]}" | summary | cut -d' ' -f1
}

for stream in "${streams[@]}"; do
    gop=$(gop_seconds "$stream")
    udp=$(pick_port)
    declare -A srt=() web=() pid=()
    for mode in off on; do
        srt[$mode]=$(pick_port)
        web[$mode]=$(pick_port)
        start_server "$udp" "${srt[$mode]}" "${web[$mode]}" "$([ $mode = on ] && echo 1 || echo 0)" \
            "$WORK/$stream-$mode.server.log"
        pid[$mode]=$SERVER_PID
        wait_ready "${pid[$mode]}" "${srt[$mode]}" "$WORK/$stream-$mode.server.log" || {
            echo "server ($stream, fast start $mode) did not start" >&2
            tail -n 5 "$WORK/$stream-$mode.server.log" >&2
            exit 1
        }
    done
    start_source "$stream" "$udp" "$WORK/$stream.source.log"
    source_pid=$SOURCE_PID
    sleep $((gop + 2)) # a whole GOP in the cache

    echo "$stream: $probes probes each ..." >&2
    m0=$(machine_ticks)
    for _ in $(seq "$probes"); do
        # A random moment within a GOP, then both servers in a random order.
        sleep "$(awk -v r="$RANDOM" -v g="$gop" 'BEGIN { printf "%.3f", r / 32768 * g }')"
        order=(off on)
        [ $((RANDOM % 2)) -eq 0 ] || order=(on off)
        for mode in "${order[@]}"; do
            printf '%s\t%s\t%s\n' "$stream" "$mode" "$(probe_ms "${srt[$mode]}" "$WORK/$stream-$mode.probe.log")" >>"$TTFF"
        done
        kill -0 "$source_pid" 2>/dev/null || {
            echo "the source ended: $(tail -n 3 "$WORK/$stream.source.log")" >&2
            exit 1
        }
    done
    printf '%s\t%s\n' "$stream" "$(busy_percent "$m0" "$(machine_ticks)")" >>"$BUSY"
    printf '%s\t%s\n' "$stream" "$(baseline_ms "$stream")" >>"$WORK/baseline.tsv"
    grep -h "starts from the fast-start cache\|starts live" "$WORK/$stream-on.server.log" |
        sed 's/^/  /' | head -n 3 >&2 || true

    stop_pid "$source_pid"
    forget_pid "$source_pid"
    for mode in off on; do
        stop_pid "${pid[$mode]}"
        forget_pid "${pid[$mode]}"
    done
done

ttff_table() {
    echo "| stream | GOP | off: median | off: p90 | on: median | on: p90 | on: min–max | failed (off/on) | machine busy |"
    echo "|---|---|---|---|---|---|---|---|---|"
    local stream off on fails
    for stream in "${streams[@]}"; do
        read -r -a off <<<"$(awk -F'\t' -v s="$stream" '$1 == s && $2 == "off" && $3 != "fail" { print $3 }' "$TTFF" | summary)"
        read -r -a on <<<"$(awk -F'\t' -v s="$stream" '$1 == s && $2 == "on" && $3 != "fail" { print $3 }' "$TTFF" | summary)"
        fails="$(awk -F'\t' -v s="$stream" '$1 == s && $2 == "off" && $3 == "fail"' "$TTFF" | wc -l)/$(awk -F'\t' -v s="$stream" '$1 == s && $2 == "on" && $3 == "fail"' "$TTFF" | wc -l)"
        printf '| %s | %s s | %s ms | %s ms | %s ms | %s ms | %s–%s ms | %s | %s %% |\n' \
            "${stream%%-*}" "$(gop_seconds "$stream")" "${off[0]}" "${off[1]}" "${on[0]}" "${on[1]}" \
            "${on[2]}" "${on[3]}" "$fails" "$(awk -F'\t' -v s="$stream" '$1 == s { print $2 }' "$BUSY")"
    done
    echo
    echo "ffmpeg's own start-up and one decode, from the stream's file (median of 5):"
    awk -F'\t' '{ printf "%s %s ms; ", $1, $2 }' "$WORK/baseline.tsv" | sed 's/; $//'
    echo
}

# ---------------------------------------------------------------------------------------------
# CPU with 50 callers at 8 Mbit/s: the server alone, fast start off and on, alternating.

CPU="$WORK/cpu.tsv" # mode, server CPU % of one core, machine busy %
: >"$CPU"
TICKS=$(getconf CLK_TCK)

cpu_run() { # mode
    local mode=$1 udp s w log lc_pid c0 c1 m0 m1 t0 t1
    udp=$(pick_port)
    s=$(pick_port)
    w=$(pick_port)
    log="$WORK/cpu-$mode-$RANDOM.server.log"
    local setting=0
    case "$mode" in on) setting=1 ;; before) setting=before ;; esac
    start_server "$udp" "$s" "$w" "$setting" "$log"
    local server_pid=$SERVER_PID
    wait_ready "$server_pid" "$s" "$log" || {
        echo "server did not start" >&2
        exit 1
    }
    start_source h264-2s "$udp" "$WORK/cpu.source.log"
    local source_pid=$SOURCE_PID
    sleep 3
    # The load client checks its own test stream, which this is not: it counts every packet
    # as corrupt but reads them all, which is all that is needed here.
    local settle=$((CPU_CALLERS * CPU_STAGGER_MS / 1000 + 4))
    "$LOADCLIENT" --port "$s" --callers "$CPU_CALLERS" \
        --seconds $((settle + CAUGHT_UP_LIMIT_S + cpu_seconds + 2)) \
        --latency "$LATENCY_MS" --stagger-ms "$CPU_STAGGER_MS" --min-packets 0 \
        >"$WORK/cpu-$mode.lc.json" 2>"$WORK/cpu-$mode.lc.err" &
    lc_pid=$!
    live_pids+=("$lc_pid")
    sleep "$settle" # connected
    local caught_up
    caught_up=$(wait_caught_up "$w")
    t0=$EPOCHREALTIME
    m0=$(machine_ticks)
    c0=$(cpu_ticks "$server_pid")
    sleep "$cpu_seconds"
    c1=$(cpu_ticks "$server_pid")
    m1=$(machine_ticks)
    t1=$EPOCHREALTIME
    stop_pid "$lc_pid"
    forget_pid "$lc_pid"
    local from_cache
    from_cache=$(grep -c "starts from the fast-start cache" "$log" || true)
    for p in "$source_pid" "$server_pid"; do
        stop_pid "$p"
        forget_pid "$p"
    done
    printf '%s\t%s\t%s\t%s\t%s\n' "$mode" \
        "$(awk -v a="$c0" -v b="$c1" -v t="$TICKS" -v s="$t0" -v e="$t1" 'BEGIN { printf "%.1f", 100 * (b - a) / t / (e - s) }')" \
        "$(busy_percent "$m0" "$m1")" "$from_cache" "$caught_up" >>"$CPU"
}

# Seconds until every caller's backlog is below ten chunks (all caught up), "no" after
# CAUGHT_UP_LIMIT_S. Fifty callers catching up at once share this machine's two cores with
# their load client, and the catch-ups' own sending must not count as the steady state.
wait_caught_up() { # web_port
    local start=$SECONDS
    for _ in $(seq $((CAUGHT_UP_LIMIT_S * 2))); do
        if python3 - "$1" "$CPU_CALLERS" "$((10 * 1316))" <<'EOF' 2>/dev/null; then
import json, sys, urllib.request
url = "http://127.0.0.1:%s/api/v1/status" % sys.argv[1]
callers = json.load(urllib.request.urlopen(url, timeout=2))["callers"]
done = len(callers) >= int(sys.argv[2]) and all(c["backlog_bytes"] < int(sys.argv[3]) for c in callers)
sys.exit(0 if done else 1)
EOF
            echo $((SECONDS - start))
            return
        fi
        sleep 0.5
    done
    echo no
}

cpu_table() {
    echo "| fast start | runs | server CPU, % of one core (each run) | median | callers started from the cache | all caught up after (s) | machine busy |"
    echo "|---|---|---|---|---|---|---|"
    local mode
    for mode in "${cpu_modes[@]}"; do
        printf '| %s | %s | %s | %s %% | %s | %s | %s %% |\n' "$mode" \
            "$(awk -F'\t' -v m="$mode" '$1 == m' "$CPU" | wc -l)" \
            "$(awk -F'\t' -v m="$mode" '$1 == m { printf "%s%s", sep, $2; sep = ", " }' "$CPU")" \
            "$(awk -F'\t' -v m="$mode" '$1 == m { print $2 }' "$CPU" | sort -n | awk '{ v[NR] = $1 } END { if (NR) printf "%.1f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')" \
            "$(awk -F'\t' -v m="$mode" '$1 == m { printf "%s%s", sep, $4; sep = ", " }' "$CPU")" \
            "$(awk -F'\t' -v m="$mode" '$1 == m { printf "%s%s", sep, $5; sep = ", " }' "$CPU")" \
            "$(awk -F'\t' -v m="$mode" '$1 == m { printf "%s%s", sep, $3; sep = ", " }' "$CPU")"
    done
}

if [ "$run_cpu" -eq 1 ]; then
    [ -s "$MEDIA/h264-2s.ts" ] || encode h264-2s "$MEDIA/h264-2s.ts"
    echo "CPU: $CPU_CALLERS callers, $cpu_rounds rounds of ${cpu_modes[*]} ..." >&2
    for _ in $(seq "$cpu_rounds"); do
        for mode in "${cpu_modes[@]}"; do
            cpu_run "$mode"
        done
    done
fi

# ---------------------------------------------------------------------------------------------
# Report.

REPORT="$WORK/report.md"
{
    echo "Run $(date '+%Y-%m-%d %H:%M'), \`$invocation\`, $(nproc) cores, SRT latency $LATENCY_MS ms on both ends, $probes probes per server and stream, ffmpeg options before \`-i\`: \`${probing[*]:-none}\`."
    echo
    ttff_table
    if [ "$run_cpu" -eq 1 ]; then
        echo
        echo "$CPU_CALLERS callers × 8 Mbit/s (the H.264 2 s stream), $cpu_seconds s measured per run once every caller's backlog is below ten chunks:"
        echo
        cpu_table
    fi
} >"$REPORT"
cat "$REPORT"

if [ "$write_readme" -eq 1 ]; then
    write_results_section "$README" "$REPORT" faststart
fi
