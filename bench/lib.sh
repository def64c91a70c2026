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
