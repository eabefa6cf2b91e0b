# Process bookkeeping shared by the bench scripts: every process a bench starts goes into
# live_pids and is stopped by its PID when the script ends, however it ends. WORK is the run's
# scratch folder, made once the options are read, and keep_logs=1 keeps it.
# shellcheck shell=bash

# The options every bench takes (--no-readme, --keep-logs) at their defaults, and the command
# line as given, for the report; a script that sets them before sourcing keeps its own.
: "${write_readme:=1}" "${keep_logs:=0}"
: "${invocation:=bench/${0##*/}${*:+$(printf ' %q' "$@")}}"

# The script's header comment from line 2 to line $1, as its usage; exits 2.
print_usage() {
    sed -n "2,$1p" "$0" | sed 's/^# \{0,1\}//'
    exit 2
}

# The script's usage unless the option's value ($2, with $1 arguments left) is a positive count.
need_count() {
    if [ "$1" -lt 2 ] || ! [[ "$2" =~ ^[1-9][0-9]*$ ]]; then usage; fi
}

# Reads a bench's command line: --no-readme, --keep-logs, and the options the script names in
# count_options (option -> variable, a positive count) and list_options (option -> array, a
# space-separated list); anything else, or a missing or bad value, prints the usage.
parse_options() {
    while [ $# -gt 0 ]; do
        case "$1" in
        --no-readme) write_readme=0 ;;
        --keep-logs) keep_logs=1 ;;
        *)
            if [ -n "${count_options[$1]:-}" ]; then
                need_count $# "${2:-}"
                printf -v "${count_options[$1]}" '%s' "$2"
            elif [ -n "${list_options[$1]:-}" ]; then
                [ $# -ge 2 ] || usage
                read -r -a "${list_options[$1]}" <<<"$2"
            else
                usage
            fi
            shift
            ;;
        esac
        shift
    done
}

# Raises the soft limit of open files to $1 (or as far as the hard limit allows): a load
# client with hundreds of callers holds a UDP socket for each.
raise_fd_limit() {
    local soft
    soft=$(ulimit -n)
    if [ "$soft" != unlimited ] && [ "$soft" -lt "$1" ]; then
        ulimit -n "$1" 2>/dev/null || ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
    fi
}

# CPU time of a process and of the whole machine, sampled before and after a window.
cpu_ticks() { # pid -> utime+stime in clock ticks
    local line rest
    read -r line <"/proc/$1/stat" || {
        echo 0
        return
    }
    rest=${line##*) }
    # shellcheck disable=SC2086 # split the fields after the command name
    set -- $rest
    echo $((${12} + ${13}))
}

machine_ticks() { # -> "busy total" clock ticks of all cores since boot
    local _ user nice system idle iowait irq softirq steal
    read -r _ user nice system idle iowait irq softirq steal _ </proc/stat
    local busy=$((user + nice + system + irq + softirq + steal))
    echo "$busy $((busy + idle + iowait))"
}

busy_percent() { # "busy total" at the start, at the end -> % of all cores busy in between
    awk -v a="$1" -v b="$2" 'BEGIN {
        split(a, x, " "); split(b, y, " ")
        printf "%.0f", (y[2] > x[2]) ? 100 * (y[1] - x[1]) / (y[2] - x[2]) : 0 }'
}

# The server's /metrics.
metric() { # web_port series -> value, empty when absent
    curl -s --max-time 2 "http://127.0.0.1:$1/metrics" | awk -v s="$2" '$1 == s { print $2 }'
}

wait_callers() { # web_port count -> 0 once that many are connected (60 s at most)
    for _ in $(seq 600); do
        [ "$(metric "$1" vandra_callers)" = "$2" ] && return 0
        sleep 0.1
    done
    return 1
}

# Every thread's utime+stime in clock ticks and its context switches, one
# "tid name ticks switches" line each.
thread_ticks() { # pid
    local task line rest name switches
    for task in /proc/"$1"/task/*; do
        read -r line <"$task/stat" 2>/dev/null || continue
        switches=$(awk '/ctxt_switches/ { n += $2 } END { print n + 0 }' "$task/status" 2>/dev/null)
        name=${line#*(}
        name=${name%%)*}
        rest=${line##*) }
        # shellcheck disable=SC2086 # split the fields after the command name
        set -- $rest
        echo "${task##*/} ${name// /_} $((${12} + ${13})) ${switches:-0}"
    done
}

# Per group of threads: the % of one core over the window, and the busiest thread of the group.
# libsrt names its queue threads; the server's own (callers, input, web) are "other".
cpu_by_group() { # before after seconds -> "total sndq sndq_max rcvq rcvq_max other sndq_switches"
    python3 - "$1" "$2" "$3" "$(getconf CLK_TCK)" <<'EOF'
import sys
def read(path):
    rows = {}
    for line in open(path):
        tid, name, ticks, switches = line.split()
        rows[tid] = (name, int(ticks), int(switches))
    return rows
before, after = read(sys.argv[1]), read(sys.argv[2])
scale = 100.0 / (float(sys.argv[3]) * int(sys.argv[4]))
groups = {"sndq": [], "rcvq": [], "other": []}
sndq_switches = 0
for tid, (name, ticks, switches) in after.items():
    used = (ticks - before.get(tid, (name, 0, 0))[1]) * scale
    if name.startswith("SRT:SndQ"):
        sndq_switches += switches - before.get(tid, (name, 0, 0))[2]
    key = "sndq" if name.startswith("SRT:SndQ") else "rcvq" if name.startswith("SRT:RcvQ") \
        else "other"
    groups[key].append(used)
total = sum(sum(v) for v in groups.values())
print("%.1f %.1f %.1f %.1f %.1f %.1f %d" % (total, sum(groups["sndq"]), max(groups["sndq"] or [0]),
      sum(groups["rcvq"]), max(groups["rcvq"] or [0]), sum(groups["other"]),
      sndq_switches / float(sys.argv[3])))
EOF
}

live_pids=()

stop_pid() {
    local pid=$1
    # kill with 0 or a negative number would signal whole process groups.
    [[ "$pid" =~ ^[1-9][0-9]*$ ]] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

forget_pid() {
    local kept=() pid
    for pid in "${live_pids[@]}"; do
        [ "$pid" = "$1" ] || kept+=("$pid")
    done
    live_pids=("${kept[@]}")
}

# shellcheck disable=SC2317 # called by the EXIT trap
cleanup() {
    local pid
    for pid in "${live_pids[@]}"; do
        stop_pid "$pid"
    done
    if [ -z "${WORK:-}" ]; then
        return 0
    elif [ "${keep_logs:-0}" -eq 1 ]; then
        echo "logs kept in $WORK" >&2
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Puts REPORT's text between the markers "<!-- NAME results begin -->" and "... end -->" of
# README, appending both markers at the end the first time.
write_results_section() { # readme report name
    python3 - "$1" "$2" "$3" <<'EOF'
import sys
readme_path, report_path, name = sys.argv[1], sys.argv[2], sys.argv[3]
begin, end = "<!-- %s results begin -->" % name, "<!-- %s results end -->" % name
readme = open(readme_path).read()
report = open(report_path).read().strip()
if begin in readme and end in readme:
    head, rest = readme.split(begin, 1)
    tail = rest.split(end, 1)[1]
    readme = head + begin + "\n" + report + "\n" + end + tail
else:
    readme = readme.rstrip("\n") + "\n\n" + begin + "\n" + report + "\n" + end + "\n"
open(readme_path, "w").write(readme)
EOF
}

# A port nothing listens on or sends from, not handed out before in this run.
used_ports=" "

port_is_free() {
    [[ "$used_ports" != *" $1 "* ]] && [ -z "$(ss -Hantu "( sport = :$1 )" 2>/dev/null)" ]
}

pick_port() {
    local port
    for _ in $(seq 100); do
        port=$((20000 + RANDOM % 30000))
        if port_is_free "$port"; then
            used_ports+="$port "
            echo "$port"
            return 0
        fi
    done
    echo "no free port found" >&2
    return 1
}

# Ready once the process itself holds the SRT port and has joined the group.
wait_ready() { # pid srt_port log
    for _ in $(seq 100); do
        kill -0 "$1" 2>/dev/null || return 1
        if ss -Hulnp "( sport = :$2 )" 2>/dev/null | grep -q "pid=$1," &&
            grep -q -- "-- used iface for MULTICAST GROUP" "$3"; then
            return 0
        fi
        sleep 0.05
    done
    return 1
}
