#!/usr/bin/env bash
# The main job: builds everything, starts the VPN client stand-in (logged in,
# component registered with a gateway address), runs signature-check from a
# directory of its own with a key ready for its "pause", shows its whole
# console output and ends with its exit status. Everything it makes lives in
# a temporary directory that is removed at the end.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$root/build}

bash "$here/build.sh"

work=$(mktemp -d /tmp/signature-check-demo.XXXXXX)
pids=()
cleanup() {
    # Closing their input ends the stand-ins; the kill is only for one that hangs.
    exec 3>&- 4>&- 2>/dev/null || true
    for pid in "${pids[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Waits (bounded) until file holds a line matching pattern.
wait_for_line() {
    for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "demo: $3 did not start" >&2
    exit 2
}

# The stand-in for the Windows registry and kernel objects lives here.
export WIN32_STANDIN_ROOT="$work/win32"

# The gateway publishes the installer over HTTPS on a free loopback port.
mkdir -p "$work/gateway/com/win"
head -c 1048576 /dev/urandom > "$work/gateway/com/win/TandrelUD.exe"
mkfifo "$work/gateway-input"
python3 "$root/standins/gateway/gateway.py" --workdir "$work" --root "$work/gateway" --exit-on-eof \
    < "$work/gateway-input" > "$work/gateway-output" &
pids+=($!)
exec 3> "$work/gateway-input"
wait_for_line "$work/gateway-output" '^port ' "the gateway"
port=$(sed -n 's/^port //p' "$work/gateway-output")

mkdir -p "$work/tool"
cp "$build/src/Tools/signature-check/signature-check" "$work/tool/"
# The checker stand-in arrives with the verdict step; until then an empty
# file lets the run get past its presence check.
: > "$work/tool/CheckSign.exe"

# The VPN client: logged in, its component answering the gateway's address.
mkfifo "$work/client-input"
"$build/standins/vpn-client" --install "$work/client" --address 127.0.0.1 --port "$port" \
    < "$work/client-input" > "$work/client-output" &
pids+=($!)
exec 4> "$work/client-input"
wait_for_line "$work/client-output" ready "the VPN client stand-in"

echo "demo: gateway on https://127.0.0.1:$port, running signature-check in $work/tool"
echo "----------------------------------------------------------------"
status=0
printf '\n' | "$work/tool/signature-check" || status=$?
echo "----------------------------------------------------------------"
echo "demo: signature-check exited with status $status"
for f in "$work"/tool/*/*; do
    [ -e "$f" ] && echo "demo: left on disk: ${f#$work/tool/} ($(stat -c %s "$f") bytes)"
done
exit "$status"
