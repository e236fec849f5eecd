#!/usr/bin/env bash
# Builds and runs the consumer project against the client installed under
# PREFIX, the three ways a user would link it: find_package with the shared
# and with the static library, and pkg-config, each run against a local
# HTTPS server. Every build happens in WORK.
# Usage: consume.sh PREFIX CONSUMER_SOURCE WORK
set -euo pipefail
prefix=$1 source=$2 work=$3
# shellcheck source=local-server.sh
source "$(dirname "${BASH_SOURCE[0]}")/local-server.sh"
trap stop_standins EXIT
start_local_server

expected=$(cat "$source/expected.txt")

fail() { echo "consume: $*" >&2; exit 1; }

# check NAME OUTPUT: the consumer printed what it should.
check() {
    [ "$2" = "$expected" ] || fail "$1 printed:"$'\n'"$2"
    echo "consume: $1 ok"
}

libdir=$(find "$prefix" -name 'libtandrel.so.1' -printf '%h\n' -quit)
[ -n "$libdir" ] || fail "no libtandrel.so.1 under $prefix"

for target in tandrel::network tandrel::network-static; do
    build=$work/cmake-${target#tandrel::}
    cmake -S "$source" -B "$build" -DCMAKE_PREFIX_PATH="$prefix" -DTANDREL_TARGET="$target" >/dev/null
    found=$(sed -n 's/^tandrel_DIR:PATH=//p' "$build/CMakeCache.txt")
    case "$found" in "$prefix"/*) ;; *) fail "find_package found the client at '$found', not under $prefix" ;; esac
    cmake --build "$build" >/dev/null
    linked=$(ldd "$build/consumer" | grep -c libtandrel || true)
    if [ "$target" = tandrel::network ]; then
        [ "$linked" = 1 ] || fail "$target: the consumer does not load libtandrel.so"
    else
        [ "$linked" = 0 ] || fail "$target: the consumer loads libtandrel.so"
    fi
    check "find_package, $target" "$("$build/consumer" "$local_server_url")"
done

pcdir=$(find "$prefix" -name tandrel.pc -printf '%h\n' -quit)
[ -n "$pcdir" ] || fail "no tandrel.pc under $prefix"
export PKG_CONFIG_PATH=$pcdir
[ "$(pkg-config --modversion tandrel)" = 1.0.0 ] || fail "pkg-config reports version $(pkg-config --modversion tandrel)"
# shellcheck disable=SC2046  # the flags are meant to split into words
g++ -std=c++17 -o "$work/pkg-config-consumer" "$source/main.cpp" $(pkg-config --cflags --libs tandrel)
check "pkg-config" "$(LD_LIBRARY_PATH=$libdir "$work/pkg-config-consumer" "$local_server_url")"
