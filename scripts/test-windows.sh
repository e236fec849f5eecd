#!/usr/bin/env bash
# The Windows flavour's tests: cross-builds the library, the tool, the
# stand-ins and the tests for Windows (scripts/windows-deps.sh sets up the
# compilers and the libraries), boots a 64-bit Wine prefix of its own in a
# temporary directory, and runs the tests in it with ctest, among them the
# release archives' test (both archives made with cpack, the tool's unpacked,
# its signature checked and the tool run from it). The gateway
# stand-in and osslsigncode run on the Linux side, started through Wine.
# At the end the prefix's wineserver is ended by its PID and the prefix is
# removed. Builds into build-windows/ (or $WINDOWS_BUILD_DIR). Arguments go
# to ctest, e.g. -R WindowsArchives for the release archives' test alone.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
build=${WINDOWS_BUILD_DIR:-$root/build-windows}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

log() { echo "test-windows: $*"; }
started=$SECONDS
took() { log "$1 in $((SECONDS - step)) s"; step=$SECONDS; }
step=$SECONDS

# The Linux side: cmake, and python3, openssl and osslsigncode for the
# gateway, the signed installers and the checker.
bash "$here/install-deps.sh"
export WINDOWS_DEPS_PREFIX
WINDOWS_DEPS_PREFIX=$(bash "$here/windows-deps.sh")
took "dependencies ready"

# A build made with other dependencies (or before this was noted) holds
# their package paths in its cache: it is configured afresh.
stamp=$build/.windows-deps-prefix
if [ "$(cat "$stamp" 2>/dev/null)" != "$WINDOWS_DEPS_PREFIX" ]; then
    rm -f "$build/CMakeCache.txt"
fi
cmake --preset windows -S "$root" -B "$build" >/dev/null
echo "$WINDOWS_DEPS_PREFIX" >"$stamp"
cmake --build "$build" -j"$(nproc)"
took "built"

work=$(mktemp -d /tmp/signature-check-wine.XXXXXX)
prefix=$work/prefix
server_pid=
# Processes started with this prefix (Wine's own and the Linux programs the
# tests started through it), found by their environment.
prefix_processes() {
    grep -lzxF "WINEPREFIX=$prefix" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3
}
# Ends the wineserver by its PID, then the prefix's processes that outlive it
# (Wine's services stay without their server), and removes the prefix.
cleanup() {
    unset WINEPREFIX  # so that the commands below are not taken for the prefix's
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill "$server_pid" 2>/dev/null || true
        for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$server_pid" 2>/dev/null || true
    fi
    local left=()
    mapfile -t left < <(prefix_processes)
    if [ ${#left[@]} -gt 0 ]; then
        kill "${left[@]}" 2>/dev/null || true
        for _ in $(seq 50); do
            mapfile -t left < <(prefix_processes)
            [ ${#left[@]} -eq 0 ] && break
            sleep 0.1
        done
        [ ${#left[@]} -eq 0 ] || kill -KILL "${left[@]}" 2>/dev/null || true
    fi
    # The wineserver's socket directory lies outside the prefix, named after
    # its device and inode: /tmp/wine-XXXXXX/server-<dev>-<inode>.
    if [ -d "$prefix" ]; then
        local server_dir dir
        server_dir=$(printf 'server-%x-%x' "$(stat -c %d "$prefix")" "$(stat -c %i "$prefix")")
        for dir in /tmp/wine-*/"$server_dir" "/tmp/.wine-$(id -u)/$server_dir"; do
            if [ -d "$dir" ]; then
                rm -rf "$dir"
                rmdir "$(dirname "$dir")" 2>/dev/null || true
            fi
        done
    fi
    rm -rf "$work"
    log "Wine ended and its prefix removed in $((SECONDS - step)) s"
}
trap cleanup EXIT

export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installers; no display.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
"$wineserver" --foreground --persistent >"$work/wineserver.log" 2>&1 &
server_pid=$!
# The first start in a new prefix sets it up and prints its configuration
# messages; done here, the tests see a quiet, ready machine.
"$wine" wineboot --init >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
took "Wine prefix booted"

status=0
ctest --test-dir "$build" -j"$(nproc)" --timeout 300 --output-on-failure "$@" || status=$?
took "tests run"
log "done in $((SECONDS - started)) s"
exit "$status"
