#!/usr/bin/env bash
# Installs what is missing, builds, and runs the service in the foreground on the user's
# desktop (X11, or a wlroots Wayland compositor such as sway), or on a private headless
# desktop when there is none: Xvfb 1920x1080 + openbox, or with --wayland a headless sway
# with a terminal. Ctrl-C stops it. Further arguments go to the service, e.g. --remote.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
wayland=0
if [[ "${1:-}" == "--wayland" ]]; then
  wayland=1
  shift
fi
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"

home=${TOVO_HOME:-${XDG_DATA_HOME:-$HOME/.local/share}/tovo-control}
mkdir -p "$home"
chmod 700 "$home"
socket="$home/screen.sock"

if [[ $wayland -eq 1 ]]; then
  state=$(mktemp -d /tmp/tovo-wayland-XXXXXX)
  TOVO_SCREEN=1920x1080 "$root/scripts/wayland-desktop.sh" start "$state"
  trap '"$root/scripts/wayland-desktop.sh" stop "$state"; rm -rf "$state"' EXIT
  unset DISPLAY
  set -a
  . "$state/env"
  set +a
  echo "started a headless sway (1920x1080, a foot terminal) on WAYLAND_DISPLAY=$WAYLAND_DISPLAY"
  echo "see it:  WAYLAND_DISPLAY=$WAYLAND_DISPLAY XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR grim shot.png"
elif [[ -n "${WAYLAND_DISPLAY:-}" && -z "${DISPLAY:-}" ]]; then
  echo "using the Wayland desktop on WAYLAND_DISPLAY=$WAYLAND_DISPLAY"
elif [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
  echo "using the desktop on DISPLAY=$DISPLAY"
else
  state=$(mktemp -d /tmp/tovo-desktop-XXXXXX)
  TOVO_SCREEN=1920x1080x24 "$root/scripts/virtual-desktop.sh" start "$state"
  trap '"$root/scripts/virtual-desktop.sh" stop "$state"; rm -rf "$state"' EXIT
  set -a
  . "$state/env"
  set +a
  echo "started a headless desktop (Xvfb 1920x1080, openbox) on DISPLAY=$DISPLAY"
fi

echo "socket: $socket"
echo "try:    curl --unix-socket $socket http://x/status"
# Further arguments (--remote, --exit-on-stdin-eof) go to the service.
"$root/build/tovo-control" --socket "$socket" "$@"
