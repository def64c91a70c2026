#!/usr/bin/env bash
# A private DNS-SD responder for tests: a system-type D-Bus of its own and avahi-daemon
# confined to the loopback interface (IPv4 only), so that nothing is announced on a real
# network.
#
#   avahi-loopback.sh start DIR   starts them, writes DIR/env (DBUS_SYSTEM_BUS_ADDRESS=…)
#   avahi-loopback.sh stop DIR    stops what start began
#
# avahi-daemon keeps its pid file in a fixed place, so only one runs on a machine: start
# fails (exit 3) when another one is running already.
set -euo pipefail
command=${1:-}
dir=${2:-}
[[ -n "$command" && -n "$dir" ]] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }

stop() {
  local f
  for f in "$dir"/avahi.pid "$dir"/bus.pid; do
    [[ -f "$f" ]] || continue
    kill "$(cat "$f")" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$(cat "$f")" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$(cat "$f")" 2>/dev/null || true
    rm -f "$f"
  done
}

case "$command" in
start)
  mkdir -p "$dir"
  rm -f "$dir/env" "$dir/bus.address"
  if avahi-daemon --check 2>/dev/null; then echo "avahi-loopback: an avahi-daemon is running already" >&2; exit 3; fi
  cat > "$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/system_bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
  cat > "$dir/avahi.conf" <<CONF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
  : > "$dir/bus.address"
  setsid dbus-daemon --config-file="$dir/bus.conf" --nofork --print-address=3 3>"$dir/bus.address" >"$dir/bus.log" 2>&1 &
  echo $! > "$dir/bus.pid"
  for _ in $(seq 200); do [[ -s "$dir/bus.address" ]] && break; sleep 0.05; done
  [[ -s "$dir/bus.address" ]] || { echo "avahi-loopback: dbus-daemon did not start" >&2; cat "$dir/bus.log" >&2; stop; exit 1; }
  bus=$(head -n1 "$dir/bus.address")
  DBUS_SYSTEM_BUS_ADDRESS=$bus setsid avahi-daemon -f "$dir/avahi.conf" --no-drop-root --no-chroot --no-rlimits \
    >"$dir/avahi.log" 2>&1 &
  echo $! > "$dir/avahi.pid"
  for _ in $(seq 200); do grep -q "Server startup complete" "$dir/avahi.log" && break; sleep 0.05; done
  grep -q "Server startup complete" "$dir/avahi.log" || { echo "avahi-loopback: avahi-daemon did not start" >&2; cat "$dir/avahi.log" >&2; stop; exit 1; }
  printf 'DBUS_SYSTEM_BUS_ADDRESS=%s\n' "$bus" > "$dir/env"
  ;;
stop)
  stop ;;
*)
  echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
