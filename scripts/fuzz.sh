#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan+UBSan into build-fuzz/
# and runs each for SECONDS (default 60) on a scratch copy of its seed corpus
# (fuzz/corpus/<name>/). Findings land in build-fuzz/findings/. Not part of CI.
#
#   usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
build=$root/build-fuzz
seconds=${1:-60}

bash "$here/install-deps.sh"
for p in clang libclang-rt-14-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$p"
done

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DTANDREL_FUZZ=ON -DTANDREL_SANITIZE=address,undefined \
    -DTANDREL_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target UrlFuzzer FormFieldsFuzzer HeadersFuzzer SinksFuzzer

mkdir -p "$build/findings"
failed=0
for pair in Url:url FormFields:form-fields Headers:headers Sinks:sinks; do
    target=${pair%%:*} corpus=${pair#*:}
    scratch=$(mktemp -d)
    cp -r "$root/fuzz/corpus/$corpus/." "$scratch/"
    log="$build/findings/$corpus.log"
    if "$build/fuzz/${target}Fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/findings/$corpus-" "$scratch" > "$log" 2>&1; then
        echo "fuzz: $target: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs, no finding"
    else
        echo "fuzz: $target: FINDING, see $log"
        failed=1
    fi
    rm -rf "$scratch"
done
exit "$failed"
