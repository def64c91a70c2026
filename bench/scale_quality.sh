#!/usr/bin/env bash
# Which filter to scale stills with: the frame benchmark's desktop (a terminal of text and an
# image, 1920×1080) brought to 1280 (1.5×) and 640 (3×) wide by libyuv's box and bilinear
# filters (and the cheaper linear and nearest-pixel ones), each compared by ffmpeg's SSIM with a Lanczos reduction of the same picture, and
# timed.
#   bench/scale_quality.sh
set -euo pipefail
. "$(dirname "$0")/lib.sh"
start_desktop
still_content
sleep 2
ffmpeg -nostdin -loglevel error -f x11grab -video_size 1920x1080 -i "$DISPLAY" -frames:v 1 -f rawvideo -pix_fmt bgr0 "$work/full.bgrx"
for size in 1280x720 640x360; do
  w=${size%x*}; h=${size#*x}
  times=$("$root/build/bench/scale_quality" "$work/full.bgrx" 1920 1080 "$w" "$h" "$work/small")
  ffmpeg -nostdin -loglevel error -f rawvideo -pix_fmt bgr0 -video_size 1920x1080 -i "$work/full.bgrx" \
    -vf "scale=$w:$h:flags=lanczos" -f rawvideo -pix_fmt bgr0 -y "$work/lanczos.bgrx"
  line="$size $times"
  for f in box bilinear linear none; do
    s=$(ffmpeg -nostdin -loglevel info -f rawvideo -pix_fmt bgr0 -video_size "$size" -i "$work/small.$f" \
          -f rawvideo -pix_fmt bgr0 -video_size "$size" -i "$work/lanczos.bgrx" -lavfi ssim -f null - 2>&1 |
        sed -n 's/.*All:\([0-9.]*\).*/\1/p' | tail -n 1)
    line="$line $f-ssim=$s"
  done
  echo "$line"
done
