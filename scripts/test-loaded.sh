#!/usr/bin/env bash
# The whole suite repeated on a loaded machine, to find tests that depend on
# timing: RUNS rounds (default 10) of ctest with twice as many jobs as cores,
# beside stress-ng keeping every core busy. Each round runs every build tree
# given (default build/; build-asan and build-tsan are the sanitizer
# presets'), which must be built already. Prints each round's failures and
# a summary per test; exits 1 if any test failed even once.
# Usage: test-loaded.sh [RUNS [BUILD...]]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
runs=${1:-10}
shift || true
builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=("$root/build")

if ! command -v stress-ng >/dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get install -y -qq --no-install-recommends stress-ng >/dev/null
fi

work=$(mktemp -d)
cores=$(nproc)
# A hog for every core, ending by itself after a day should this script be killed.
stress-ng --cpu "$cores" --timeout 86400 --quiet &
hog=$!
trap 'kill "$hog" 2>/dev/null; wait "$hog" 2>/dev/null; rm -rf "$work"' EXIT

start=$SECONDS
for round in $(seq 1 "$runs"); do
    for build in "${builds[@]}"; do
        log=$work/round-$round-$(basename "$build").log
        ctest --test-dir "$build" -j"$((2 * cores))" --timeout 300 --output-on-failure >"$log" 2>&1 || true
        # ctest lists the failed tests as "  NN - Name (Failed)" at its end.
        failed=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Failed\|Timeout\|SEGFAULT\|Subprocess aborted\|Exception\))$/\1/p' "$log")
        summary=$(grep -E '^[0-9]+% tests passed' "$log" || echo "ctest gave no summary")
        echo "round $round, $(basename "$build"): $summary"
        if [ -n "$failed" ]; then
            echo "$failed" | sed 's/^/    failed: /'
            echo "$failed" | sed "s|^|$(basename "$build"): |" >>"$work/failures"
            cp "$log" "${TMPDIR:-/tmp}/test-loaded-round-$round-$(basename "$build").log"
        fi
    done
done

echo "test-loaded: $runs rounds of ${#builds[@]} build(s) beside $cores CPU hogs in $((SECONDS - start)) s"
if [ -s "$work/failures" ]; then
    echo "test-loaded: failures (count, build: test); the logs are in ${TMPDIR:-/tmp}/test-loaded-round-*.log"
    sort "$work/failures" | uniq -c | sort -rn
    exit 1
fi
echo "test-loaded: no test failed"
