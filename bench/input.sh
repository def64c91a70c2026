#!/usr/bin/env bash
# POST /input "move" over the socket on a headless desktop: round-trip latency (p50/p99)
# and moves per second sustained, beside xdotool mousemove run as a process, in the same run.
#   bench/input.sh [SECONDS] [XDOTOOL_RUNS]
set -euo pipefail
seconds=${1:-5}
runs=${2:-50}
. "$(dirname "$0")/lib.sh"
start_desktop
start_service

echo "== POST /input move (load generator, one request per connection)"
for clients in 1 4; do
  "$root/build/bench/http_load" --socket "$work/tovo.sock" --clients "$clients" --seconds "$seconds" \
    --method POST --path /input --body '{"type":"move","x":0.5,"y":0.5}' --label "move x$clients" | tee "$work/load$clients.json"
done

echo "== xdotool mousemove (process per move)"
: > "$work/xdotool.us"
for i in $(seq "$runs"); do
  t0=$(date +%s%N)
  xdotool mousemove $((100 + i)) 200
  t1=$(date +%s%N)
  echo $(( (t1 - t0) / 1000 )) >> "$work/xdotool.us"
done
/usr/bin/python3 - "$work" <<'PY'
import json, sys
w = sys.argv[1]
v = sorted(int(x) for x in open(f"{w}/xdotool.us") if x.strip())
p50 = v[len(v) // 2] / 1000
p99 = v[min(len(v) - 1, int(0.99 * len(v)))] / 1000
one = json.load(open(f"{w}/load1.json"))
print(f"xdotool mousemove: p50 {p50:.2f} ms  p99 {p99:.2f} ms  {1000 / p50:.0f}/s")
print(f"ratio p50: xdotool / tovo move {p50 / (one['p50_us'] / 1000):.1f}x; moves per second: tovo {one['rps']:.0f} vs xdotool {1000 / p50:.0f}")
PY
