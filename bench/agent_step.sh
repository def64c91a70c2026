#!/usr/bin/env bash
# One agent step — a click, a wait for the screen to settle, a screenshot — through
# `tovo-control mcp` (one tools/call with screenshot_after, from the official MCP client
# library), beside the xdotool habit (xdotool click, sleep for the same quiet window, scrot)
# in the same run, on a desktop with still content. Reports p50 and p95 and the ratio.
#   bench/agent_step.sh [STEPS]
set -euo pipefail
steps=${1:-40}
. "$(dirname "$0")/lib.sh"
npm ci --prefix "$root/tests/mcp" --no-audit --no-fund --loglevel=error >/dev/null
start_desktop >/dev/null
still_content
start_service
sleep 2

echo "== MCP click with screenshot_after (quiet window 150 ms)"
node "$root/bench/agent_step.mjs" "$root/build/tovo-control" "$work/tovo.sock" "$steps" | tee "$work/mcp.json"

echo "== xdotool click + sleep 0.15 + scrot"
: > "$work/peer.us"
for i in $(seq "$steps"); do
  t0=$(date +%s%N)
  xdotool mousemove 1500 $((900 + i % 5)) click 1
  sleep 0.15
  scrot -o "$work/peer.png"
  t1=$(date +%s%N)
  echo $(((t1 - t0) / 1000)) >> "$work/peer.us"
done
/usr/bin/python3 - "$work" <<'PY'
import json, sys
w = sys.argv[1]
mcp = json.load(open(f"{w}/mcp.json"))
v = sorted(int(x) / 1000 for x in open(f"{w}/peer.us") if x.strip())
p50, p95 = v[len(v) // 2], v[min(len(v) - 1, int(0.95 * len(v)))]
print(f"{'':28}{'p50 ms':>10}{'p95 ms':>10}")
print(f"{'tovo mcp (one call)':28}{mcp['p50_ms']:>10.1f}{mcp['p95_ms']:>10.1f}")
print(f"{'xdotool + sleep + scrot':28}{p50:>10.1f}{p95:>10.1f}")
print(f"ratio p50 (xdotool step / mcp step): {p50 / mcp['p50_ms']:.2f}x; "
      f"mcp step beyond the 150 ms quiet window: {mcp['p50_ms'] - 150:.1f} ms (aim: at most 40)")
PY
