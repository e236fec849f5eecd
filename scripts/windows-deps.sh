#!/usr/bin/env bash
# Sets up the Windows cross build on Debian 12 and prints the dependency
# prefix on standard output (progress goes to standard error):
#
#   prefix=$(bash scripts/windows-deps.sh)
#
# 1. Installs mingw-w64 (posix thread model, which alone gives std::thread,
#    std::mutex and std::future) and 64-bit Wine from Debian's packages.
# 2. Cross-builds, from Debian's own source packages, a static nghttp2 and a
#    static libcurl with it (Schannel TLS, HTTP and HTTPS only, HTTP/2),
#    Boost 1.81's headers and a static Boost.Filesystem, and from Debian's
#    googletest package static GoogleTest. The licence texts of libcurl,
#    nghttp2 and Boost go to share/licenses/ for the release archive.
#    To fetch the sources it adds deb-src entries for the same archive in a
#    file of its own under /etc/apt/sources.list.d/, runs apt-get source
#    --download-only, and removes that file again, whatever happens.
#
# The result is cached in $WINDOWS_DEPS_CACHE (default
# /var/cache/signature-check/windows-deps), in a directory named after the
# versions of everything that goes into it; a later run with the same
# versions only checks that the directory is there. Runs as root.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
toolchain="$root/cmake/mingw-w64.cmake"
cache=${WINDOWS_DEPS_CACHE:-/var/cache/signature-check/windows-deps}
host=x86_64-w64-mingw32
jobs=$(nproc)
# Raise when the recipe below changes, so that older builds are not reused.
recipe=4

log() { echo "windows-deps: $*" >&2; }
started=$SECONDS
took() { log "$1 ($((SECONDS - started)) s so far)"; }

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive

# --- packages ---------------------------------------------------------------
packages=(
    gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix
    wine wine64
    cmake make xz-utils patch googletest
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    took "packages installed"
fi

# --- versions: the cache key --------------------------------------------------
# The source versions are those of binary packages built from them, so the
# key can be had from the ordinary package lists, without deb-src entries.
source_version() { # BINARY-PACKAGE SOURCE-PACKAGE
    local version
    version=$(apt-cache show --no-all-versions "$1" 2>/dev/null |
        sed -n "s/^Source: $2 (\(.*\))$/\1/p; s/^Version: //p" | tail -n 1)
    [ -n "$version" ] || { log "no version of $2 known to apt (is apt-get update needed?)"; exit 1; }
    echo "$version"
}
# Package lists that know nothing of the packages are fetched first.
apt-cache show --no-all-versions libboost1.81-dev >/dev/null 2>&1 || "${sudo[@]}" apt-get update -qq
curl_version=$(source_version libcurl4-openssl-dev curl)
nghttp2_version=$(source_version libnghttp2-dev nghttp2)
boost_version=$(source_version libboost1.81-dev boost1.81)
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
gcc_version=$(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)
key="curl-$curl_version.nghttp2-$nghttp2_version.boost-$boost_version.googletest-$gtest_version.mingw-$gcc_version.r$recipe"
prefix="$cache/$key"

"${sudo[@]}" mkdir -p "$cache"
# One build at a time: a second run waits, then finds the first one's result.
exec 9>"$cache/.lock"
flock -w 1800 9 || { log "another build held $cache/.lock for 30 minutes"; exit 1; }

if [ -f "$prefix/.complete" ]; then
    log "cached: $prefix"
    echo "$prefix"
    exit 0
fi

work=$(mktemp -d "$cache/.build.XXXXXX")
staging="$work/prefix"
src_list=/etc/apt/sources.list.d/signature-check-windows-deps.sources
cleanup() {
    if [ -e "$src_list" ]; then
        "${sudo[@]}" rm -f "$src_list"
        "${sudo[@]}" apt-get update -qq || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$staging/include" "$staging/lib"

# --- sources ----------------------------------------------------------------
# deb-src entries for the archive the binary entries use.
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources
else
    cat <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
fi | "${sudo[@]}" tee "$src_list" >/dev/null
# Only the new entries are fetched; the other lists stay as they are.
"${sudo[@]}" apt-get update -qq -o Dir::Etc::sourcelist="$src_list" -o Dir::Etc::sourceparts=- \
    -o APT::Get::List-Cleanup=0
mkdir -p "$work/src"
if ! (cd "$work/src" && "${sudo[@]}" apt-get source -qq --download-only -o APT::Sandbox::User=root \
        "curl=$curl_version" "nghttp2=$nghttp2_version" "boost1.81=$boost_version" >&2); then
    log "blocked: the archive did not hand out the source packages curl=$curl_version, nghttp2=$nghttp2_version and boost1.81=$boost_version"
    exit 1
fi
"${sudo[@]}" rm -f "$src_list"
"${sudo[@]}" apt-get update -qq
took "sources fetched"

# Applies the Debian patches of a source package (quilt series in
# DEBIAN_TAR) that change only files below the given directories: the
# security fixes to the code we build, not packaging or test changes.
apply_debian_patches() { # DEBIAN_TAR SOURCE_DIR REGEX-OF-PATHS
    local patches="$work/$(basename "$1").patches" p targets
    mkdir -p "$patches"
    tar -xJf "$1" -C "$patches" debian/patches
    while read -r p; do
        p=${p%%#*}
        [ -n "$p" ] || continue
        targets=$(sed -n 's/^+++ [^/]*\/\([^[:space:]]*\).*/\1/p' "$patches/debian/patches/$p")
        [ -n "$targets" ] && ! grep -qvE "$3" <<<"$targets" || continue
        patch -s -p1 -d "$2" <"$patches/debian/patches/$p" ||
            { log "Debian patch $p does not apply"; exit 1; }
    done <"$patches/debian/patches/series"
}

# Configures, builds and installs into the staging tree the CMake project in
# SOURCE for the target, with the further cache settings given; its output
# goes to NAME.log, whose end is shown if it fails.
cmake_build() { # NAME SOURCE [CMAKE-ARGUMENTS...]
    local name=$1 source=$2
    shift 2
    if ! { cmake -S "$source" -B "$work/$name-build" -Wno-dev \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DWINDOWS_DEPS_PREFIX="$staging" \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$staging" "$@" &&
         cmake --build "$work/$name-build" -j "$jobs" &&
         cmake --install "$work/$name-build"; } >"$work/$name.log" 2>&1; then
        tail -n 40 "$work/$name.log" >&2
        log "$name build failed"
        exit 1
    fi
}

# --- nghttp2, libcurl's HTTP/2 ------------------------------------------------
mkdir -p "$work/nghttp2"
tar -xf "$(ls "$work/src"/nghttp2_*.orig.tar.*)" -C "$work/nghttp2" --strip-components=1
apply_debian_patches "$work/src"/nghttp2_*.debian.tar.xz "$work/nghttp2" '^lib/.*\.[ch]$'
install -D -m 644 "$work/nghttp2/COPYING" "$staging/share/licenses/nghttp2/COPYING"
cmake_build nghttp2 "$work/nghttp2" -DENABLE_LIB_ONLY=ON -DENABLE_STATIC_LIB=ON -DENABLE_SHARED_LIB=OFF
took "nghttp2 $nghttp2_version built"

# --- libcurl ----------------------------------------------------------------
# HAS_ALPN: libcurl 7.88 offers ALPN over Schannel, and with it HTTP/2, only
# when built by MSVC; mingw-w64's headers have what it needs too.
mkdir -p "$work/curl"
tar -xzf "$work/src"/curl_*.orig.tar.gz -C "$work/curl" --strip-components=1
apply_debian_patches "$work/src"/curl_*.debian.tar.xz "$work/curl" '^(lib|include)/.*\.[ch]$'
# Programs linked with it carry its licence notice.
install -D -m 644 "$work/curl/COPYING" "$staging/share/licenses/curl/COPYING"
cmake_build libcurl "$work/curl" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_WINDOWS_SSPI=OFF \
    -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DENABLE_UNIX_SOCKETS=OFF \
    -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF \
    -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF \
    -DUSE_NGHTTP2=ON -DNGHTTP2_INCLUDE_DIR="$staging/include" \
    -DNGHTTP2_LIBRARY="$staging/lib/libnghttp2.a" -DCMAKE_C_FLAGS="-DNGHTTP2_STATICLIB -DHAS_ALPN=1" \
    -DENABLE_THREADED_RESOLVER=ON
# The package names nghttp2 by its path in the staging tree, which moves.
sed -i "s|$staging|\${_IMPORT_PREFIX}|g" "$staging"/lib/cmake/CURL/CURLTargets*.cmake
took "libcurl $curl_version built"

# --- Boost ------------------------------------------------------------------
# The source has no top-level boost/ folder: each library keeps its headers
# under libs/<name>/include/boost, so those are merged into one tree. Of the
# compiled libraries only Filesystem is needed (System is header-only).
mkdir -p "$work/boost"
tar -xJf "$work/src"/boost1.81_*.orig.tar.xz -C "$work/boost" --strip-components=1 --wildcards \
    'boost/libs/*/include/boost/*' 'boost/libs/filesystem/src/*' 'boost/LICENSE_1_0.txt'
install -D -m 644 "$work/boost/LICENSE_1_0.txt" "$staging/share/licenses/boost/LICENSE_1_0.txt"
apply_debian_patches "$work/src"/boost1.81_*.debian.tar.xz "$work/boost" \
    '^libs/([a-z0-9_]+/)+include/boost/|^libs/filesystem/src/'
find "$work/boost/libs" -type d -path '*/include/boost' -prune -print0 |
    xargs -0 -I{} cp -R {} "$staging/include/"
mkdir -p "$work/boost-obj"
for source in "$work/boost/libs/filesystem/src"/*.cpp; do
    echo "$source"
done | xargs -P "$jobs" -I{} sh -c '
    "$0" -std=c++17 -O2 -DNDEBUG -w -I"$1/include" -DBOOST_FILESYSTEM_SOURCE -DBOOST_FILESYSTEM_STATIC_LINK=1 \
        -DBOOST_FILESYSTEM_NO_CXX20_ATOMIC_REF -c "{}" -o "$2/$(basename "{}" .cpp).o"' \
    "$host-g++-posix" "$staging" "$work/boost-obj"
"$host-ar" rcs "$staging/lib/libboost_filesystem.a" "$work/boost-obj"/*.o
boost_dotted=$(sed -n 's/^#define BOOST_LIB_VERSION "\([0-9]*\)_\([0-9]*\)"/\1.\2.0/p' "$staging/include/boost/version.hpp")
mkdir -p "$staging/lib/cmake/Boost-$boost_dotted"
cat >"$staging/lib/cmake/Boost-$boost_dotted/BoostConfig.cmake" <<'EOF'
# Boost cross-built by scripts/windows-deps.sh: all headers, static
# Filesystem; System, DLL, Process and Exception are header-only.
get_filename_component(_boost_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(Boost_INCLUDE_DIRS "${_boost_prefix}/include")
if(NOT TARGET Boost::headers)
    add_library(Boost::headers INTERFACE IMPORTED)
    set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${Boost_INCLUDE_DIRS}")
    add_library(Boost::boost INTERFACE IMPORTED)
    set_target_properties(Boost::boost PROPERTIES INTERFACE_LINK_LIBRARIES Boost::headers)
    add_library(Boost::system INTERFACE IMPORTED)
    set_target_properties(Boost::system PROPERTIES INTERFACE_LINK_LIBRARIES Boost::headers)
    add_library(Boost::filesystem STATIC IMPORTED)
    set_target_properties(Boost::filesystem PROPERTIES
        IMPORTED_LOCATION "${_boost_prefix}/lib/libboost_filesystem.a"
        INTERFACE_LINK_LIBRARIES "Boost::headers;bcrypt")
endif()
foreach(_boost_component IN LISTS Boost_FIND_COMPONENTS)
    if(TARGET Boost::${_boost_component})
        set(Boost_${_boost_component}_FOUND TRUE)
    else()
        set(Boost_${_boost_component}_FOUND FALSE)
        if(Boost_FIND_REQUIRED_${_boost_component})
            set(Boost_FOUND FALSE)
            set(Boost_NOT_FOUND_MESSAGE "Boost component ${_boost_component} was not built")
        endif()
    endif()
endforeach()
EOF
cat >"$staging/lib/cmake/Boost-$boost_dotted/BoostConfigVersion.cmake" <<EOF
set(PACKAGE_VERSION $boost_dotted)
if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)
    set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
    set(PACKAGE_VERSION_COMPATIBLE TRUE)
    if(PACKAGE_FIND_VERSION STREQUAL PACKAGE_VERSION)
        set(PACKAGE_VERSION_EXACT TRUE)
    endif()
endif()
EOF
took "Boost $boost_version built"

# --- GoogleTest -------------------------------------------------------------
cmake_build GoogleTest /usr/src/googletest -DBUILD_GMOCK=OFF
took "GoogleTest $gtest_version built"

printf 'curl %s\nnghttp2 %s\nboost1.81 %s\ngoogletest %s\ng++-mingw-w64-x86-64-posix %s\n' \
    "$curl_version" "$nghttp2_version" "$boost_version" "$gtest_version" "$gcc_version" >"$staging/VERSIONS"
touch "$staging/.complete"
# Appears whole or not at all, so an interrupted build is never taken for done.
rm -rf "$prefix"
mv "$staging" "$prefix"
log "built in $((SECONDS - started)) s: $prefix"
echo "$prefix"
