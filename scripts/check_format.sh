#!/bin/sh
# Fails when a C++ file git knows differs from what the repository's .clang-format makes of it.
set -eu
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format)
git ls-files -z -- '*.cpp' '*.h' | xargs -0 "$format" --dry-run -Werror
echo "check_format.sh: every C++ file is formatted"
