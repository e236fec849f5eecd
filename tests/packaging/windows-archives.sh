#!/usr/bin/env bash
# The Windows release as a user gets it, under Wine (the prefix in
# $WINEPREFIX, as scripts/test-windows.sh sets it up): makes both archives
# of the Windows build BUILD with cpack and checks their contents; unpacks
# the tool's into a fresh directory, checks the signature of its
# signature-check.exe with osslsigncode and its version resource and
# manifest with the probe, runs it to its first exit (no session), then
# with the stand-ins to a VALID verdict; builds the consumer project against
# the unpacked development archive with the cross compiler and runs it.
# Usage: windows-archives.sh BUILD PROBE VPN_CLIENT CHECKER SIGNED_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$1 probe=$2 vpn_client=$3 checker=$4 signed=$5
wine=/usr/lib/wine/wine64
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
# shellcheck source=../../standins/start.sh
source "$root/standins/start.sh"
trap 'stop_standins; rm -rf "$work"' EXIT

fail() { echo "windows-archives: $*" >&2; exit 1; }
# Wine's console programs end lines with CR LF.
unix_text() { tr -d '\r' <"$1"; }

cpack --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
    fail "cpack failed: $(cat "$work/cpack.log")"
tool_zip=$work/packages/signature-check-$version-win64.zip
dev_zip=$work/packages/tandrel-$version-win64-dev.zip
debug_zip=$work/packages/signature-check-$version-win64-debug.zip
[ -f "$tool_zip" ] && [ -f "$dev_zip" ] && [ -f "$debug_zip" ] || fail "cpack made: $(ls "$work/packages")"

# unpack ZIP DIR: unpacks ZIP into the new directory DIR.
unpack() { mkdir "$2" && (cd "$2" && cmake -E tar xf "$1"); }

# --- the tool's archive ------------------------------------------------------
unpack "$tool_zip" "$work/tool"
tool_dir=$work/tool/signature-check-$version-win64
listing=$(cd "$work/tool" && find . -type f | sort | sed "s|^./signature-check-$version-win64/||" | tr '\n' ' ')
[ "$listing" = "README.txt USAGE.txt licenses/boost.txt licenses/gcc-runtime.txt licenses/libcurl.txt licenses/mingw-w64-runtime.txt licenses/nghttp2.txt licenses/signature-check.txt signature-check.exe " ] ||
    fail "the tool's archive holds: $listing"
grep -q $'^signature-check, version '"$version"$'\r$' "$tool_dir/USAGE.txt" || fail "USAGE.txt lacks its title or CR LF line ends"
grep -q $'^signature-check '"$version"$' for Windows\r$' "$tool_dir/README.txt" && grep -q 'CheckSign.exe' "$tool_dir/README.txt" ||
    fail "README.txt is not the users' one: $(head -n 3 "$tool_dir/README.txt")"
[ "$(unix_text "$tool_dir/licenses/signature-check.txt")" = "$(cat "$root/LICENSE")" ] || fail "the archive lacks the MIT licence"
grep -q 'COPYRIGHT AND PERMISSION NOTICE' "$tool_dir/licenses/libcurl.txt" && grep -q 'Boost Software License' "$tool_dir/licenses/boost.txt" ||
    fail "the licence notices are not those of libcurl and Boost"

# Stripped, naming its debug information, which the debug archive holds.
sections() { x86_64-w64-mingw32-objdump -h "$1" | awk '{print $2}'; }
! sections "$tool_dir/signature-check.exe" | grep -q '^\.debug_' || fail "the archive's exe holds debug information"
sections "$tool_dir/signature-check.exe" | grep -qx '\.gnu_debuglink' || fail "the archive's exe names no debug file"
unpack "$debug_zip" "$work/debug"
debug_file=$work/debug/signature-check-$version-win64-debug/signature-check.exe.debug
[ -f "$debug_file" ] && sections "$debug_file" | grep -qx '\.debug_info' || fail "the debug archive lacks the debug information"
echo "windows-archives: signature-check.exe is stripped ($(stat -c %s "$tool_dir/signature-check.exe") bytes), its debug information in the debug archive"

osslsigncode verify -CAfile "$build/release-signing/ca.pem" -in "$tool_dir/signature-check.exe" >"$work/verify" 2>&1 ||
    fail "the signature does not verify: $(cat "$work/verify")"
grep -q 'Test Release Signer' "$work/verify" || fail "not signed by the release certificate: $(cat "$work/verify")"
echo "windows-archives: signature-check.exe is signed and its signature verifies"

(cd "$tool_dir" && "$wine" "$probe" version signature-check.exe) >"$work/version" 2>&1 ||
    fail "the probe failed: $(cat "$work/version")"
for line in "Fixed: $version.0" "ProductName: signature-check" "ProductVersion: $version" "FileVersion: $version" \
    "OriginalFilename: signature-check.exe" "LegalCopyright: $(grep '^Copyright ' "$root/LICENSE")" 'level="asInvoker"' '>true</longPathAware>' \
    '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}' '>UTF-8</activeCodePage>'; do
    unix_text "$work/version" | grep -qF -- "$line" || fail "no '$line' in what Windows reads:"$'\n'"$(cat "$work/version")"
done
echo "windows-archives: version $version and the manifest read through the Win32 API"

# run NAME: runs the unpacked tool with a key for its pause; its console
# goes to $work/NAME.out and .err, the probe's exit code ends the .out
# (after Wine's pause prompt, which has no line end).
# run NAME [DIR]: runs the tool in DIR (the unpacked folder by default).
run() {
    (cd "${2:-$tool_dir}" && printf '\n' | "$wine" "$probe" run signature-check.exe) >"$work/$1.out" 2>"$work/$1.err" ||
        fail "the probe failed: $(cat "$work/$1.err")"
}
exit_code() { unix_text "$work/$1.out" | tail -n 1 | grep -o 'exit 0x[0-9A-F]*$'; }

run first
[ "$(exit_code first)" = "exit 0xFFFFFFFA" ] || fail "first run: $(cat "$work/first.out")"
[ "$(unix_text "$work/first.err")" = "Please login first" ] || fail "first run wrote to stderr: $(cat "$work/first.err")"
echo "windows-archives: the unpacked tool ends with 0xFFFFFFFA and 'Please login first' without a session"

# With the stand-ins: the gateway publishing the signed installer, the VPN
# client logged in, the checker and its trust anchor beside the tool.
mkdir -p "$work/gateway/com/win"
cp "$signed/TandrelUD.exe" "$work/gateway/com/win/"
start_standin gateway '^port ' \
    python3 "$root/standins/gateway/gateway.py" --workdir "$work" --root "$work/gateway" --exit-on-eof
port=$(sed -n 's/^port //p' "$work/gateway-output")
# A relative --install path: Wine maps the current directory, not Unix paths.
start_standin client ready "$wine" "$vpn_client" --install client --address 127.0.0.1 --port "$port"
cp "$checker" "$tool_dir/CheckSign.exe"
cp "$signed/ca.pem" "$tool_dir/CheckSign.ca.pem"

run second
unix_text "$work/second.out" | grep -q '^VALID	"TandrelUD.exe"	127.0.0.1\\TandrelUD.exe$' ||
    fail "no VALID verdict: $(cat "$work/second.out" "$work/second.err")"
[ "$(exit_code second)" = "exit 0x00000000" ] || fail "second run: $(cat "$work/second.out")"
cmp -s "$signed/TandrelUD.exe" "$tool_dir/127.0.0.1/TandrelUD.exe" || fail "the download differs from the installer"
echo "windows-archives: the unpacked tool judges the gateway's installer VALID"

# In folders whose names the prefix's ANSI code page (1252) cannot hold.
for folder in "測試/工具" "ИнСтр"; do
    mkdir -p "$work/$folder"
    cp "$tool_dir/signature-check.exe" "$tool_dir/CheckSign.exe" "$tool_dir/CheckSign.ca.pem" "$work/$folder/"
    run named "$work/$folder"
    unix_text "$work/named.out" | grep -q '^VALID	"TandrelUD.exe"	127.0.0.1\\TandrelUD.exe$' ||
        fail "no VALID verdict in $folder: $(cat "$work/named.out" "$work/named.err")"
done
echo "windows-archives: the tool judges VALID in a CJK and in a Cyrillic folder"

# --- the client's development archive ---------------------------------------
dev_dir=$work/dev
unpack "$dev_zip" "$dev_dir"
for file in include/tandrel/network/NetworkRequest.h lib/libtandrel.a lib/cmake/tandrel/tandrelConfig.cmake \
    share/doc/libtandrel-dev/LICENSE.txt; do
    [ -f "$dev_dir/$file" ] || fail "the development archive lacks $file"
done
! find "$dev_dir" -name '*.exe' -o -name '*.dll' -o -path '*privacy*' | grep -q . ||
    fail "the development archive holds programs or private headers"
deps=$(sed -n 's/^WINDOWS_DEPS_PREFIX:PATH=//p' "$build/CMakeCache.txt")
cmake -S "$here/consumer" -B "$work/consumer" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DWINDOWS_DEPS_PREFIX="$deps" -DCMAKE_PREFIX_PATH="$dev_dir" \
    -DTANDREL_TARGET=tandrel::network-static >"$work/consumer.log" 2>&1 &&
    cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || fail "the consumer does not build: $(cat "$work/consumer.log")"
# It fetches a file from the gateway started above.
printf 'hello from the local server' >"$work/gateway/hello.txt"
(cd "$work/consumer" && "$wine" consumer.exe "https://127.0.0.1:$port/hello.txt") >"$work/consumer.out" 2>&1 || fail "the consumer failed: $(cat "$work/consumer.out")"
[ "$(unix_text "$work/consumer.out")" = "$(cat "$here/consumer/expected.txt")" ] ||
    fail "the consumer printed: $(cat "$work/consumer.out")"
echo "windows-archives: the consumer builds against the development archive and runs"
