#!/usr/bin/env bash
# Installs what is missing, builds, and runs the service in the foreground on the user's
# X display, or on a private headless desktop (Xvfb 1920x1080 + openbox) when there is none.
# Ctrl-C stops it. Arguments after the script name go to the service, e.g. --remote.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"

home=${TOVO_HOME:-${XDG_DATA_HOME:-$HOME/.local/share}/tovo-control}
mkdir -p "$home"
chmod 700 "$home"
socket="$home/screen.sock"

if [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
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
