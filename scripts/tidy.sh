#!/usr/bin/env bash
# Runs the checks of .clang-tidy over the project's own translation units (or the files given),
# using the compile commands of a build directory (default build/, made by scripts/build.sh).
#   tidy.sh [-p BUILD_DIR] [FILE…]
# Fails when any check reports.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
if [[ "${1:-}" == "-p" ]]; then build=$2; shift 2; fi
[[ -f $build/compile_commands.json ]] || { echo "tidy: no $build/compile_commands.json; run scripts/build.sh first" >&2; exit 2; }
files=("$@")
if [[ ${#files[@]} -eq 0 ]]; then
  mapfile -t files < <(cd "$root" && git ls-files 'src/*.cpp' 'tests/*.cpp' 'bench/*.cpp' 'tools/*.cpp' | sed "s|^|$root/|")
fi
run-clang-tidy -p "$build" -quiet -j"$(nproc)" "${files[@]}" > "$build/tidy.log" 2>&1 || true
if sed 's/\x1b\[[0-9;]*m//g' "$build/tidy.log" | grep -E '(warning|error): .*\[[a-z-]+[^]]*\]$' | sort -u; then
  echo "tidy: the checks above failed (full report in $build/tidy.log)" >&2
  exit 1
fi
echo "tidy: ${#files[@]} files pass"
