#!/usr/bin/env bash
# Bits where pixels change, on a 1920×1080 desktop of still text and an image, h264 at 30 fps
# and 3500 kbps, this build's rate control ("quality": a constant quality under a bit-rate
# ceiling) beside its previous one ("average", TOVO_VIDEO_RATE=average) and ffmpeg x11grab +
# libx264 ultrafast/zerolatency at the same bit rate, in the same run:
#   small   a small terminal (40×4) printing the time every 30 ms;
#   still   nothing changes (after the stream's first picture and its refines);
#   typing  a terminal with text typed at 10 characters a second.
# Live: GET /stream for SECONDS per scenario (kb/s after the first second, service CPU).
# Quality: 90 pictures of small and typing captured raw and encoded offline as the stream
# encodes them (bench/encode_file) and by ffmpeg; SSIM over the whole picture and over the
# changing region, kb/s without the first (key) picture.
#   bench/stream_small.sh [SECONDS] [OTHER_TOVO_CONTROL]
set -euo pipefail
seconds=${1:-10}
other=${2:-}
kbps=3500
. "$(dirname "$0")/lib.sh"
start_desktop >/dev/null
still_content
sleep 2
# The changing regions (x, y, w, h on the display) of the two moving scenarios.
clock_region="1296:896:336:96"
typing_region="96:596:656:176"

clock() {
  xterm -geometry 40x4+1300+900 -e "while :; do date +%T.%N; sleep 0.03; done" &
  clock_pid=$!
  pids+=($clock_pid)
  sleep 1
}
typing() {  # a terminal that shows what is typed, typed into at 10 characters a second
  xterm -geometry 80x10+100+600 -fa Monospace -fs 11 -e cat &
  typing_pid=$!
  pids+=($typing_pid)
  sleep 1
  xdotool search --sync --pid "$typing_pid" windowactivate --sync >/dev/null 2>&1 || true
  (while :; do xdotool type --delay 100 "the quick brown fox jumps over the lazy dog "; done) &
  typer_pid=$!
  pids+=($typer_pid)
  sleep 1
}
stop() { for p in "$@"; do kill "$p" 2>/dev/null || true; done; sleep 0.5; }

live() {  # live EXECUTABLE RATE LABEL: one line of JSON for the current screen
  TOVO_VIDEO_RATE=$2 TOVO_VIDEO_MAX_WIDTH=1920 "$1" --socket "$work/$3.sock" 2>"$work/$3.log" &
  local pid=$!
  pids+=("$pid")
  wait_socket "$work/$3.sock"
  sleep 3  # the encoder calibration at start-up runs first
  /usr/bin/python3 "$root/bench/stream_client.py" "$work/$3.sock" "/stream?fps=30&maxWidth=1920" "$seconds" "$pid"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
}
ffmpeg_live() {
  /usr/bin/python3 - "$seconds" "$kbps" <<'PY'
import json, os, resource, subprocess, sys, time
seconds, kbps = float(sys.argv[1]), int(sys.argv[2])
out = f"/tmp/ffmpeg-live-{os.getpid()}.h264"
cmd = ["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-framerate", "30", "-video_size", "1920x1080",
       "-i", os.environ["DISPLAY"], "-t", str(seconds + 1), "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency",
       "-b:v", f"{kbps}k", "-maxrate", f"{kbps * 3 // 2}k", "-bufsize", f"{kbps * 3 // 2}k", "-y", out]
t0 = time.time()
subprocess.run(cmd)
u = resource.getrusage(resource.RUSAGE_CHILDREN)
sizes = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "packet=size", "-of", "csv=p=0", out],
                       capture_output=True, text=True).stdout.split()
os.remove(out)
sizes = [int(s) for s in sizes][30:]  # after the first second, as for the service
print(json.dumps({"kbps": round(sum(sizes) * 8 / 1000 / (len(sizes) / 30)), "cpu_per_s": round((u.ru_utime + u.ru_stime) / (time.time() - t0), 3)}))
PY
}

declare -A results
run_live() {  # run_live SCENARIO
  results[$1.quality]=$(live "$root/build/tovo-control" quality "q-$1")
  results[$1.average]=$(live "$root/build/tovo-control" average "a-$1")
  [[ -n "$other" ]] && results[$1.other]=$(live "$other" quality "o-$1")
  results[$1.ffmpeg]=$(ffmpeg_live)
}

capture() {  # capture NAME: 90 raw pictures of the screen now
  ffmpeg -nostdin -loglevel error -f x11grab -framerate 30 -video_size 1920x1080 -i "$DISPLAY" -frames:v 90 \
    -f rawvideo -pix_fmt bgr0 -y "$work/$1.bgrx"
}
quality() {  # quality NAME REGION: JSON of kb/s and SSIM for each encoding of the capture
  local raw=(-f rawvideo -pix_fmt bgr0 -video_size 1920x1080 -framerate 30 -i "$work/$1.bgrx")
  "$root/build/bench/encode_file" "$work/$1.bgrx" 1920 1080 30 "$kbps" "$work/$1.quality.h264" quality 2>/dev/null
  "$root/build/bench/encode_file" "$work/$1.bgrx" 1920 1080 30 "$kbps" "$work/$1.average.h264" average 2>/dev/null
  ffmpeg -nostdin -loglevel error "${raw[@]}" -vf scale=out_color_matrix=bt709:out_range=tv -pix_fmt yuv420p \
    -c:v libx264 -preset ultrafast -tune zerolatency -b:v "${kbps}k" -maxrate "$((kbps * 3 / 2))k" \
    -bufsize "$((kbps * 3 / 2))k" -f h264 -y "$work/$1.ffmpeg.h264"
  local index="setpts=N/(30*TB)" out="{"
  for enc in quality average ffmpeg; do
    local file="$work/$1.$enc.h264"
    local dec="[0:v]$index,scale=in_color_matrix=bt709:in_range=tv:flags=accurate_rnd+full_chroma_int,format=gbrp"
    local whole region kb
    whole=$(ffmpeg -nostdin -i "$file" "${raw[@]}" -lavfi "$dec[d];[1:v]$index,format=gbrp[r];[d][r]ssim" -f null - 2>&1 |
      sed -n 's/.*All:\([0-9.]*\).*/\1/p' | tail -n 1)
    region=$(ffmpeg -nostdin -i "$file" "${raw[@]}" \
      -lavfi "$dec,crop=$2[d];[1:v]$index,format=gbrp,crop=$2[r];[d][r]ssim" -f null - 2>&1 |
      sed -n 's/.*All:\([0-9.]*\).*/\1/p' | tail -n 1)
    kb=$(ffprobe -v error -show_entries packet=size -of csv=p=0 "$file" | tail -n +2 |
      awk '{s += $1; n++} END {printf "%.0f", s * 8 / 1000 / (n / 30)}')
    out+="\"$enc\": {\"kbps\": $kb, \"ssim\": $whole, \"region_ssim\": $region}, "
  done
  echo "${out%, }}"
}

clock
run_live small
capture small
results[small.offline]=$(quality small "$clock_region")
stop "$clock_pid"
run_live still
typing
run_live typing
capture typing
results[typing.offline]=$(quality typing "$typing_region")
stop "$typer_pid" "$typing_pid"

for key in "${!results[@]}"; do echo "$key ${results[$key]}"; done > "$work/results.txt"
/usr/bin/python3 - "$work/results.txt" "$kbps" <<'PY'
import json, sys
r = {}
for line in open(sys.argv[1]):
    key, value = line.split(" ", 1)
    r[key] = json.loads(value)
print(f"h264 1920×1080 at 30 fps, {sys.argv[2]} kbps; live kb/s after the first second, service CPU s/s")
print()
print("| live | quality (this build) | average (previous mode) | other build | ffmpeg, same settings |")
print("|---|---|---|---|---|")
for s in ("small", "still", "typing"):
    cell = lambda k: f"{r[k]['kbps']} kb/s, CPU {r[k]['cpu_per_s']:.3f}" if k in r else "—"
    print(f"| {s} | {cell(s + '.quality')} | {cell(s + '.average')} | {cell(s + '.other')} | {cell(s + '.ffmpeg')} |")
print()
print("| 90 pictures, offline | quality: kb/s, SSIM, region SSIM | average | ffmpeg |")
print("|---|---|---|---|")
for s in ("small", "typing"):
    o = r[s + ".offline"]
    cell = lambda e: f"{o[e]['kbps']} kb/s, {o[e]['ssim']:.4f}, {o[e]['region_ssim']:.4f}"
    print(f"| {s} | {cell('quality')} | {cell('average')} | {cell('ffmpeg')} |")
PY
