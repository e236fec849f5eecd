#!/usr/bin/env bash
# Installs every Debian package the Linux build, the tests (packaging ones
# included: cpack's dpkg-shlibdeps, pkg-config), the format check, the demo,
# the client benchmark (nginx, which it starts itself, and strace, which
# counts the download's writes) and the API reference (doxygen) need.
# Runs as root on a fresh Debian 12 machine; packages already present are skipped.
set -euo pipefail

packages=(
    build-essential cmake pkg-config dpkg-dev clang-format clang-tidy
    libcurl4-openssl-dev
    libboost-dev libboost-filesystem-dev libboost-system-dev
    googletest libgtest-dev
    openssl osslsigncode curl python3 python3-h2 valgrind strace
    nginx doxygen
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
