#!/usr/bin/env bash
# C viewers of one program of a four-program input against C viewers of the whole input, side by
# side: one server (programs=1) joins a four-program transport stream of 4 Mbit/s (encoded once
# by ffmpeg, each program H.264 and AAC, replayed in real time in a loop), and the load client
# connects C callers without a stream id, then C callers with `#!::r=2` (the other way round in
# every second round), for R rounds; per run the server's CPU per thread group over a window of
# S seconds, read from /proc/PID/task/*/stat, and the rate each caller was sent (the server's
# latest 3-s sample). Prints markdown tables and, unless --no-readme, writes them into the
# programs section of bench/README.md.
#
#   bench/programs.sh [--callers C] [--seconds S] [--rounds R] [--no-readme] [--keep-logs]
#
# Run it under the shared lock: flock /tmp/vandra-heavy.lock bench/programs.sh
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
README="$ROOT/bench/README.md"
SERVER="$BUILD/vandra-server"
LOADCLIENT="$BUILD/tools/vandra-loadclient"
MEDIA="$ROOT/bench/out/media" # encoded once, reused by later runs
STREAM="$MEDIA/programs4.ts"

LATENCY_MS=120
RATE_BPS=4000000 # the muxer's constant rate; null packets fill what the programs leave
VIDEO_KBPS=750   # constant-rate video of each program
PROGRAM=2
STAGGER_MS=20
SETTLE_S=2 # past the join: the window holds the steady state only

callers=50
seconds=10
rounds=3

# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

usage() {
    print_usage 12
}

declare -A count_options=([--callers]=callers [--seconds]=seconds [--rounds]=rounds)
declare -A list_options=()
parse_options "$@"
raise_fd_limit 4096

WORK=$(mktemp -d /tmp/vandra-programs.XXXXXX)
if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja
fi
ninja -C "$BUILD" -j2 vandra-server vandra-loadclient >&2

GROUP="239.255.205.$((1 + RANDOM % 254))"

# The four programs of every ffmpeg run here: video and audio each, in input order.
PROGRAM_MAP=(-program "program_num=1:title=One:st=0:st=1"
    -program "program_num=2:title=Two:st=2:st=3"
    -program "program_num=3:title=Three:st=4:st=5"
    -program "program_num=4:title=Four:st=6:st=7")

# Four moving pictures of 640x360 with a little noise and four tones, 20 s.
encode() { # file
    local inputs=() maps=() i
    local pictures=(testsrc2 testsrc smptebars rgbtestsrc)
    for i in 0 1 2 3; do
        inputs+=(-f lavfi -i "${pictures[$i]}=size=640x360:rate=25,noise=alls=8:allf=t"
            -f lavfi -i "sine=frequency=$((440 * (i + 1))):sample_rate=48000")
        maps+=(-map "$((2 * i)):v" -map "$((2 * i + 1)):a")
    done
    ffmpeg -v error -nostdin -y "${inputs[@]}" "${maps[@]}" -t 20 -c:v libx264 -preset veryfast \
        -b:v "${VIDEO_KBPS}k" -maxrate "${VIDEO_KBPS}k" -bufsize "${VIDEO_KBPS}k" \
        -x264-params nal-hrd=cbr:force-cfr=1 -g 50 -pix_fmt yuv420p -c:a aac -b:a 96k \
        "${PROGRAM_MAP[@]}" -f mpegts -muxrate "$RATE_BPS" "$1.part"
    mv "$1.part" "$1"
}

mkdir -p "$MEDIA"
if [ ! -s "$STREAM" ]; then
    echo "encoding the four-program stream ..." >&2
    encode "$STREAM"
fi

# The server's latest 3-s samples (its kbit is 1024 bits): "input_mbps mean_caller_mbps".
rates() { # web_port
    python3 - "$1" <<'EOF'
import json, sys, urllib.request
url = "http://127.0.0.1:%s/api/v1/status" % sys.argv[1]
status = json.load(urllib.request.urlopen(url, timeout=2))
mbps = lambda kbps: kbps * 1024 / 1e6
callers = [mbps(c["bitrate_kbps"]) for c in status["callers"]]
print("%.2f %.2f" % (mbps(status["input"]["bitrate_kbps"]), sum(callers) / max(1, len(callers))))
EOF
}

UDP=$(pick_port)
SRT=$(pick_port)
WEB=$(pick_port)
SERVER_LOG="$WORK/server.log"
(cd "$WORK" && exec "$SERVER" "source=udp://$GROUP:$UDP(127.0.0.1)" "port=$SRT" "webport=$WEB" \
    "latency=$LATENCY_MS" programs=1) </dev/null >"$SERVER_LOG" 2>&1 &
SERVER_PID=$!
live_pids+=("$SERVER_PID")
wait_ready "$SERVER_PID" "$SRT" "$SERVER_LOG" || {
    echo "server did not start" >&2
    exit 1
}
ffmpeg -v error -nostdin -re -stream_loop -1 -i "$STREAM" -map 0 -c copy "${PROGRAM_MAP[@]}" \
    -f mpegts -muxrate "$RATE_BPS" "udp://$GROUP:$UDP?pkt_size=1316&localaddr=127.0.0.1&ttl=1" \
    </dev/null >"$WORK/source.log" 2>&1 &
live_pids+=($!)
for _ in $(seq 100); do
    grep -q -- "-- input PAT lists 4 programs" "$SERVER_LOG" && break
    sleep 0.1
done
grep -q -- "-- input PAT lists 4 programs" "$SERVER_LOG" || {
    echo "the server saw no PAT of four programs" >&2
    exit 1
}

RUNS="$WORK/runs.tsv" # round, viewers of, total, per caller, sndq, rcvq, other, Mbit/s per caller and in, busy
: >"$RUNS"

# One window of C callers of `what` (whole or program); its row into RUNS.
run() { # what round
    local what=$1 round=$2 streamid=()
    [ "$what" = program ] && streamid=(--streamid "#!::r=$PROGRAM")
    # The load client checks its own test stream, which this is not: it counts every packet as
    # corrupt but reads them all, which is all that is needed here.
    "$LOADCLIENT" --port "$SRT" --callers "$callers" --latency "$LATENCY_MS" "${streamid[@]}" \
        --seconds $((callers * STAGGER_MS / 1000 + SETTLE_S + seconds + 30)) \
        --stagger-ms "$STAGGER_MS" --min-packets 0 >/dev/null 2>"$WORK/lc-$what-$round.err" &
    local lc_pid=$!
    live_pids+=("$lc_pid")
    if ! wait_callers "$WEB" "$callers"; then
        echo "round $round, $what: not all $callers callers connected" >&2
        exit 1
    fi
    sleep "$SETTLE_S"
    local m0 m1 input_mbps caller_mbps
    thread_ticks "$SERVER_PID" >"$WORK/before"
    m0=$(machine_ticks)
    sleep "$seconds"
    thread_ticks "$SERVER_PID" >"$WORK/after"
    m1=$(machine_ticks)
    read -r input_mbps caller_mbps <<<"$(rates "$WEB")"
    stop_pid "$lc_pid"
    forget_pid "$lc_pid"
    wait_callers "$WEB" 0 || {
        echo "round $round, $what: callers did not leave" >&2
        exit 1
    }
    local total sndq rcvq other
    read -r total sndq _ rcvq _ other _ <<<"$(cpu_by_group "$WORK/before" "$WORK/after" "$seconds")"
    awk -v r="$round" -v w="$what" -v t="$total" -v s="$sndq" -v q="$rcvq" -v o="$other" \
        -v c="$callers" -v i="$input_mbps" -v m="$caller_mbps" -v busy="$(busy_percent "$m0" "$m1")" \
        'BEGIN { printf "%s\t%s\t%.1f\t%.2f\t%.1f\t%.1f\t%.1f\t%s\t%s\t%s\n",
                 r, w, t, t / c, s, q, o, m, i, busy }' >>"$RUNS"
}

for ((round = 1; round <= rounds; round++)); do
    if ((round % 2 == 1)); then order=(whole program); else order=(program whole); fi
    for what in "${order[@]}"; do
        run "$what" "$round"
    done
done

summary() {
    python3 - "$RUNS" <<'EOF'
import statistics, sys
rows = [line.rstrip("\n").split("\t") for line in open(sys.argv[1])]
median = {w: {k: statistics.median(float(r[i]) for r in rows if r[1] == w)
              for k, i in (("total", 2), ("per", 3), ("mbps", 7))}
          for w in ("whole", "program")}
print("| viewers of | runs | server CPU, median | per caller | sent per caller |")
print("|---|---:|---:|---:|---:|")
for w in ("whole", "program"):
    print("| %s | %d | %.1f %% | %.2f %% | %.2f Mbit/s |" % (
        "the whole input" if w == "whole" else "program 2", sum(r[1] == w for r in rows),
        median[w]["total"], median[w]["per"], median[w]["mbps"]))
whole, program = median["whole"], median["program"]
print()
print("Program 2 against the whole input: %.2f × the CPU per caller for %.2f × the bytes."
      % (program["per"] / whole["per"], program["mbps"] / whole["mbps"]))
EOF
}

REPORT="$WORK/report.md"
{
    echo "Run: \`$invocation\`, $(date -u '+%Y-%m-%d %H:%M') UTC, revision $(git -C "$ROOT" rev-parse --short HEAD)$(git -C "$ROOT" diff --quiet HEAD || echo ' (with local changes)'); load average $(cut -d' ' -f1-3 /proc/loadavg) at the end; $(nproc) cores, shared with other work."
    echo
    echo "CPU in % of one core over $seconds s, $callers callers, a four-program input of $((RATE_BPS / 1000000)) Mbit/s, latency $LATENCY_MS ms:"
    echo
    echo "| round | viewers of | server total | per caller | SndQ threads | RcvQ threads | other threads | sent per caller (Mbit/s) | input (Mbit/s) | machine busy |"
    echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|"
    awk -F'\t' '{ printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s %% |\n",
                  $1, $2 == "whole" ? "the whole input" : "program 2", $3, $4, $5, $6, $7, $8, $9, $10 }' "$RUNS"
    echo
    summary
} | tee "$REPORT"

if [ "$write_readme" -eq 1 ]; then
    write_results_section "$README" "$REPORT" programs
fi
