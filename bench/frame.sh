#!/usr/bin/env bash
# GET /frame on a 1920×1080 headless desktop showing a terminal full of text and an image,
# maxWidth 1280, quality 70: the server-side time per picture, then client round trips
# (sequential and 4 concurrent) beside scrot and ffmpeg x11grab making a JPEG of the same
# desktop in the same run.
#   bench/frame.sh [SECONDS_PER_LOAD_RUN] [PEER_RUNS]
set -euo pipefail
seconds=${1:-5}
runs=${2:-30}
. "$(dirname "$0")/lib.sh"
start_desktop

still_content
sleep 2

start_service

stats() {  # stats LABEL FILE_OF_MS
  /usr/bin/python3 - "$1" "$2" <<'PY'
import sys
label, path = sys.argv[1], sys.argv[2]
v = sorted(float(x) / 1000 for x in open(path) if x.strip())
q = lambda p: v[min(len(v) - 1, int(p * len(v)))]
print(f"{label:<34} n={len(v):4d} p50 {q(0.5):8.2f} ms  p99 {q(0.99):8.2f} ms  {1000 / (sum(v) / len(v)):7.1f}/s")
PY
}
time_runs() {  # time_runs FILE COMMAND...
  local out=$1; shift
  : > "$out"
  for _ in $(seq "$runs"); do
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1
    t1=$(date +%s%N)
    echo "$(( (t1 - t0) / 1000 ))" >> "$out"  # microseconds
  done
}

echo "== server side (StillCapture::frame in-process, maxWidth 1280, quality 70; fresh: the pointer moved before each picture; unchanged: nothing moved)"
"$root/build/bench/frame_pipeline" 200 1280 70

echo "== client round trips"
url="http://x/frame?maxWidth=1280&quality=70"
time_runs "$work/curl.ms" curl -s --unix-socket "$work/tovo.sock" -o "$work/tovo.jpg" "$url"
time_runs "$work/scrot.ms" scrot -o -q 70 "$work/scrot.jpg"
time_runs "$work/ffmpeg.ms" ffmpeg -loglevel error -f x11grab -video_size 1920x1080 -i "$DISPLAY" -frames:v 1 \
  -vf scale=1280:-2 -q:v 5 -y "$work/ffmpeg.jpg"
stats "tovo-control via curl (process)" "$work/curl.ms"
stats "scrot -q 70 (full size)" "$work/scrot.ms"
stats "ffmpeg x11grab -frames:v 1, 1280" "$work/ffmpeg.ms"
for f in tovo scrot ffmpeg; do identify -format "$f: %wx%h %b\n" "$work/$f.jpg"; done
/usr/bin/python3 - "$work" <<'PY'
import sys
w = sys.argv[1]
def p50(name):
    v = sorted(float(x) / 1000 for x in open(f"{w}/{name}.ms") if x.strip())
    return v[len(v) // 2]
t = p50("curl")
print(f"ratio p50: scrot/tovo {p50('scrot') / t:.1f}x, ffmpeg/tovo {p50('ffmpeg') / t:.1f}x")
PY

echo "== sustained load over the socket (load generator, one request per connection; the desktop is still, so pictures after the first are answered again)"
for clients in 1 4; do
  "$root/build/bench/http_load" --socket "$work/tovo.sock" --clients "$clients" --seconds "$seconds" \
    --path "/frame?maxWidth=1280&quality=70" --label "frame x$clients" | tee "$work/load$clients.json"
done
/usr/bin/python3 - "$work" <<'PY'
import json, sys
w = sys.argv[1]
v = sorted(float(x) / 1000 for x in open(f"{w}/scrot.ms") if x.strip())
scrot = v[len(v) // 2]
one = json.load(open(f"{w}/load1.json"))
print(f"ratio p50: scrot / tovo round trip without process start-up {scrot / (one['p50_us'] / 1000):.1f}x")
PY
