# Sourced by the browser and MCP test scripts: `root`, a work directory `dir` removed on exit,
# `pids` of background processes stopped on exit, and a private 1920×1080 desktop whose
# DISPLAY and D-Bus session are exported.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
dir=$(mktemp -d /tmp/tovo-test-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  "$root/scripts/virtual-desktop.sh" stop "$dir/desktop" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
TOVO_SCREEN=1920x1080x24 "$root/scripts/virtual-desktop.sh" start "$dir/desktop" >/dev/null
set -a
. "$dir/desktop/env"
set +a
