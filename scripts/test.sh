#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (unit, integration against a private
# headless desktop, and a short fuzzing run), after checking the includes between folders.
# Prints ctest's summary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/check-layers.sh"
"$root/scripts/build.sh" "$root/build"
cd "$root/build"
ctest -j"$(nproc)" --output-on-failure --timeout 300
