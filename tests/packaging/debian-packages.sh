#!/usr/bin/env bash
# Builds the Debian packages of the build tree BUILD with cpack, checks
# their names, dependencies and copyright files, unpacks them into a
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
