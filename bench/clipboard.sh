#!/usr/bin/env bash
# Clipboard latency on a headless desktop: from xclip setting the clipboard to the /events
# clipboard line, and from POST /clipboard returning to xclip -o printing the text; beside
# the peer's own round trip (xclip -i, then xclip -o seeing it) in the same run.
#   bench/clipboard.sh [ROUNDS]
set -euo pipefail
rounds=${1:-30}
. "$(dirname "$0")/lib.sh"
start_desktop
start_service
/usr/bin/python3 - "$work/tovo.sock" "$rounds" <<'PY'
import json, random, socket, subprocess, sys, time

sock, rounds = sys.argv[1], int(sys.argv[2])

def copy(text):
    p = subprocess.Popen(["xclip", "-quiet", "-selection", "clipboard"], stdin=subprocess.PIPE,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    p.stdin.write(text.encode()); p.stdin.close()
    return p

def paste():
    return subprocess.run(["xclip", "-o", "-selection", "clipboard"], capture_output=True, text=True).stdout

def p(values, q):
    v = sorted(values); return v[min(len(v) - 1, int(q * len(v)))] * 1000

feed = socket.socket(socket.AF_UNIX); feed.connect(sock)
feed.sendall(b"GET /events HTTP/1.1\r\n\r\n")
reader = feed.makefile("rb")
while reader.readline().strip():  # the response head
    pass
reader.readline()  # the state line

to_event, to_xclip, peer = [], [], []
owners = []
for i in range(rounds):
    text = f"round {i} {time.time()}"
    time.sleep(random.random() * 0.5)  # not in step with the monitor's polls
    start = time.monotonic()
    owners.append(copy(text))
    while True:
        line = json.loads(reader.readline())
        if line.get("type") == "clipboard" and line.get("preview") == text:
            break
    to_event.append(time.monotonic() - start)

    body = json.dumps({"text": f"posted {i}", "source": "agent"}).encode()
    api = socket.socket(socket.AF_UNIX); api.connect(sock)
    api.sendall(b"POST /clipboard HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
    while api.recv(65536):
        pass
    start = time.monotonic()
    while paste() != f"posted {i}":
        pass
    to_xclip.append(time.monotonic() - start)

    start = time.monotonic()
    owners.append(copy(f"peer {i}"))
    while paste() != f"peer {i}":
        pass
    peer.append(time.monotonic() - start)
for o in owners:
    o.kill()

print(f"xclip copy -> /events line : p50 {p(to_event, .5):7.1f} ms  p99 {p(to_event, .99):7.1f} ms (the monitor polls every 500 ms)")
print(f"POST /clipboard -> xclip -o: p50 {p(to_xclip, .5):7.1f} ms  p99 {p(to_xclip, .99):7.1f} ms")
print(f"peer xclip -i -> xclip -o  : p50 {p(peer, .5):7.1f} ms  p99 {p(peer, .99):7.1f} ms")
print(f"ratio POST->xclip / peer p50: {p(to_xclip, .5) / p(peer, .5):.2f}x")
PY
