#!/usr/bin/env bash
# Remote access against the local socket, in the same run on a 1920×1080 headless desktop:
# GET /frame and POST /input round trips over TLS (one kept-alive connection, as a phone
# keeps it) beside the same requests over the Unix socket, and the TLS handshake time of a
# fresh connection. The client is curl on both sides.
#   bench/remote.sh [REQUESTS]
set -euo pipefail
requests=${1:-200}
. "$(dirname "$0")/lib.sh"
start_desktop
mkdir -p "$work/home"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
echo "{\"port\": $port}" > "$work/home/remote.json"
sock="$work/home/screen.sock"
"$root/build/tovo-control" --socket "$sock" --remote 2>"$work/tovo.log" &
pids+=($!)
wait_socket "$sock"
url=$(curl -s --unix-socket "$sock" -X POST http://x/remote/pairing | python3 -c 'import json,sys; print(json.load(sys.stdin)["pairing"]["url"])')
for _ in $(seq 100); do
  curl -s --unix-socket "$sock" http://x/remote | grep -q '"listening":true' && break; sleep 0.05
done
"$root/build/tovo-remote" --state "$work/state.json" pair "$url" --host 127.0.0.1 >/dev/null
"$root/build/tovo-remote" --state "$work/state.json" control take >/dev/null
token=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["token"])' "$work/state.json")

series() {  # series NAME URL CURL-ARGS...: $requests GETs in one curl process, times in s
  local name=$1 url=$2; shift 2
  local args=()
  for _ in $(seq "$requests"); do args+=(-o /dev/null "$url"); done
  curl -s -w '%{time_total}\n' "$@" "${args[@]}" > "$work/$name.times"
}
series tls_frame "https://127.0.0.1:$port/frame" -k -H "Authorization: Bearer $token"
series unix_frame "http://x/frame" --unix-socket "$sock"
move='{"type":"move","x":0.5,"y":0.5}'
posts() {  # posts NAME URL CURL-ARGS...: $requests POSTs of a move in one curl process
  local name=$1 url=$2; shift 2
  local args=()
  for i in $(seq "$requests"); do
    (( i > 1 )) && args+=(--next)
    args+=(-s -o /dev/null -w '%{time_total}\n' "$@" -d "$move" "$url")
  done
  curl "${args[@]}" > "$work/$name.times"
}
posts tls_input "https://127.0.0.1:$port/input" -k -H "Authorization: Bearer $token"
posts unix_input "http://x/input" --unix-socket "$sock"
for _ in $(seq 50); do
  curl -sk -o /dev/null -w '%{time_appconnect} %{time_connect}\n' -H "Authorization: Bearer $token" "https://127.0.0.1:$port/status"
done > "$work/handshake.times"

python3 - "$work" <<'PY'
import sys
w = sys.argv[1]
def p50(name):
    v = sorted(float(x) * 1000 for x in open(f"{w}/{name}.times") if x.strip())
    return v[len(v) // 2], v[min(len(v) - 1, int(len(v) * 0.99))], len(v)
for what in ("frame", "input"):
    (t50, t99, n), (u50, u99, m) = p50(f"tls_{what}"), p50(f"unix_{what}")
    print(f"{what:6} TLS p50 {t50:7.2f} ms p99 {t99:7.2f} ms ({n})   Unix p50 {u50:7.2f} ms p99 {u99:7.2f} ms ({m})   TLS/Unix p50 {t50 / u50:.2f}x")
h = sorted((float(a) - float(c)) * 1000 for a, c in (line.split() for line in open(f"{w}/handshake.times") if line.strip()))
print(f"TLS 1.3 handshake (curl, fresh connection): p50 {h[len(h) // 2]:.2f} ms, p99 {h[min(len(h) - 1, int(len(h) * 0.99))]:.2f} ms")
PY
