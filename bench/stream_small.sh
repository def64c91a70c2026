#!/usr/bin/env bash
# Live video of a desktop where only a small region changes: a 1920×1080 desktop with a
# terminal full of still text and an image, and a small terminal (40×4) printing the time
# every 30 ms. GET /stream (h264, 1920 wide, 30 fps) for SECONDS, with the service's CPU,
# for this build and, when given, another build's executable in the same run (for example
# one made before the damage-aware capture), beside ffmpeg x11grab + libx264 on the same
# desktop.
#   bench/stream_small.sh [SECONDS] [OTHER_TOVO_CONTROL]
set -euo pipefail
seconds=${1:-10}
other=${2:-}
. "$(dirname "$0")/lib.sh"
start_desktop
still_content
xterm -geometry 40x4+1300+900 -e "while :; do date +%T.%N; sleep 0.03; done" &
pids+=($!)
sleep 2

measure() {  # measure EXECUTABLE LABEL
  TOVO_VIDEO_MAX_WIDTH=1920 "$1" --socket "$work/$2.sock" 2>"$work/$2.log" &
  local pid=$!
  pids+=("$pid")
  wait_socket "$work/$2.sock"
  sleep 3  # the encoder calibration at start-up runs first
  echo "$2: $(/usr/bin/python3 "$root/bench/stream_client.py" "$work/$2.sock" "/stream?fps=30&maxWidth=1920" "$seconds" "$pid")"
  kill "$pid"
}
measure "$root/build/tovo-control" this
[[ -n "$other" ]] && measure "$other" other
/usr/bin/python3 - "$seconds" <<'PY'
import os, resource, subprocess, sys, time
seconds = float(sys.argv[1])
cmd = ["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-framerate", "30", "-video_size", "1920x1080",
       "-i", os.environ["DISPLAY"], "-t", str(seconds), "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency",
       "-b:v", "3500k", "-f", "null", "-"]
t0 = time.time()
subprocess.run(cmd)
u = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"ffmpeg x11grab+libx264: {{\"cpu_per_s\": {(u.ru_utime + u.ru_stime) / (time.time() - t0):.3f}}}")
PY
