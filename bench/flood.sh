#!/usr/bin/env bash
# Flood run: 1000 idle connections (re-opened as they are dropped), 8 clients hammering
# GET /status and a 4 MiB body of "[" posted to /input every second, for SECONDS (60).
# Reports /status p50/p99 over its 200 answers, how all its answers spread over status codes, what the deep bodies got and
# the service's peak RSS. With a second build (BASE_BUILD, e.g. of an earlier commit) the
# same run goes against it too and the ratios are printed.
#   bench/flood.sh [SECONDS] [BASE_BUILD]
set -euo pipefail
seconds=${1:-60}
base=${2:-}
. "$(dirname "$0")/lib.sh"
# Headless, so that /status is served without a desktop behind it.
ulimit -n 8192 2>/dev/null || true

run() {  # run LABEL BINARY
  local sock="$work/$1.sock"
  env -u DISPLAY "$2" --socket "$sock" 2>"$work/$1.log" &
  local pid=$!
  wait_socket "$sock"
  "$root/build/bench/flood" --socket "$sock" --pid "$pid" --seconds "$seconds" > "$work/$1.json"
  kill "$pid"; wait "$pid" 2>/dev/null || true
  echo "$1: $(cat "$work/$1.json")"
}

run current "$root/build/tovo-control"
if [[ -n "$base" ]]; then
  run base "$base/tovo-control"
  /usr/bin/python3 - "$work" <<'PY'
import json, sys
w = sys.argv[1]
c, b = (json.load(open(f"{w}/{n}.json")) for n in ("current", "base"))
print(f"ratio current/base: /status answered 200 {c['status_ok'] / max(b['status_ok'], 1):.2f}x, "
      f"p99 of those {c['status_p99_ms'] / max(b['status_p99_ms'], 1e-9):.2f}x, "
      f"peak RSS {c['peak_rss_mib'] / b['peak_rss_mib']:.2f}x")
PY
fi
