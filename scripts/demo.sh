#!/usr/bin/env bash
# The main job: builds the tool and the stand-ins it runs with (not the
# tests), makes a test code-signing CA and signs a small Windows executable
# as the installer, starts the stand-ins (HTTPS gateway publishing the
# installer, VPN client logged in with its component pointing at the
# gateway, checker beside the tool), and runs signature-check
# twice with a key ready for its "pause": once on the signed installer
# (VALID), once on a copy with one byte changed (INVALID, still exit 0). It
# shows the whole console output of both and ends with the first non-zero
# exit status, else 0. Everything it makes lives in a temporary directory
# that is removed at the end, and every process it starts is ended.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$root/build}

BUILD_TARGETS="signature-check vpn-client TandrelCore" bash "$here/build.sh"

work=$(mktemp -d /tmp/signature-check-demo.XXXXXX)
# shellcheck source=../standins/start.sh
source "$root/standins/start.sh"
trap 'stop_standins; rm -rf "$work"' EXIT

# The stand-in for the Windows registry and kernel objects lives here.
export WIN32_STANDIN_ROOT="$work/win32"

# The installer, its spoiled copy and the checker's trust anchor.
bash "$root/standins/checker/make-installer.sh" "$work/signed"

# The gateway publishes the installer over HTTPS on a free loopback port.
mkdir -p "$work/gateway/com/win"
start_standin gateway '^port ' \
    python3 "$root/standins/gateway/gateway.py" --workdir "$work" --root "$work/gateway" --exit-on-eof
port=$(sed -n 's/^port //p' "$work/gateway-output")

mkdir -p "$work/tool"
cp "$build/src/Tools/signature-check/signature-check" "$work/tool/"
cp "$root/standins/checker/CheckSign.exe" "$work/tool/"
cp "$work/signed/ca.pem" "$work/tool/CheckSign.ca.pem"

# The VPN client: logged in, its component answering the gateway's address.
start_standin client ready "$build/standins/vpn-client" --install "$work/client" --address 127.0.0.1 --port "$port"

# Runs the tool with the gateway publishing $2; prints its console and status.
scenario() {
    cp "$work/signed/$2" "$work/gateway/com/win/TandrelUD.exe"
    echo
    echo "demo: $1 (gateway https://127.0.0.1:$port, tool in $work/tool)"
    echo "----------------------------------------------------------------"
    local status=0
    printf '\n' | "$work/tool/signature-check" || status=$?
    echo "----------------------------------------------------------------"
    echo "demo: signature-check exited with status $status"
    return "$status"
}

first=0
second=0
scenario "the signed installer" TandrelUD.exe || first=$?
scenario "the installer with one byte changed" tampered.exe || second=$?
[ "$first" -ne 0 ] && exit "$first"
exit "$second"
