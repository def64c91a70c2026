#!/usr/bin/env bash
# Applies the house style (.clang-format) to every C and C++ file of the project.
#   format.sh          rewrite the files in place
#   format.sh --check  change nothing; list the files that differ and fail if any does
set -euo pipefail
cd "$(dirname "$0")/.."
# Tracked and new files alike (not the ignored ones), as long as they exist.
mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.c' '*.cpp' '*.h' | sort -u |
  while IFS= read -r f; do [[ -f $f ]] && echo "$f"; done)
if [[ "${1:-}" == "--check" ]]; then
  report=$(clang-format --dry-run --Werror "${files[@]}" 2>&1) && exit 0
  grep 'error: code should be clang-formatted' <<<"$report" | cut -d: -f1 | sort -u |
    sed 's/^/format: differs from .clang-format: /' >&2
  echo "format: run scripts/format.sh to apply the style" >&2
  exit 1
else
  clang-format -i "${files[@]}"
fi
