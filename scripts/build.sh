#!/usr/bin/env bash
# Configures and builds tovo-control, its tests and benchmarks with clang (libFuzzer needs it).
#   build.sh [BUILD_DIR] [extra cmake arguments…]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
shift || true
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "$@" >/dev/null
cmake --build "$dir"
