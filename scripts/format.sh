#!/usr/bin/env bash
# Formats every C++ file the repository tracks with its .clang-format
# (Debian 12's clang-format 14, which scripts/install-deps.sh installs).
#   scripts/format.sh            formats in place
#   scripts/format.sh --check    changes nothing; fails, listing the files,
#                                when any file is not formatted
set -euo pipefail
cd "$(dirname "$0")/.."
formatter=clang-format-14
command -v "$formatter" > /dev/null || { echo "$formatter not found: run scripts/install-deps.sh" >&2; exit 2; }

mapfile -t files < <(git ls-files -- '*.cpp' '*.h' ':!:tests/browser/**')
if [ "${1:-}" = --check ]; then
    unformatted=()
    for file in "${files[@]}"; do
        "$formatter" --style=file "$file" | cmp -s - "$file" || unformatted+=("$file")
    done
    if [ ${#unformatted[@]} -gt 0 ]; then
        echo "not formatted (run scripts/format.sh):" >&2
        printf '  %s\n' "${unformatted[@]}" >&2
        exit 1
    fi
    echo "format: ${#files[@]} files formatted"
else
    "$formatter" --style=file -i "${files[@]}"
fi
