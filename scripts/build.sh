#!/usr/bin/env bash
# Installs the dependencies and builds everything into build/ (or $BUILD_DIR),
# or only the targets named in $BUILD_TARGETS. Extra arguments go to the
# CMake configure step.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$root/build}

bash "$here/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "$@" >/dev/null
# shellcheck disable=SC2086 # the targets are words
cmake --build "$build" -j"$(nproc)" ${BUILD_TARGETS:+--target $BUILD_TARGETS}
