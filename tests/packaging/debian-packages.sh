#!/usr/bin/env bash
# Builds the Debian packages of the build tree BUILD with cpack, checks
# their names, versions, dependencies and copyright files, unpacks them into a
# temporary root, runs the unpacked tool from /usr/lib/signature-check to
# its first exit (no logged-in session), checks the launcher in /usr/bin,
# and builds the consumer project against the unpacked development files.
# Usage: debian-packages.sh BUILD
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "debian-packages: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/packages" >/dev/null
shopt -s nullglob
debs=("$work"/packages/*.deb)
[ ${#debs[@]} = 3 ] || fail "expected 3 packages, cpack made: ${debs[*]##*/}"

# depends PACKAGE PATTERN...: the package's Depends field matches every pattern.
depends() {
    local deb field pattern
    deb=$(echo "$work"/packages/"$1"_*.deb)
    [ -f "$deb" ] || fail "no package $1"
    field=$(dpkg-deb -f "$deb" Depends)
    for pattern in "${@:2}"; do
        grep -qE "$pattern" <<<"$field" || fail "$1 does not depend on /$pattern/: $field"
    done
    dpkg-deb -x "$deb" "$work/root"
}
depends libtandrel1 'libcurl4 \(>=' 'libstdc\+\+6'
depends libtandrel-dev 'libtandrel1 \(= 1\.0\.0\)' 'libcurl4-openssl-dev'
depends signature-check 'libcurl4 \(>=' 'libboost-filesystem1\.74\.0' 'libstdc\+\+6'

# The client's packages carry the client's version, the tool's the tool's;
# one run of the client's alone takes the client's version, and a run that
# mixes them while the versions differ stops.
client_version=$(sed -n 's/^#define TANDREL_VERSION_STRING "\(.*\)"$/\1/p' "$build/src/network/generated/network/Version.h")
tool_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
for package in libtandrel1:$client_version libtandrel-dev:$client_version signature-check:$tool_version; do
    version=$(dpkg-deb -f "$work"/packages/"${package%%:*}"_*.deb Version)
    [ "$version" = "${package#*:}" ] || fail "${package%%:*} has version $version, not ${package#*:}"
done
cpack --config "$build/CPackConfig.cmake" -B "$work/client" -D CPACK_COMPONENTS_ALL='runtime;dev' \
    -D CPACK_TANDREL_VERSION=9.8.7 >"$work/client.log" 2>&1 || fail "the client's own run failed: $(cat "$work/client.log")"
[ -f "$work"/client/libtandrel1_9.8.7_*.deb ] && [ "$(dpkg-deb -f "$work"/client/libtandrel-dev_9.8.7_*.deb Depends)" = \
    'libtandrel1 (= 9.8.7), libcurl4-openssl-dev | libcurl-dev' ] || fail "the client's own run made: $(ls "$work/client")"
! cpack --config "$build/CPackConfig.cmake" -B "$work/mixed" -D CPACK_TANDREL_VERSION=9.8.7 >"$work/mixed.log" 2>&1 &&
    grep -q 'need a cpack' "$work/mixed.log" || fail "a mixed run of two versions did not stop: $(cat "$work/mixed.log")"

root=$work/root
# Each package's copyright file names the licence and holds LICENSE's terms.
terms=$(sed -n '/^Permission is hereby granted/,$p' "$here/../../LICENSE")
for package in libtandrel1 libtandrel-dev signature-check; do
    copyright=$root/usr/share/doc/$package/copyright
    [ -f "$copyright" ] || fail "$package has no copyright file"
    grep -qx 'Comment: SPDX-License-Identifier: MIT' "$copyright" && grep -qx 'License: Expat' "$copyright" ||
        fail "$package's copyright file names no MIT licence: $(cat "$copyright")"
    [ "$(sed -n '/^License: /,$p' "$copyright" | tail -n +2 | sed 's/^ //; s/^\.$//')" = "$terms" ] ||
        fail "$package's copyright file lacks the licence terms: $(cat "$copyright")"
done

tool=$root/usr/lib/signature-check/signature-check
[ -x "$tool" ] || fail "the tool is not in /usr/lib/signature-check"
set +e
WIN32_STANDIN_ROOT=$work/machine "$tool" </dev/null >"$work/out" 2>"$work/err"
status=$?
set -e
[ $status = 250 ] || fail "the unpacked tool ended with $status, not 250 (-6):"$'\n'"$(cat "$work/out" "$work/err")"
[ "$(cat "$work/err")" = "Please login first" ] || fail "the unpacked tool wrote to stderr: $(cat "$work/err")"
echo "debian-packages: the unpacked tool ends with -6 without a session"

# /usr/bin has only the launcher, which names the tool's place and runs nothing.
set +e
"$root/usr/bin/signature-check" >"$work/out" 2>"$work/err"
status=$?
set -e
[ $status = 2 ] && [ ! -s "$work/out" ] && grep -qF "installed as $root/usr/lib/signature-check/signature-check." "$work/err" ||
    fail "the launcher ended with $status and said: $(cat "$work/out" "$work/err")"

bash "$here/consume.sh" "$root/usr" "$here/consumer" "$work"
