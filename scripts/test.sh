#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (unit, integration against a private
# headless desktop, and a short fuzzing run), after checking the includes between folders.
# Prints ctest's summary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/check-layers.sh"
"$root/scripts/build.sh" "$root/build"
# The npm packages the tests drive the service with, exactly as the lock file pins them.
for folder in mcp web; do npm ci --prefix "$root/tests/$folder" --no-audit --no-fund --loglevel=error; done
cd "$root/build"
ctest -j"$(nproc)" --output-on-failure --timeout 300
