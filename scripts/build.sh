#!/usr/bin/env bash
# Installs the dependencies and builds everything into build/ (or $BUILD_DIR).
# Extra arguments go to the CMake configure step.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$root/build}

bash "$here/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
