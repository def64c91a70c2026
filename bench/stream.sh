#!/usr/bin/env bash
# Live video on a 1920×1080 headless desktop with a terminal scrolling text over all of it:
# GET /stream (h264, 1920 wide) at 30 and 60 fps beside ffmpeg x11grab + libx264
# (ultrafast, zerolatency) at the same size, rate and bit rate, in the same run.
# Reports the service's CPU per second, encode ms p50/p99, capture-to-delivery latency, and the
# CPU ratio to ffmpeg.
#   bench/stream.sh [SECONDS [ROUNDS]]
set -euo pipefail
seconds=${1:-10}
rounds=${2:-3}
. "$(dirname "$0")/lib.sh"
start_desktop

scrolling_content
sleep 2

# The service picks its bit rate itself (3500 kbps at the start of a stream without flow
# control), so both pipelines run at that rate.
kbps=3500
TOVO_VIDEO_MAX_WIDTH=1920 start_service
service_pid=${pids[-1]}
sleep 3  # the encoder calibration at start-up runs first

ffmpeg_cpu() {  # ffmpeg_cpu FPS → "cpu_per_s frames_per_s"
  /usr/bin/python3 - "$1" "$seconds" "$kbps" <<'PY'
import resource, subprocess, sys, time, os
fps, seconds, kbps = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
cmd = ["ffmpeg", "-nostdin", "-loglevel", "error", "-stats", "-f", "x11grab", "-framerate", fps,
       "-video_size", "1920x1080", "-i", os.environ["DISPLAY"], "-t", str(seconds), "-c:v", "libx264",
       "-preset", "ultrafast", "-tune", "zerolatency", "-b:v", f"{kbps}k", "-maxrate", f"{kbps * 3 // 2}k",
       "-bufsize", f"{kbps * 3 // 2}k", "-f", "null", "-"]
t0 = time.time()
p = subprocess.run(cmd, stderr=subprocess.PIPE, text=True)
elapsed = time.time() - t0
u = resource.getrusage(resource.RUSAGE_CHILDREN)
frames = [l for l in p.stderr.replace("\r", "\n").split("\n") if l.startswith("frame=")]
n = int(frames[-1].split("=")[1].split()[0]) if frames else 0
print(f"{(u.ru_utime + u.ru_stime) / elapsed:.3f} {n / elapsed:.1f}")
PY
}

# One sample of each pipeline swings by ±10 % on a shared two-core machine, so each rate runs
# ROUNDS rounds, the service and ffmpeg one after the other in each, and the ratio reported is
# the median of the rounds' ratios.
for fps in 30 60; do
  echo "== ${fps} fps, h264, 1920x1080, ${kbps} kbps, ${rounds} rounds"
  enc=$("$root/build/bench/encode_pipeline" $((fps * 5)) 1920 "$fps" h264 "$kbps")
  echo "tovo-control encode: $enc"
  samples=()
  for ((round = 1; round <= rounds; round++)); do
    tovo=$(/usr/bin/python3 "$root/bench/stream_client.py" "$work/tovo.sock" "/stream?fps=$fps&maxWidth=1920" \
           "$seconds" "$service_pid")
    read -r peer_cpu peer_fps <<<"$(ffmpeg_cpu "$fps")"
    echo "round $round: tovo-control stream: $tovo"
    echo "round $round: ffmpeg x11grab+libx264 ultrafast: {\"cpu_per_s\": $peer_cpu, \"frames_per_s\": $peer_fps}"
    samples+=("$tovo|$peer_cpu|$peer_fps")
  done
  /usr/bin/python3 - "$enc" "$fps" "${samples[@]}" <<'PY'
import json, statistics, sys
enc, fps = json.loads(sys.argv[1]), int(sys.argv[2])
rounds = []
for sample in sys.argv[3:]:
    tovo, peer_cpu, peer_fps = sample.split("|")
    tovo, peer_cpu, peer_fps = json.loads(tovo), float(peer_cpu), float(peer_fps)
    rounds.append({
        "cpu": tovo["cpu_per_s"] / peer_cpu,
        "per_picture": tovo["cpu_per_s"] / max(tovo["parts_per_s"], 0.1) / (peer_cpu / max(peer_fps, 0.1)),
        "pictures": tovo["parts_per_s"], "peer_pictures": peer_fps, "latency": tovo["latency_p50_ms"]})
median = lambda key: statistics.median(r[key] for r in rounds)
print("CPU per picture by round: " + ", ".join(f"{r['per_picture']:.2f}x" for r in rounds))
print(f"ratio (median of {len(rounds)}): CPU {median('cpu'):.2f}x ffmpeg's "
      f"({median('pictures')} vs {median('peer_pictures')} pictures/s); CPU per picture {median('per_picture'):.2f}x")
budget = enc["encode_p50_ms"] + 5
print(f"latency p50 {median('latency')} ms vs target {budget:.1f} ms (encode p50 + 5 ms): "
      f"{'met' if median('latency') <= budget else 'missed'}")
PY
done
