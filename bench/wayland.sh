#!/usr/bin/env bash
# The wlroots platform on a headless sway at 1920×1080 (software rendering): still latency
# (GET /frame, JPEG quality 70, beside grim writing the same screen as PPM and PNG), and the
# stream's CPU per picture on a terminal scrolling text (GET /stream at 30 fps, h264, beside
# grim's pictures piped into ffmpeg's libx264 ultrafast/zerolatency: the nearest peer, as
# ffmpeg cannot read a Wayland screen itself). sway's own CPU is reported for both, since
# it copies every picture either way.
#   bench/wayland.sh [STILLS] [SECONDS]
set -euo pipefail
stills=${1:-30}
seconds=${2:-10}
. "$(dirname "$0")/lib.sh"
cat > "$work/scroll.sh" <<'EOF'
#!/bin/sh
while :; do cat /usr/include/*.h; done
EOF
chmod 755 "$work" "$work/scroll.sh"
TOVO_SCREEN=1920x1080 TOVO_WAYLAND_EXEC="foot -a bench" "$root/scripts/wayland-desktop.sh" start "$work/wayland"
trap '"$root/scripts/wayland-desktop.sh" stop "$work/wayland"; cleanup' EXIT
unset DISPLAY
set -a; . "$work/wayland/env"; set +a
sleep 1
sway_pid=$(pgrep -n -f "sway -c $work/wayland/sway.conf")
TOVO_AUDIO=0 "$root/build/tovo-control" --socket "$work/tovo.sock" 2>"$work/tovo.log" &
service_pid=$!
pids+=($service_pid)
wait_socket "$work/tovo.sock"
sleep 1

cpu() {  # cpu PID: user + system seconds so far
  awk -v t="$(getconf CLK_TCK)" '{ split($0, a, ") "); split(a[2], f, " "); printf "%.3f\n", (f[12] + f[13]) / t }' \
    "/proc/$1/stat"
}
median_ms() {  # median_ms FILE_OF_MICROSECONDS
  sort -n "$1" | awk '{ v[NR] = $1 } END { printf "%.1f", v[int((NR + 1) / 2)] / 1000 }'
}
time_runs() {  # time_runs FILE COMMAND...
  local out=$1; shift
  : > "$out"
  for _ in $(seq "$stills"); do
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1
    t1=$(date +%s%N)
    echo "$(( (t1 - t0) / 1000 ))" >> "$out"
  done
}

echo "== stills, $stills each, a quiet screen (one terminal)"
time_runs "$work/frame.us" curl -s --unix-socket "$work/tovo.sock" -o /dev/null "http://x/frame?maxWidth=1920&quality=70"
# Debian's grim writes no JPEG: raw PPM (capture alone, no encoding) and PNG at its fastest
# compression stand beside it.
time_runs "$work/grim.us" grim -t ppm "$work/grim.ppm"
time_runs "$work/grim-png.us" grim -t png -l 1 "$work/grim.png"
frame_ms=$(median_ms "$work/frame.us")
grim_ms=$(median_ms "$work/grim.us")
grim_png_ms=$(median_ms "$work/grim-png.us")

echo "== stream on the quiet screen: the service's CPU after the first 3 s, for ${seconds} s"
still_cpu=$(python3 - "$work/tovo.sock" "$service_pid" "$seconds" <<'PY'
import os, socket, sys, threading, time
path, pid, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
def cpu():
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
s = socket.socket(socket.AF_UNIX)
s.connect(path)
s.sendall(b"GET /stream?fps=30&maxWidth=1920 HTTP/1.1\r\nHost: x\r\nAccept: application/vnd.tovo-control.stream\r\n\r\n")
threading.Thread(target=lambda: [None for _ in iter(lambda: s.recv(65536), b"")], daemon=True).start()
time.sleep(3)
c0 = cpu()
time.sleep(seconds)
print(f"{(cpu() - c0) / seconds:.3f}")
PY
)

echo "== stream, ${seconds} s, a terminal scrolling text over the whole screen"
swaymsg -q "[app_id=bench] kill" || true
swaymsg -q exec "foot -a scroll $work/scroll.sh"
sleep 2
sway0=$(cpu "$sway_pid")
measured=$(python3 "$root/bench/stream_client.py" "$work/tovo.sock" "/stream?fps=30&maxWidth=1920" "$seconds" "$service_pid")
sway1=$(cpu "$sway_pid")
service_fps=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["parts_per_s"])' "$measured")
service_cpu=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["cpu_per_s"])' "$measured")

# The peer: grim's pictures one after another (as fast as grim makes them, at most 30 a
# second) into ffmpeg, for the same time; bash's `time` counts grim's and ffmpeg's CPU.
frames=$((seconds * 30))
sway2=$(cpu "$sway_pid")
TIMEFORMAT='%R %U %S'
{ time (
  start=$(date +%s%N)
  for i in $(seq "$frames"); do
    grim -t ppm - 2>/dev/null
    echo "$i" > "$work/peer.count"
    now=$(date +%s%N)
    (( now - start > seconds * 1000000000 )) && break
  done | ffmpeg -nostdin -loglevel error -f image2pipe -c:v ppm -framerate 30 -i - -c:v libx264 -preset ultrafast \
    -tune zerolatency -b:v 3500k -f h264 - | wc -c > "$work/peer.bytes"
) ; } 2> "$work/peer.time"
sway3=$(cpu "$sway_pid")
read -r peer_wall peer_user peer_sys < "$work/peer.time"
peer_pictures=$(cat "$work/peer.count")
python3 - "$still_cpu" "$frame_ms" "$grim_ms" "$grim_png_ms" "$service_fps" "$service_cpu" "$seconds" "$peer_wall" "$peer_user" "$peer_sys" \
  "$peer_pictures" "$sway0" "$sway1" "$sway2" "$sway3" <<'PY'
import sys
(still_cpu, frame_ms, grim_ms, grim_png_ms, fps, cpu_per_s, seconds, peer_wall, peer_user, peer_sys, peer_pictures,
 s0, s1, s2, s3) = sys.argv[1:]
frame_ms, grim_ms, grim_png_ms, fps, cpu_per_s, seconds = map(
    float, (frame_ms, grim_ms, grim_png_ms, fps, cpu_per_s, seconds))
peer_wall, peer_cpu, peer_pictures = float(peer_wall), float(peer_user) + float(peer_sys), int(peer_pictures)
ours = cpu_per_s / fps * 1000 if fps else float("nan")
theirs = peer_cpu / peer_pictures * 1000 if peer_pictures else float("nan")
sway_ours = (float(s1) - float(s0)) / seconds
sway_theirs = (float(s3) - float(s2)) / peer_wall
print()
print("| | tovo-control | peer | ratio |")
print("|---|---|---|---|")
print(f"| still, median ms, 1920×1080 (ours: JPEG q70) | {frame_ms:.1f} | {grim_ms:.1f} (grim, PPM) | {frame_ms / grim_ms:.2f}× |")
print(f"| | | {grim_png_ms:.1f} (grim, PNG -l 1) | {frame_ms / grim_png_ms:.2f}× |")
print(f"| stream on a quiet screen, service CPU s/s | {float(still_cpu):.3f} | | |")
print(f"| stream pictures/s | {fps:.1f} | {peer_pictures / peer_wall:.1f} (grim → ffmpeg) | |")
print(f"| CPU ms per picture (capture + encode) | {ours:.1f} | {theirs:.1f} | {ours / theirs:.2f}× |")
print(f"| sway's CPU, s/s | {sway_ours:.2f} | {sway_theirs:.2f} | |")
PY
