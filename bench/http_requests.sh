#!/usr/bin/env bash
# Requests per second and latency of one trivial request per connection over the Unix
# socket, at 1, 8 and 64 concurrent clients: tovo-control beside peer servers on the same
# machine in the same run (Python's http.server always; nginx when it is installed).
#   bench/http_requests.sh [SECONDS_PER_RUN]
set -euo pipefail
seconds=${1:-5}
. "$(dirname "$0")/lib.sh"
load="$root/build/bench/http_load"
env -u DISPLAY "$root/build/tovo-control" --socket "$work/tovo.sock" 2>"$work/tovo.log" &
pids+=($!)
/usr/bin/python3 "$root/bench/peer_http_server.py" "$work/python.sock" &
pids+=($!)
peers=(python)
if command -v nginx >/dev/null; then
  mkdir -p "$work/nginx"
  cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 2;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx;
  server {
    listen unix:$work/nginx.sock backlog=16;
    location / { default_type application/json; return 404 '{"error":"no such endpoint /status"}'; }
  }
}
CONF
  nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
  pids+=($!)
  peers+=(nginx)
fi
wait_socket "$work/tovo.sock"
for p in "${peers[@]}"; do wait_socket "$work/$p.sock"; done

printf '%-8s %8s %10s %10s %10s   %s\n' clients server rps p50_us p99_us "ratio vs tovo (rps, p50)"
for clients in 1 8 64; do
  tovo=$("$load" --socket "$work/tovo.sock" --clients "$clients" --seconds "$seconds" --label tovo-control)
  read -r trps tp50 tp99 < <(python3 -c 'import json,sys; d=json.loads(sys.argv[1]); print(d["rps"], d["p50_us"], d["p99_us"])' "$tovo")
  printf '%-8s %8s %10s %10s %10s\n' "$clients" tovo "$trps" "$tp50" "$tp99"
  for p in "${peers[@]}"; do
    peer=$("$load" --socket "$work/$p.sock" --clients "$clients" --seconds "$seconds" --label "$p")
    read -r prps pp50 pp99 < <(python3 -c 'import json,sys; d=json.loads(sys.argv[1]); print(d["rps"], d["p50_us"], d["p99_us"])' "$peer")
    ratio=$(python3 -c "import sys; a,b,c,d=map(float,sys.argv[1:5]); print(f'tovo/{sys.argv[5]}: {a/b:.2f}x rps, {d/c:.2f}x faster p50')" "$trps" "$prps" "$tp50" "$pp50" "$p")
    printf '%-8s %8s %10s %10s %10s   %s\n' "$clients" "$p" "$prps" "$pp50" "$pp99" "$ratio"
  done
done
