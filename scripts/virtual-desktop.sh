#!/usr/bin/env bash
# A private headless desktop: Xvfb on a free display number, a D-Bus session bus, openbox
# as the window manager and a PulseAudio server whose only output is a null sink.
#
#   virtual-desktop.sh start DIR   starts them, writes DIR/env (DISPLAY=…, DBUS_SESSION_BUS_ADDRESS=…)
#   virtual-desktop.sh stop DIR    stops what start began
#   virtual-desktop.sh restart-sound DIR   kills the sound server and starts a new one
#
# TOVO_SCREEN sets the screen (default 1920x1080x24); TOVO_XVFB_ARGS adds Xvfb options (for
# example "-extension Composite" for a server that cannot compose windows).
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
  local f pid
  for f in "$dir"/pulse.pid "$dir"/openbox.pid "$dir"/dbus.pid "$dir"/xvfb.pid; do
    [[ -f "$f" ]] || continue
    pid=$(cat "$f")
    kill "$pid" 2>/dev/null || true
    # Gone, or a zombie that whoever adopted it has not reaped yet.
    for _ in $(seq 50); do
      [[ "$(ps -o stat= -p "$pid" 2>/dev/null)" == [^Z]* ]] || break
      sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$f"
  done
}

# Sound: a PulseAudio server of this desktop's own (its socket in the private runtime
# directory) with a 48 kHz null sink as the default output.
start_sound() {  # start_sound BUS
  mkdir -p "$dir/pulse-home"
  HOME="$dir/pulse-home" DBUS_SESSION_BUS_ADDRESS=$1 setsid pulseaudio -n --daemonize=no --system=no \
    --exit-idle-time=-1 --use-pid-file=no \
    --load="module-null-sink sink_name=tovo_null rate=48000 sink_properties=device.description=Null-Output" \
    --load="module-native-protocol-unix" >"$dir/pulse.log" 2>&1 &
  echo $! > "$dir/pulse.pid"
  if ! wait_for 20 pactl info >/dev/null 2>&1; then
    echo "virtual-desktop: pulseaudio did not start:" >&2; cat "$dir/pulse.log" >&2; stop; exit 1
  fi
}

case "$command" in
start)
  mkdir -p "$dir"
  # State files of an earlier run are emptied first, so that the waits below see only what
  # this run's processes write.
  rm -f "$dir/env"
  : > "$dir/display"
  : > "$dir/bus.address"
  # -displayfd makes Xvfb pick a free display number and report it once it accepts clients.
  # setsid keeps the desktop out of the caller's process group, so that it lives on until
  # "stop" however the caller ends.
  # shellcheck disable=SC2086 # the extra options are words
  setsid Xvfb -displayfd 3 -screen 0 "${TOVO_SCREEN:-1920x1080x24}" -nolisten tcp -noreset ${TOVO_XVFB_ARGS:-} \
    3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
  echo $! > "$dir/xvfb.pid"
  if ! wait_for 20 test -s "$dir/display"; then
    echo "virtual-desktop: Xvfb did not start:" >&2; cat "$dir/xvfb.log" >&2; stop; exit 1
  fi
  display=":$(tr -d '[:space:]' < "$dir/display")"

  # A runtime directory of its own, so that the accessibility bus and other per-session
  # sockets that the session bus starts never meet those of another desktop.
  mkdir -p -m 700 "$dir/runtime"
  export XDG_RUNTIME_DIR="$dir/runtime"

  setsid dbus-daemon --session --nofork --address="unix:path=$dir/bus" --print-address=3 \
    3>"$dir/bus.address" >"$dir/dbus.log" 2>&1 &
  echo $! > "$dir/dbus.pid"
  if ! wait_for 10 test -s "$dir/bus.address"; then
    echo "virtual-desktop: dbus-daemon did not start:" >&2; cat "$dir/dbus.log" >&2; stop; exit 1
  fi
  bus=$(head -n1 "$dir/bus.address")

  DISPLAY=$display DBUS_SESSION_BUS_ADDRESS=$bus setsid openbox --sm-disable >"$dir/openbox.log" 2>&1 &
  echo $! > "$dir/openbox.pid"
  # openbox is managing once it has published its supporting-WM window.
  if ! wait_for 20 bash -c "DISPLAY=$display xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'"; then
    echo "virtual-desktop: openbox did not start:" >&2; cat "$dir/openbox.log" >&2; stop; exit 1
  fi

  start_sound "$bus"

  printf 'DISPLAY=%s\nDBUS_SESSION_BUS_ADDRESS=%s\nXDG_RUNTIME_DIR=%s\n' "$display" "$bus" "$XDG_RUNTIME_DIR" > "$dir/env"
  ;;
stop)
  stop
  ;;
restart-sound)
  export XDG_RUNTIME_DIR="$dir/runtime"
  kill -9 "$(cat "$dir/pulse.pid")" 2>/dev/null || true
  wait_for 10 bash -c "! pactl info >/dev/null 2>&1"
  start_sound "$(head -n1 "$dir/bus.address")"
  ;;
*)
  echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
