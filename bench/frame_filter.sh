#!/usr/bin/env bash
# GET /frame with app filters beside the plain picture, same desktop, same run: a terminal
# full of text and an image (1920×1080, maxWidth 1280, quality 70). Composed pictures
# (visible=, hide=) on the usual server; the covering masks on a second server started
# without the Composite extension. One client, requests back to back for SECONDS each.
#   bench/frame_filter.sh [SECONDS]
set -euo pipefail
seconds=${1:-5}
. "$(dirname "$0")/lib.sh"

desktop_with_content() {  # desktop_with_content DIR
  "$root/scripts/virtual-desktop.sh" start "$1" >/dev/null
  set -a; . "$1/env"; set +a
  still_content
  sleep 2
}

load() {  # load SOCKET LABEL QUERY
  "$root/build/bench/http_load" --socket "$1" --clients 1 --seconds "$seconds" \
    --path "/frame?maxWidth=1280&quality=70$3" --label "$2" | tee -a "$work/results.jsonl"
}

export TOVO_SCREEN=1920x1080x24
desktop_with_content "$work/desktop"
start_service
load "$work/tovo.sock" "plain" ""
load "$work/tovo.sock" "visible=xterm (composed)" "&visible=xterm"
load "$work/tovo.sock" "hide=display (composed)" "&hide=Display"

TOVO_XVFB_ARGS="-extension Composite" desktop_with_content "$work/plain-desktop"
"$root/build/tovo-control" --socket "$work/masks.sock" 2>"$work/masks.log" &
pids+=($!)
wait_socket "$work/masks.sock"
load "$work/masks.sock" "plain, no Composite" ""
load "$work/masks.sock" "hide=display (masks)" "&hide=Display"
curl -s -D - -o /dev/null --unix-socket "$work/masks.sock" "http://x/frame?hide=Display" | grep -i x-frame-filter
"$root/scripts/virtual-desktop.sh" stop "$work/plain-desktop" >/dev/null

/usr/bin/python3 - "$work/results.jsonl" <<'PY'
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1]) if line.strip()]
by = {r["label"]: r["p50_us"] / 1000 for r in rows}
print(f"ratio p50: visible/plain {by['visible=xterm (composed)'] / by['plain']:.2f}x, "
      f"hide/plain {by['hide=display (composed)'] / by['plain']:.2f}x, "
      f"masks/plain (no Composite) {by['hide=display (masks)'] / by['plain, no Composite']:.2f}x")
PY
