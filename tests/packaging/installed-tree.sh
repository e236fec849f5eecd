#!/usr/bin/env bash
# Installs the build tree BUILD into a temporary prefix, checks what lands
# where, and builds the consumer project against it.
# Usage: installed-tree.sh BUILD
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "installed-tree: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

for file in lib/signature-check/signature-check bin/signature-check include/tandrel/network/NetworkRequest.h lib/libtandrel.a \
    lib/libtandrel.so lib/libtandrel.so.1 lib/cmake/tandrel/tandrelConfig.cmake \
    lib/pkgconfig/tandrel.pc share/doc/signature-check/README.md share/doc/libtandrel-dev/docs/client.md share/doc/libtandrel-dev/examples/blocking-get.cpp \
    share/doc/libtandrel1/copyright share/doc/libtandrel-dev/copyright share/doc/signature-check/copyright; do
    [ -e "$prefix/$file" ] || fail "missing $file"
done
grep -qx '# SPDX-License-Identifier: MIT' "$prefix/lib/cmake/tandrel/tandrelConfig.cmake" ||
    fail "the CMake package names no licence"
[ ! -e "$prefix/include/tandrel/network/privacy" ] || fail "the private headers were installed"
soname=$(objdump -p "$prefix/lib/libtandrel.so" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libtandrel.so.1 ] || fail "SONAME is '$soname'"

bash "$here/consume.sh" "$prefix" "$here/consumer" "$work"
