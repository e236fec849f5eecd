#!/usr/bin/env bash
# Installs, builds and runs the whole test suite.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$root/build}

bash "$here/build.sh"
ctest --test-dir "$build" -j"$(nproc)" --timeout 300 --output-on-failure
