#!/usr/bin/env bash
# The client tests of the everyday build (build/) under valgrind's memcheck,
# which must find no error and no definitely lost byte; then the whole suite
# under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/) and under
# ThreadSanitizer (build-tsan/). Installs and builds what it needs.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

echo "test-sanitizers: valgrind memcheck on the client tests"
bash "$here/build.sh"
valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=9 \
    "$root/build/tests/network-tests" --gtest_brief=1

for flavour in asan:address,undefined tsan:thread; do
    name=${flavour%%:*} sanitizers=${flavour#*:}
    echo "test-sanitizers: $name"
    BUILD_DIR="$root/build-$name" bash "$here/build.sh" -DSANITIZE="$sanitizers" -DCMAKE_BUILD_TYPE=Debug
    ctest --test-dir "$root/build-$name" -j"$(nproc)" --timeout 300 --output-on-failure
done
