#!/bin/sh
# clang-tidy over the project's own sources and headers, with the flags of the last build
# (build/compile_commands.json). Usage: scripts/tidy.sh [build-folder] [file-regex]
# Exits non-zero when clang-tidy reports anything.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
own="$root/(app|folders|search|results|cli|extract|fixtures|samples|tests|bench)/"
files=${2:-$own}
if [ ! -f "$build/compile_commands.json" ]; then
    echo "tidy.sh: no $build/compile_commands.json; build first" >&2
    exit 2
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
runner=$(command -v run-clang-tidy || command -v run-clang-tidy-14 || true)
if [ -n "$runner" ]; then
    nice "$runner" -quiet -j 2 -p "$build" -header-filter="$own" "$files" >"$log" 2>&1 || true
else
    grep -o '"file": "[^"]*"' "$build/compile_commands.json" | cut -d'"' -f4 | grep -E "$files" |
        while read -r file; do
            nice clang-tidy -quiet -p "$build" -header-filter="$own" "$file" 2>&1 || true
        done >"$log"
fi
findings=$(grep -E ': (warning|error): ' "$log" | sort -u || true)
if [ -n "$findings" ]; then
    echo "$findings"
    echo "tidy.sh: $(echo "$findings" | wc -l) finding(s)" >&2
    exit 1
fi
echo "tidy.sh: no findings"
