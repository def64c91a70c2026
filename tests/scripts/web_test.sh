#!/usr/bin/env bash
# The browser client in Debian's chromium (playwright-core from tests/web, installed by the
# test command) against a service with --remote on a private headless desktop.
#   web_test.sh BUILD_DIR
set -euo pipefail
build=$1
. "$(dirname "$0")/desktop.sh"
# A red witness window at (400, 300), 800×400: the picture must show it, and it reports the clicks it gets.
# It lives while this script holds its input open.
mkfifo "$dir/witness.in"
"$build/tests/color_window" 400 300 800 400 ff0000 < "$dir/witness.in" > "$dir/witness.log" 2>&1 &
pids+=($!)
exec 4> "$dir/witness.in"
for _ in $(seq 100); do grep -q mapped "$dir/witness.log" 2>/dev/null && break; sleep 0.1; done
# A typing witness at (1300, 100), 500×200: its entry (the top 40 pixels) reports its text.
/usr/bin/python3 "$root/tests/support/input_probe.py" 1300 100 500 200 > "$dir/typing.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q '"ready"' "$dir/typing.log" 2>/dev/null && break; sleep 0.1; done
# A notification server: it logs the pairing notices and presses "Remove" on those that name "Remove me".
/usr/bin/python3 "$root/tests/support/fake_notifications.py" "Remove me" > "$dir/notices.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$dir/notices.log" 2>/dev/null && break; sleep 0.1; done
# A 1 kHz tone on the desktop's sound output, for the page to hear.
pactl load-module module-sine frequency=1000 > /dev/null
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
echo "{\"port\": $port, \"serverId\": \"web-test-server-01\"}" > "$dir/remote.json"
"$build/tovo-control" --remote --socket "$dir/screen.sock" > "$dir/service.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -S "$dir/screen.sock" ]] && break; sleep 0.1; done
local() { curl -s --unix-socket "$dir/screen.sock" "$@"; }
offer=$(local -X POST http://x/remote/pairing)
for _ in $(seq 50); do local http://x/remote | grep -q '"listening":true' && break; sleep 0.1; done
# The link names the machine's own address; the test reaches the same listener on loopback.
url=$(/usr/bin/python3 -c 'import json, sys, urllib.parse as u
link = u.urlsplit(json.loads(sys.argv[1])["pairing"]["webUrl"])
print(u.urlunsplit(("https", "127.0.0.1:%d" % link.port, link.path, link.query, link.fragment)))' "$offer")
# The link's fingerprint is the certificate's SHA-256, as openssl (and a browser's certificate view) reads it.
served=$(openssl s_client -connect "127.0.0.1:$port" </dev/null 2>/dev/null | openssl x509 -noout -fingerprint -sha256 |
  sed 's/.*=//; s/://g' | tr 'A-F' 'a-f')
linked=$(sed 's/.*[#&]fp=\([0-9a-f]*\).*/\1/' <<<"$url")
if [[ -z "$served" || "$served" != "$linked" ]]; then
  echo "FAIL the link's fingerprint '$linked' is not the served certificate's '$served'"
  exit 1
fi
echo "ok   the link's fingerprint is the served certificate's SHA-256"
status=0
node "$root/tests/web/web_test.mjs" "$url" "$dir/screen.sock" "$dir/witness.log" "$dir/typing.log" "$dir/notices.log" ||
  status=$?
if [[ $status -ne 0 ]]; then echo "--- service log"; grep -v "^$" "$dir/service.log" | tail -40; fi
exit $status
