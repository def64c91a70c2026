#!/usr/bin/env bash
# The browser client at 1080p30 on loopback, in the same run on a 1920×1080 headless desktop:
# glass to glass (a window changes colour; the time until the page's decoded picture shows
# it), p50 and p95, and the service's CPU while one browser watches, beside the same stream
# (h264, 30 fps, 1920 wide, the same changing window) read by the command-line client.
#   bench/web_latency.sh [CHANGES]
set -euo pipefail
changes=${1:-60}
seconds=$(( changes / 2 + 2 ))
. "$(dirname "$0")/lib.sh"
npm ci --prefix "$root/tests/web" --no-audit --no-fund --loglevel=error >/dev/null
start_desktop >/dev/null
still_content
mkdir -p "$work/home"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
echo "{\"port\": $port}" > "$work/home/remote.json"
sock="$work/home/screen.sock"
TOVO_VIDEO_MAX_WIDTH=1920 "$root/build/tovo-control" --socket "$sock" --remote 2>"$work/tovo.log" &
service=$!
pids+=($service)
wait_socket "$sock"
offer() { curl -s --unix-socket "$sock" -X POST http://x/remote/pairing; }
link=$(offer | python3 -c 'import json, sys, urllib.parse as u
link = u.urlsplit(json.load(sys.stdin)["pairing"]["webUrl"])
print(u.urlunsplit(("https", "127.0.0.1:%d" % link.port, link.path, link.query, link.fragment)))')
for _ in $(seq 100); do curl -s --unix-socket "$sock" http://x/remote | grep -q '"listening":true' && break; sleep 0.05; done

echo "== browser client (chromium, WebCodecs), $changes colour changes"
node "$root/bench/web_latency.mjs" "$link" "$root/build/tests/color_window" "$changes" "$service" "$seconds" |
  tee "$work/web.json"

echo "== command-line client (tovo-remote stream), the same changes"
url=$(offer | python3 -c 'import json,sys; print(json.load(sys.stdin)["pairing"]["url"])')
"$root/build/tovo-remote" --state "$work/state.json" pair "$url" --host 127.0.0.1 >/dev/null
mkfifo "$work/witness.in"
"$root/build/tests/color_window" 760 390 400 300 000000 < "$work/witness.in" > "$work/witness.log" &
pids+=($!)
exec 4> "$work/witness.in"
"$root/build/tovo-remote" --state "$work/state.json" stream "fps=30&codecs=h264&maxWidth=1920" > /dev/null &
pids+=($!)
sleep 2
cpu() { awk '{print $14 + $15}' "/proc/$service/stat"; }
before=$(cpu); t0=$(date +%s%N)
for i in $(seq "$changes"); do
  (( i % 2 )) && echo "color ffffff" >&4 || echo "color 000000" >&4
  sleep 0.5
done
sleep $(( seconds - changes / 2 ))
after=$(cpu); t1=$(date +%s%N)
python3 - "$work/web.json" "$before" "$after" "$t0" "$t1" <<'PY'
import json, sys
web = json.load(open(sys.argv[1]))
ticks = int(sys.argv[3]) - int(sys.argv[2])
elapsed = (int(sys.argv[5]) - int(sys.argv[4])) / 1e9
cli = ticks / 100 / elapsed
print(f"| | p50 | p95 | pictures {web['width']} wide | service CPU (s/s) |")
print("|---|---|---|---|---|")
print(f"| browser client | {web['p50_ms']:.1f} ms | {web['p95_ms']:.1f} ms | {web['seen']}/{web['changes']} changes seen | {web['cpu_per_s']:.3f} |")
print(f"| command-line client | — | — | — | {cli:.3f} |")
print(f"service CPU, browser / command-line client: {web['cpu_per_s'] / cli:.2f}x; aim: p50 <= 60 ms")
PY
