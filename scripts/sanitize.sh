#!/usr/bin/env bash
# Builds the tests with sanitizers and runs them:
#   build-asan  AddressSanitizer + UndefinedBehaviorSanitizer, the whole suite (unit and integration)
#   build-tsan  ThreadSanitizer, the unit tests (the threaded parts run in-process there)
#   sanitize.sh [asan|tsan]…   (default both)
# The builds optimise lightly and keep only line tables: enough for readable reports, and they
# compile in about half the time of the release configuration. Benchmarks and fuzzers are left out
# (the fuzzers carry their own sanitizers in the plain build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kinds=("$@")
[[ ${#kinds[@]} -gt 0 ]] || kinds=(asan tsan)
"$root/scripts/setup.sh"

configure() {  # configure DIR SANITIZERS
  cmake -S "$root" -B "$1" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=Sanitize -DCMAKE_C_FLAGS_SANITIZE="-O1 -gline-tables-only" \
    -DCMAKE_CXX_FLAGS_SANITIZE="-O1 -gline-tables-only" \
    -DTOVO_SANITIZE="$2" -DTOVO_BUILD_BENCH=OFF >/dev/null
}

for kind in "${kinds[@]}"; do
  case $kind in
  asan)
    configure "$root/build-asan" address,undefined
    cmake --build "$root/build-asan" --target tovo_unit_tests tovo_integration_tests
    # The sanitizers' runtime needs descriptors of its own (UBSan probes memory through a pipe),
    # so the test that starves the service of descriptors reads a false report there. Tests that
    # time audio or video get a second run: the instrumented build is slower on a loaded machine.
    (cd "$root/build-asan" && ctest -j"$(nproc)" --output-on-failure --timeout 300 -L 'unit|integration' \
      -E 'RunningOutOfDescriptorsDoesNotKillTheService' --repeat until-pass:2)
    ;;
  tsan)
    configure "$root/build-tsan" thread
    cmake --build "$root/build-tsan" --target tovo_unit_tests
    (cd "$root/build-tsan" && ctest -j"$(nproc)" --output-on-failure --timeout 300 -L unit)
    ;;
  *)
    echo "sanitize.sh: unknown build '$kind' (asan or tsan)" >&2
    exit 2
    ;;
  esac
done
