# shellcheck shell=bash disable=SC2154 # $work is the caller's
# Sourced by the scripts that run the tool against the stand-ins (the demo,
# the Windows archives' test): starts stand-ins as children whose input is a
# FIFO this shell holds open, and ends them again. Needs $work, a directory
# of the caller's; the stand-ins start in it.

standin_pids=()
standin_fds=()

# start_standin NAME READY-PATTERN COMMAND...: runs COMMAND in $work with its
# input from the FIFO $work/NAME-input and its output in $work/NAME-output,
# and waits (30 s at most) until that output has a line matching the pattern.
start_standin() {
    local name=$1 ready=$2 fd
    shift 2
    mkfifo "$work/$name-input"
    (cd "$work" && exec "$@") <"$work/$name-input" >"$work/$name-output" 2>&1 &
    standin_pids+=($!)
    exec {fd}>"$work/$name-input"
    standin_fds+=("$fd")
    for _ in $(seq 300); do
        grep -q "$ready" "$work/$name-output" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "$name did not start:" >&2
    cat "$work/$name-output" >&2
    return 1
}

# Closing their input ends the stand-ins; the kill is only for one that hangs.
stop_standins() {
    local fd pid
    for fd in "${standin_fds[@]}"; do exec {fd}>&-; done
    for pid in "${standin_pids[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill "$pid" 2>/dev/null || true
    done
}
