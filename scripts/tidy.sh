#!/bin/sh
# clang-tidy over every C++ source file git knows, with the flags of a build's
# compile_commands.json, and over the headers they include from this checkout (also where a
# folder's include fence reaches them). Usage: scripts/tidy.sh [build-folder]
# Exits non-zero when clang-tidy reports anything.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
if [ ! -f "$build/compile_commands.json" ]; then
    echo "tidy.sh: no $build/compile_commands.json; build first" >&2
    exit 2
fi
runner=$(command -v run-clang-tidy-14 || command -v run-clang-tidy || true)
if [ -z "$runner" ]; then
    echo "tidy.sh: run-clang-tidy not found (Debian package clang-tidy)" >&2
    exit 2
fi
files=$(mktemp)
log=$(mktemp)
trap 'rm -f "$files" "$log"' EXIT
git -C "$root" ls-files -z -- '*.cpp' | xargs -0 -I{} printf '%s/%s\n' "$root" {} >"$files"
# Headers are reported where the compiler found them: in the checkout or through a fence link.
headers="^($root|$build/include_fence)/"
# run-clang-tidy takes regular expressions; each file is matched whole.
sed 's/[].[^$*+?(){}|\\]/\\&/g; s/^/^/; s/$/$/' "$files" >"$files.re"
nice "$runner" -quiet -j "$(nproc)" -p "$build" -header-filter="$headers" \
    $(cat "$files.re") >"$log" 2>&1 || true
rm -f "$files.re"
findings=$(grep -E ': (warning|error): ' "$log" | sort -u || true)
if [ -n "$findings" ]; then
    echo "$findings"
    echo "tidy.sh: $(echo "$findings" | wc -l) finding(s)" >&2
    exit 1
fi
echo "tidy.sh: no findings in $(wc -l <"$files") files"
