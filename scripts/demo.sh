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
client_pid=""
cleanup() {
    exec 3>&- 2>/dev/null || true
    if [ -n "$client_pid" ] && kill -0 "$client_pid" 2>/dev/null; then
        # Closing its input ends it; the kill is only for one that hangs.
        for _ in $(seq 50); do kill -0 "$client_pid" 2>/dev/null || break; sleep 0.1; done
        kill "$client_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The stand-in for the Windows registry and kernel objects lives here.
export WIN32_STANDIN_ROOT="$work/win32"

mkdir -p "$work/tool"
cp "$build/src/Tools/signature-check/signature-check" "$work/tool/"
# The checker stand-in arrives with the download; until then an empty file
# lets the run get past its presence check.
: > "$work/tool/CheckSign.exe"

mkfifo "$work/client-input"
"$build/standins/vpn-client" --install "$work/client" --address 127.0.0.1 --port 8443 \
    < "$work/client-input" > "$work/client-output" &
client_pid=$!
exec 3> "$work/client-input"
for _ in $(seq 100); do grep -q ready "$work/client-output" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$work/client-output" || { echo "demo: the VPN client stand-in did not start" >&2; exit 2; }

echo "demo: running signature-check in $work/tool"
echo "----------------------------------------------------------------"
status=0
printf '\n' | "$work/tool/signature-check" || status=$?
echo "----------------------------------------------------------------"
echo "demo: signature-check exited with status $status"
for f in "$work"/tool/*/*; do
    [ -e "$f" ] && echo "demo: left on disk: ${f#$work/tool/} ($(stat -c %s "$f") bytes)"
done
exit "$status"
