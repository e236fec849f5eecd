#!/usr/bin/env bash
# Builds the client's API reference into build/reference/html (or under
# $BUILD_DIR) with Doxygen, and fails, naming each one, when a public
# declaration of the client has no documentation comment. Takes a few
# seconds; CI runs it. Open build/reference/html/index.html to read it.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD_TARGETS=tandrel-reference bash "$here/build.sh"
echo "build-reference: ${BUILD_DIR:-$(cd "$here/.." && pwd)/build}/reference/html/index.html"
