#!/usr/bin/env bash
# A desktop restarted in the same directory reports its own display and bus, never those
# left in the state files by the run before.
set -euo pipefail
script="$(cd "$(dirname "$0")/../.." && pwd)/scripts/virtual-desktop.sh"
dir=$(mktemp -d /tmp/tovo-desktop-XXXXXX)
trap '"$script" stop "$dir" >/dev/null 2>&1 || true; rm -rf "$dir"' EXIT

check() {
  local DISPLAY DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR
  . "$dir/env"
  [[ "$DBUS_SESSION_BUS_ADDRESS" == "$(head -n1 "$dir/bus.address")" && "$DBUS_SESSION_BUS_ADDRESS" != *stale* ]] ||
    { echo "FAIL: bus address '$DBUS_SESSION_BUS_ADDRESS'"; exit 1; }
  dbus-send --bus="$DBUS_SESSION_BUS_ADDRESS" --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId >/dev/null ||
    { echo "FAIL: the bus in env does not answer"; exit 1; }
  DISPLAY=$DISPLAY xprop -root _NET_SUPPORTING_WM_CHECK >/dev/null || { echo "FAIL: display $DISPLAY"; exit 1; }
}

mkdir -p "$dir"
echo "unix:path=/stale/bus" > "$dir/bus.address"
"$script" start "$dir"
check
for _ in 1 2; do
  echo "unix:path=/stale/bus" > "$dir/bus.address"
  "$script" stop "$dir"
  "$script" start "$dir"
  check
done
echo "PASS"
