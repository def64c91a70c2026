#!/usr/bin/env bash
# Which filter to scale pictures with: the frame benchmark's desktop (a terminal of text and
# an image, 1920×1080) brought to 1600 (1.2×, streams' default width), 1280 (1.5×) and 640
# (3×) wide by libyuv's box and bilinear filters (and the cheaper linear and nearest-pixel
# ones), each compared by ffmpeg's SSIM with a Lanczos reduction of the same picture, and
# timed. (libyuv's box filter scales by bilinear filtering below 2×.) Prints a table.
#   bench/scale_quality.sh
set -euo pipefail
. "$(dirname "$0")/lib.sh"
start_desktop
still_content
sleep 2
ffmpeg -nostdin -loglevel error -f x11grab -video_size 1920x1080 -i "$DISPLAY" -frames:v 1 -f rawvideo -pix_fmt bgr0 "$work/full.bgrx"
echo "| size | filter | ms per picture | SSIM against Lanczos |"
echo "|---|---|---|---|"
for size in 1600x900 1280x720 640x360; do
  w=${size%x*}; h=${size#*x}
  times=$("$root/build/bench/scale_quality" "$work/full.bgrx" 1920 1080 "$w" "$h" "$work/small")
  ffmpeg -nostdin -loglevel error -f rawvideo -pix_fmt bgr0 -video_size 1920x1080 -i "$work/full.bgrx" \
    -vf "scale=$w:$h:flags=lanczos" -f rawvideo -pix_fmt bgr0 -y "$work/lanczos.bgrx"
  for f in box bilinear linear none; do
    s=$(ffmpeg -nostdin -loglevel info -f rawvideo -pix_fmt bgr0 -video_size "$size" -i "$work/small.$f" \
          -f rawvideo -pix_fmt bgr0 -video_size "$size" -i "$work/lanczos.bgrx" -lavfi ssim -f null - 2>&1 |
        sed -n 's/.*All:\([0-9.]*\).*/\1/p' | tail -n 1)
    ms=$(python3 -c 'import json,sys; print("%.2f" % json.loads(sys.argv[1])[sys.argv[2] + "_ms"])' "$times" "$f")
    echo "| $size | $f | $ms | $s |"
  done
done
