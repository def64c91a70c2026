#!/usr/bin/env bash
# A private headless Wayland desktop: sway on its headless backend (software rendering),
# with one terminal (foot), in a runtime directory of its own.
#
#   wayland-desktop.sh start DIR   starts it, writes DIR/env (WAYLAND_DISPLAY, XDG_RUNTIME_DIR, SWAYSOCK)
#   wayland-desktop.sh stop DIR    stops what start began
#
# sway refuses to run as root: run by root, it runs as the user tovo-wayland (made when
# missing), and root, which may open any socket, talks to it as a client. TOVO_SCREEN sets
# the output (default 1920x1080); TOVO_WAYLAND_EXEC replaces the terminal's command line.
set -euo pipefail

command=${1:-}
dir=${2:-}
[[ -n "$command" && -n "$dir" ]] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }

wait_for() {  # wait_for SECONDS TEST...
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    (( SECONDS < deadline )) || return 1
    sleep 0.05
  done
}

stop() {
  [[ -f "$dir/sway.pid" ]] || return 0
  local pid
  pid=$(cat "$dir/sway.pid")
  # sway's own children (the terminals) go with its process group.
  kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true
  for _ in $(seq 50); do
    [[ "$(ps -o stat= -p "$pid" 2>/dev/null)" == [^Z]* ]] || break
    sleep 0.05
  done
  kill -9 -- "-$pid" 2>/dev/null || true
  rm -f "$dir/sway.pid"
}

case "$command" in
start)
  mkdir -p "$dir"
  rm -f "$dir/env"
  as=()
  user=$(id -un)
  if [[ $(id -u) -eq 0 ]]; then
    user=tovo-wayland
    id "$user" >/dev/null 2>&1 || useradd --system --create-home --shell /usr/sbin/nologin "$user"
    as=(runuser -u "$user" --)
  fi
  runtime="$dir/runtime"
  rm -rf "$runtime"
  mkdir -p -m 700 "$runtime"
  chown "$user" "$runtime"
  chmod 755 "$dir"
  size=${TOVO_SCREEN:-1920x1080}
  size=${size%x24}
  terminal=${TOVO_WAYLAND_EXEC:-foot}
  cat > "$dir/sway.conf" <<EOF
output HEADLESS-1 resolution $size position 0 0
default_border none
focus_follows_mouse no
exec $terminal
EOF
  chmod 644 "$dir/sway.conf"
  # setsid: a process group of its own, which "stop" ends whole, and a life beyond the
  # caller's.
  setsid "${as[@]}" env -i PATH="$PATH" HOME="/tmp" SHELL=/bin/bash XDG_RUNTIME_DIR="$runtime" WLR_BACKENDS=headless \
    WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 LANG=C.UTF-8 sway -c "$dir/sway.conf" >"$dir/sway.log" 2>&1 &
  echo $! > "$dir/sway.pid"
  if ! wait_for 20 test -S "$runtime/wayland-1"; then
    echo "wayland-desktop: sway did not start:" >&2; cat "$dir/sway.log" >&2; stop; exit 1
  fi
  swaysock=""
  wait_for 10 compgen -G "$runtime/sway-ipc.*.sock" >/dev/null || true
  swaysock=$(compgen -G "$runtime/sway-ipc.*.sock" | head -n 1 || true)
  {
    echo "WAYLAND_DISPLAY=$runtime/wayland-1"
    echo "XDG_RUNTIME_DIR=$runtime"
    echo "SWAYSOCK=$swaysock"
    echo "XDG_SESSION_TYPE=wayland"
  } > "$dir/env"
  ;;
stop)
  stop
  ;;
*)
  echo "usage: $0 start|stop DIR" >&2
  exit 2
  ;;
esac
