#!/usr/bin/env bash
# Checks that the tracked C++ sources (*.cpp, *.h) are formatted as the
# repository's .clang-format says, with clang-format 14 (Debian's
# clang-format package; scripts/install-deps.sh installs it). Without BASE
# every tracked source is checked; with BASE, a git revision, only those
# added or changed between BASE and the work tree. Prints each offending
# file with the diff from its formatted form (diff -u) and exits 1 if there
# is any, 0 otherwise; 2 when clang-format is missing or BASE is unknown.
# Takes 2-3 s for the whole tree. To fix a file: clang-format -i FILE.
#
#   usage: scripts/check-format.sh [BASE]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
cd "$root"

if [ $# -gt 1 ]; then
    echo "usage: scripts/check-format.sh [BASE]" >&2
    exit 2
fi
if ! command -v clang-format >/dev/null 2>&1; then
    echo "check-format: clang-format not found; install Debian's clang-format package (scripts/install-deps.sh)" >&2
    exit 2
fi
version=$(clang-format --version)
case $version in
    *" version 14."*) ;;
    *) echo "check-format: warning: $version is not clang-format 14, which CI uses; results may differ" >&2 ;;
esac

files=()
if [ $# -eq 1 ]; then
    base=$1
    if ! git rev-parse --verify --quiet "$base^{commit}" >/dev/null; then
        echo "check-format: unknown git revision '$base'" >&2
        exit 2
    fi
    # Added, copied, modified or renamed since BASE, staged or not.
    while IFS= read -r -d '' file; do
        [ -f "$file" ] && files+=("$file")
    done < <(git diff -z --name-only --diff-filter=ACMR "$base" -- '*.cpp' '*.h')
else
    while IFS= read -r -d '' file; do
        [ -f "$file" ] && files+=("$file")
    done < <(git ls-files -z -- '*.cpp' '*.h')
fi

style=file:$root/.clang-format
formatted=$(mktemp)
trap 'rm -f "$formatted"' EXIT
unformatted=()
for file in "${files[@]}"; do
    if ! clang-format --style="$style" "$file" >"$formatted"; then
        echo "check-format: clang-format failed on $file" >&2
        exit 2
    fi
    if ! diff -u --label "$file" --label "$file (formatted)" "$file" "$formatted"; then
        unformatted+=("$file")
    fi
done

if [ ${#unformatted[@]} -gt 0 ]; then
    echo "check-format: ${#unformatted[@]} of ${#files[@]} files are not formatted:" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    echo "check-format: fix them with: clang-format -i FILE..." >&2
    exit 1
fi
echo "check-format: ${#files[@]} files formatted"
