# Shared by the benchmarks: build, a work directory removed on exit, background processes
# stopped on exit, a private 1920×1080 desktop and a service on it.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/build.sh" "$root/build" >/dev/null
work=$(mktemp -d /tmp/tovo-bench-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  "$root/scripts/virtual-desktop.sh" stop "$work/desktop" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

start_desktop() {
  TOVO_SCREEN=1920x1080x24 "$root/scripts/virtual-desktop.sh" start "$work/desktop"
  set -a; . "$work/desktop/env"; set +a
}

wait_socket() { for _ in $(seq 200); do [[ -S "$1" ]] && return 0; sleep 0.05; done; echo "no socket $1" >&2; exit 1; }

# start_service: tovo-control on $work/tovo.sock, on the current $DISPLAY (if any).
start_service() {
  "$root/build/tovo-control" --socket "$work/tovo.sock" 2>"$work/tovo.log" &
  pids+=($!)
  wait_socket "$work/tovo.sock"
}

# still_content: real content that does not move: a terminal showing a screenful of text on
# the left, a generated image on the right.
still_content() {
  find /usr/include -name '*.h' | head -400 | xargs cat > "$work/text.txt" 2>/dev/null || true
  xterm -geometry 120x70+0+0 -fa Monospace -fs 9 -e "head -n 68 $work/text.txt; sleep 1000" &
  pids+=($!)
  [[ -f "$work/image.png" ]] || convert -size 900x700 plasma:fractal -blur 0x1 "$work/image.png"
  display -geometry +1000+150 "$work/image.png" &
  pids+=($!)
}

# scrolling_content: a terminal scrolling text over the whole screen, as fast as it can.
scrolling_content() {
  find /usr/include -name '*.h' | head -2000 | xargs cat > "$work/scroll.txt" 2>/dev/null || true
  xterm -geometry 240x80+0+0 -fa Monospace -fs 9 -e "while :; do cat $work/scroll.txt; done" &
  pids+=($!)
}
