#!/usr/bin/env bash
# Builds the Debian package: a release build without tests or benchmarks in build-package/
# (or the build directory given), then CPack. Prints the package's path.
#   scripts/package.sh [BUILD_DIR] [VERSION]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-package}
version=${2:-${TOVO_VERSION:-}}
"$root/scripts/setup.sh"
if [[ ! -f "$dir/CMakeCache.txt" ]]; then
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOVO_BUILD_TESTS=OFF -DTOVO_BUILD_BENCH=OFF \
    ${version:+-DTOVO_VERSION="$version"} >/dev/null
fi
cmake --build "$dir" --target tovo-control >/dev/null
(cd "$dir" && cpack -G DEB >/dev/null)
ls -1t "$dir"/tovo-control_*.deb | head -n 1
