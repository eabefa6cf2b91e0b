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
