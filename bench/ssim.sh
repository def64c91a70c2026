#!/usr/bin/env bash
# Picture quality of the stream's encoding beside ffmpeg's at the same bit rate: 90 pictures
# of a terminal scrolling text over a 1920×1080 desktop are captured raw by ffmpeg x11grab,
# then encoded (1) as the service does (bench/encode_file: the capture path's BT.709
# conversion and the service's libx264 session, at its constant quality under the bit-rate
# ceiling), (2) the same with the previous average rate control, and (3) by ffmpeg with
# libx264 ultrafast, zerolatency at the same bit rate; all decoded and compared with the raw
# pictures by ffmpeg's ssim filter.
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

"$root/build/bench/encode_file" "$work/raw.bgrx" 1920 1080 "$fps" "$kbps" "$work/tovo.h264" quality 2>/dev/null
"$root/build/bench/encode_file" "$work/raw.bgrx" 1920 1080 "$fps" "$kbps" "$work/average.h264" average 2>/dev/null
ffmpeg -nostdin -loglevel error "${raw[@]}" -vf scale=out_color_matrix=bt709:out_range=tv -pix_fmt yuv420p \
  -c:v libx264 -preset ultrafast -tune zerolatency -b:v "${kbps}k" -maxrate "$((kbps * 3 / 2))k" \
  -bufsize "$((kbps * 3 / 2))k" -f h264 "$work/ffmpeg.h264"

# The ssim filter pairs pictures by time, and a raw H.264 file's times are not the capture's:
# both sides are numbered picture by picture at the capture rate, so picture n meets picture n.
index="setpts=N/($fps*TB)"
ssim() {  # ssim FILE FILTERGRAPH → "All" SSIM of the decoded FILE ([0:v]) against the raw pictures ([1:v])
  ffmpeg -nostdin -loglevel info -i "$1" "${raw[@]}" -lavfi "$2" -f null - 2>&1 |
    sed -n 's/.*All:\([0-9.]*\).*/\1/p' | tail -n 1
}
# Against the captured pictures themselves: each stream decoded to RGB (BT.709 studio range,
# as tagged) beside the raw BGRX.
rgb="[0:v]$index,scale=in_color_matrix=bt709:in_range=tv:flags=accurate_rnd+full_chroma_int,format=gbrp[dec];"
rgb+="[1:v]$index,format=gbrp[ref];[dec][ref]ssim"
# Against the raw pictures converted to YUV by swscale, which is ffmpeg's own encoder input
# and so leans its way.
yuv="[0:v]$index[dec];[1:v]$index,scale=out_color_matrix=bt709:out_range=tv,format=yuv420p[ref];[dec][ref]ssim"
size() { stat -c %s "$1"; }
tovo=$(ssim "$work/tovo.h264" "$rgb")
peer=$(ssim "$work/ffmpeg.h264" "$rgb")
average=$(ssim "$work/average.h264" "$rgb")
tovo_yuv=$(ssim "$work/tovo.h264" "$yuv")
peer_yuv=$(ssim "$work/ffmpeg.h264" "$yuv")
echo "{\"pictures\": $frames, \"kbps\": $kbps, \"tovo_ssim\": $tovo, \"ffmpeg_ssim\": $peer, \"tovo_ssim_vs_swscale_yuv\": $tovo_yuv, \"ffmpeg_ssim_vs_swscale_yuv\": $peer_yuv, \"tovo_bytes\": $(size "$work/tovo.h264"), \"average_ssim\": $average, \"average_bytes\": $(size "$work/average.h264"), \"ffmpeg_bytes\": $(size "$work/ffmpeg.h264")}"
/usr/bin/python3 -c "import sys; t, p = float(sys.argv[1]), float(sys.argv[2]); print(f'SSIM against the captured pictures: tovo-control {t:.4f} vs ffmpeg {p:.4f} ({\"not below\" if t >= p else \"BELOW\"} ffmpeg)')" "$tovo" "$peer"
