# Process bookkeeping shared by the bench scripts: every process a bench starts goes into
# live_pids and is stopped by its PID when the script ends, however it ends. Source it after
# setting WORK (the run's scratch folder) and keep_logs (1 keeps WORK).
# shellcheck shell=bash

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
    if [ "${keep_logs:-0}" -eq 1 ]; then
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
