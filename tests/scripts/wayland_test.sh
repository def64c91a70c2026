#!/usr/bin/env bash
# The service on a headless sway (the wlroots platform, chosen by itself), checked with
# grim, wl-copy, wl-paste, swaymsg and ffprobe: pictures, a stream, clicks that move focus,
# Unicode typed into a terminal, the window list, the clipboard both ways, the banner.
#   wayland_test.sh BUILD_DIR
set -euo pipefail
build=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
dir=$(mktemp -d /tmp/tovo-wayland-test-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  "$root/scripts/wayland-desktop.sh" stop "$dir/desktop" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
# The terminals run as sway's user: what they write goes to a folder every user may write.
chmod 755 "$dir"
mkdir -m 777 "$dir/shared"
cat > "$dir/reader.sh" <<'EOF'
#!/bin/sh
# Writes every line typed into this terminal to $1, one after another.
while IFS= read -r line; do printf '%s\n' "$line" >> "$1"; done
EOF
chmod 755 "$dir/reader.sh"
TOVO_SCREEN=1280x720 TOVO_WAYLAND_EXEC="foot -a first -T First $dir/reader.sh $dir/shared/typed.txt" \
  "$root/scripts/wayland-desktop.sh" start "$dir/desktop"
unset DISPLAY
set -a
. "$dir/desktop/env"
set +a
swaymsg -q exec "foot -a second -T Second"
for _ in $(seq 100); do
  [[ $(swaymsg -t get_tree | grep -c '"app_id": "\(first\|second\)"') -eq 2 ]] && break
  sleep 0.1
done
sleep 0.5  # both terminals drew their first picture

TOVO_AUDIO=0 "$build/tovo-control" --socket "$dir/screen.sock" > "$dir/service.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -S "$dir/screen.sock" ]] && break; sleep 0.1; done

status=0
python3 "$root/tests/support/wayland_checks.py" "$dir/screen.sock" "$dir" || status=$?
if [[ $status -ne 0 ]]; then
  echo "--- service log"; tail -40 "$dir/service.log"
  echo "--- sway log"; tail -20 "$dir/desktop/sway.log"
fi
exit $status
