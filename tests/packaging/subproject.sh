#!/usr/bin/env bash
# The client as a subproject of a consumer, with FetchContent and with
# add_subdirectory, Boost and GoogleTest kept from being found: only the
# client is configured and built, the consumer's cache gets no build type
# and no option without the project's prefix, and the consumer runs
# against a local HTTPS server.
# Usage: subproject.sh SOURCE CONSUMER_SOURCE
set -euo pipefail
source=$1 consumer=$2
work=$(mktemp -d)
# shellcheck source=local-server.sh
source "$(dirname "${BASH_SOURCE[0]}")/local-server.sh"
trap 'stop_standins; rm -rf "$work"' EXIT
start_local_server
expected=$(cat "$consumer/expected.txt")

fail() { echo "subproject: $*" >&2; exit 1; }

for way in FetchContent add_subdirectory; do
    build=$work/$way
    cmake -S "$consumer" -B "$build" -DTANDREL_CONSUME=$way -DTANDREL_SOURCE="$source" \
        -DCMAKE_DISABLE_FIND_PACKAGE_Boost=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$work/$way.log" 2>&1 ||
        fail "$way: the consumer does not configure: $(cat "$work/$way.log")"
    ! grep -E '^(SANITIZE|FUZZ|BUILD_TESTING)[:=]|^CMAKE_BUILD_TYPE:[A-Z]+=.+' "$build/CMakeCache.txt" ||
        fail "$way: the subproject set the lines above in the consumer's cache"
    targets=$(cmake --build "$build" --target help)
    ! grep -qE 'signature-check|vpn-client|network-tests|example-|client-benchmark' <<<"$targets" ||
        fail "$way: more than the client is configured: $targets"
    cmake --build "$build" -j"$(nproc)" >>"$work/$way.log" 2>&1 || fail "$way: the build failed: $(cat "$work/$way.log")"
    printed=$("$build/consumer" "$local_server_url")
    [ "$printed" = "$expected" ] || fail "$way: the consumer printed: $printed"
    echo "subproject: $way builds the client alone and the consumer runs"
done
