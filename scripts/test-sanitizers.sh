#!/usr/bin/env bash
# The client tests of the everyday build (build/) under valgrind's memcheck,
# which must find no error and no definitely lost byte; then the whole suite
# under AddressSanitizer + UndefinedBehaviorSanitizer and under
# ThreadSanitizer, built with the asan and tsan presets (build-asan/,
# build-tsan/). Installs and builds what it needs.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
cd "$root"

echo "test-sanitizers: valgrind memcheck on the client tests"
bash "$here/build.sh"
valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=9 \
    "$root/build/tests/network-tests" --gtest_brief=1

for preset in asan tsan; do
    echo "test-sanitizers: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$(nproc)"
    ctest --preset "$preset" -j"$(nproc)"
done
