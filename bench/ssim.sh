#!/usr/bin/env bash
# Picture quality of the stream's encoding beside ffmpeg's at the same bit rate: 90 pictures
# of a terminal scrolling text over a 1920×1080 desktop are captured raw by ffmpeg x11grab,
# then encoded (1) as the service does (bench/encode_file: the capture path's BT.709
# conversion and the service's libx264 session) and (2) by ffmpeg with libx264 ultrafast,
# zerolatency at the same bit rate; both decoded and compared with the raw pictures by
# ffmpeg's ssim filter (BT.709 limited range for the reference, as the stream is tagged).
#   bench/ssim.sh [KBPS] [FPS]
set -euo pipefail
kbps=${1:-3500}
fps=${2:-30}
frames=90
. "$(dirname "$0")/lib.sh"
start_desktop
scrolling_content
sleep 2

ffmpeg -nostdin -loglevel error -f x11grab -framerate "$fps" -video_size 1920x1080 -i "$DISPLAY" -frames:v "$frames" \
  -f rawvideo -pix_fmt bgr0 "$work/raw.bgrx"
raw=(-f rawvideo -pix_fmt bgr0 -video_size 1920x1080 -framerate "$fps" -i "$work/raw.bgrx")

"$root/build/bench/encode_file" "$work/raw.bgrx" 1920 1080 "$fps" "$kbps" "$work/tovo.h264" 2>/dev/null
ffmpeg -nostdin -loglevel error "${raw[@]}" -vf scale=out_color_matrix=bt709:out_range=tv -pix_fmt yuv420p \
  -c:v libx264 -preset ultrafast -tune zerolatency -b:v "${kbps}k" -maxrate "$((kbps * 3 / 2))k" \
  -bufsize "$((kbps * 3 / 2))k" -f h264 "$work/ffmpeg.h264"

ssim() {  # ssim FILE → "All" SSIM against the raw pictures, both as BT.709 studio-range YUV
  ffmpeg -nostdin -loglevel info -i "$1" "${raw[@]}" -lavfi \
    "[1:v]scale=out_color_matrix=bt709:out_range=tv,format=yuv420p[ref];[0:v][ref]ssim" -f null - 2>&1 |
    sed -n 's/.*All:\([0-9.]*\).*/\1/p' | tail -n 1
}
size() { stat -c %s "$1"; }
tovo=$(ssim "$work/tovo.h264")
peer=$(ssim "$work/ffmpeg.h264")
echo "{\"pictures\": $frames, \"kbps\": $kbps, \"tovo_ssim\": $tovo, \"tovo_bytes\": $(size "$work/tovo.h264"), \"ffmpeg_ssim\": $peer, \"ffmpeg_bytes\": $(size "$work/ffmpeg.h264")}"
/usr/bin/python3 -c "import sys; t, p = float(sys.argv[1]), float(sys.argv[2]); print(f'SSIM: tovo-control {t:.4f} vs ffmpeg {p:.4f} ({\"not below\" if t >= p else \"BELOW\"} ffmpeg)')" "$tovo" "$peer"
