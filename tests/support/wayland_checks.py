#!/usr/bin/env python3
"""The wlroots platform's checks, run by tests/scripts/wayland_test.sh against a service on
a headless sway showing two foot terminals: "First" (which writes the lines typed into it
to DIR/shared/typed.txt) and "Second".

  wayland_checks.py SOCKET DIR

Prints one line per check; exits 1 when one failed.
"""
import http.client
import json
import os
import socket
import subprocess
import sys
import time

sock_path, work = sys.argv[1], sys.argv[2]
failures = 0


class UnixConnection(http.client.HTTPConnection):
    def __init__(self):
        super().__init__("localhost", timeout=20)

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.settimeout(20)
        self.sock.connect(sock_path)


def request(method, path, body=None):
    c = UnixConnection()
    headers = {"Content-Type": "application/json"} if body is not None else {}
    c.request(method, path, body=json.dumps(body) if body is not None else None, headers=headers)
    r = c.getresponse()
    data = r.read()
    c.close()
    return r.status, data


def get_json(path):
    return json.loads(request("GET", path)[1])


def post(path, body):
    status, data = request("POST", path, body)
    return status, json.loads(data)


def check(name, ok, detail=""):
    global failures
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else f" ({detail})"), flush=True)
    if not ok:
        failures += 1


def raw_rgb(path):
    """The picture at `path` (PNG or JPEG) as packed RGB bytes, through ImageMagick."""
    return subprocess.run(["convert", path, "-depth", "8", "rgb:-"], check=True, capture_output=True).stdout


def grim(path):
    subprocess.run(["grim", path], check=True)
    return raw_rgb(path)


def frame(path):
    status, data = request("GET", "/frame?quality=95")
    if status != 200:
        raise RuntimeError(f"/frame answered {status}: {data[:200]!r}")
    with open(path, "wb") as f:
        f.write(data)
    return raw_rgb(path)


def mean_difference(a, b):
    if len(a) != len(b):
        return 999.0
    return sum(abs(x - y) for x, y in zip(a, b)) / len(a)


def pixel(rgb, x, y, width=1280):
    i = (y * width + x) * 3
    return tuple(rgb[i:i + 3])


def sway_tree():
    return json.loads(subprocess.run(["swaymsg", "-t", "get_tree"], check=True, capture_output=True).stdout)


def sway_windows(node=None):
    node = node or sway_tree()
    if node.get("pid"):
        yield node
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        yield from sway_windows(child)


def focused_title():
    return next((w["name"] for w in sway_windows() if w.get("focused")), None)


def wait(test, seconds=5):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if test():
            return True
        time.sleep(0.1)
    return test()


# The platform chose itself: no X display, a wlroots compositor.
status = get_json("/status")
check("the service runs the wlroots platform", status.get("platform") == "wlroots", status.get("platform"))
check("one display, the headless output", [d.get("name") for d in status.get("displays", [])] == ["HEADLESS-1"],
      status.get("displays"))

# A still is what grim sees at the same moment (a quiet screen: nothing blinks).
seen = grim(f"{work}/grim.png")
still = frame(f"{work}/frame.jpg")
difference = mean_difference(seen, still)
check("/frame shows what grim shows", difference < 3, f"mean difference {difference:.2f}")

# The window list: both terminals, with their processes, as sway knows them.
listed = get_json("/windows")
windows = {w["title"]: w for w in listed.get("windows", [])}
sway_pids = {w["name"]: w["pid"] for w in sway_windows()}
check("/windows lists both terminals", set(windows) >= {"First", "Second"}, list(windows))
check("each with its process", all(windows.get(t, {}).get("pid") == sway_pids.get(t) and sway_pids.get(t)
                                   for t in ("First", "Second")), f"{windows} vs {sway_pids}")


# Without a window's own pixels, hiding an app masks its window, and a window's picture is
# a 503 that names the protocol it would need.
c = UnixConnection()
c.request("GET", "/frame?hide=second")
r = c.getresponse()
r.read()
check("hide= masks the window", r.status == 200 and r.getheader("X-Frame-Filter") == "mask",
      f"{r.status} {r.getheader('X-Frame-Filter')}")
c.close()
status_code, body = request("GET", f"/app/screenshot?window={windows.get('Second', {}).get('id', 0)}")
answer = json.loads(body)
check("a window's picture is a 503 naming the protocol",
      status_code == 503 and answer.get("code") == "missing-protocol" and answer.get("protocol"), answer)


def centre(title):
    w = windows[title]
    return w["x"] + w["w"] / 2, w["y"] + w["h"] / 2


# Clicks move the focus from one terminal to the other and back.
for title in ("Second", "First"):
    x, y = centre(title)
    post("/input", {"type": "click", "x": x, "y": y})
    check(f"a click focuses {title}", wait(lambda: focused_title() == title), focused_title())

# Unicode typed into the focused terminal reaches the program reading it.
text = "Grüße 東京 ρé€"
post("/input", {"type": "type", "text": text})
post("/input", {"type": "key", "key": "return"})
typed_path = f"{work}/shared/typed.txt"


def lines_typed():
    return open(typed_path, encoding="utf-8").read().split("\n")[:-1] if os.path.exists(typed_path) else []


wait(lambda: len(lines_typed()) >= 1)
check("typed text reaches the terminal", lines_typed()[:1] == [text], lines_typed())
# A named key with a modifier: Control-U erases the line typed so far, as the terminal's
# line editing does with the control character it makes.
post("/input", {"type": "type", "text": "wrong"})
post("/input", {"type": "key", "key": "u", "modifiers": ["ctrl"]})
post("/input", {"type": "type", "text": "right\n"})
wait(lambda: len(lines_typed()) >= 2)
check("Control-U reaches the terminal as a chord", lines_typed()[1:2] == ["right"], lines_typed())

# A stream: its pictures decode (ffprobe), at the output's size, while the screen changes.
conn = socket.socket(socket.AF_UNIX)
conn.settimeout(20)
conn.connect(sock_path)
conn.sendall(b"GET /stream?fps=30 HTTP/1.1\r\nHost: x\r\nAccept: application/vnd.tovo-control.stream\r\n\r\n")
typer = subprocess.Popen([sys.executable, "-c", f"""
import socket, json, time
for i in range(200):
    s = socket.socket(socket.AF_UNIX); s.connect({sock_path!r})
    body = json.dumps({{"type": "type", "text": "x"}}).encode()
    s.sendall(b"POST /input HTTP/1.1\\r\\nHost: x\\r\\nContent-Type: application/json\\r\\nContent-Length: %d\\r\\n\\r\\n" % len(body) + body)
    s.recv(4096); s.close(); time.sleep(0.1)
"""])
buffer = b""
video = b""
pictures = 0
# Ten pictures, however long a slow (instrumented) build takes to start the stream.
deadline = time.time() + 20
while time.time() < deadline and pictures < 10:
    try:
        chunk = conn.recv(1 << 20)
    except socket.timeout:
        break
    if not chunk:
        break
    buffer += chunk
    while True:
        head_end = buffer.find(b"\r\n\r\n")
        if head_end < 0:
            break
        head = buffer[:head_end].decode("latin-1")
        if head.startswith("HTTP/1.1"):
            buffer = buffer[head_end + 4:]
            continue
        fields = dict(line.split(": ", 1) for line in head.split("\r\n") if ": " in line)
        length = int(fields.get("Content-Length", "0"))
        if len(buffer) < head_end + 4 + length:
            break
        body = buffer[head_end + 4:head_end + 4 + length]
        buffer = buffer[head_end + 4 + length:].lstrip(b"\r\n")
        if fields.get("Content-Type", "").startswith("video/"):
            video += body
            pictures += 1
conn.close()
typer.kill()
typer.wait()
with open(f"{work}/stream.h264", "wb") as f:
    f.write(video)
probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                        "stream=width,height,nb_read_frames", "-of", "json", f"{work}/stream.h264"],
                       capture_output=True, text=True)
streams = json.loads(probe.stdout or "{}").get("streams", [{}])
decoded = streams[0] if streams else {}
check("the stream decodes at the output's size",
      decoded.get("width") == 1280 and decoded.get("height") == 720 and int(decoded.get("nb_read_frames", 0)) >= 5,
      f"{pictures} pictures sent, ffprobe: {decoded} {probe.stderr[:200]}")

# The clipboard both ways, with wl-copy and wl-paste.
copier = subprocess.Popen(["wl-copy", "--foreground", "copied by wl-copy ✓"])
read = wait(lambda: get_json("/clipboard").get("text") == "copied by wl-copy ✓")
check("a wl-copy reaches GET /clipboard", read, get_json("/clipboard"))
post("/clipboard", {"text": "sent to the desktop ✓"})
pasted = subprocess.run(["wl-paste", "--no-newline"], capture_output=True, text=True, timeout=5).stdout
check("POST /clipboard reaches wl-paste", pasted == "sent to the desktop ✓", repr(pasted))
copier.terminate()

# The banner: on screen, never in pictures; its Stop button ends automation.
post("/input", {"type": "move", "x": 0.9, "y": 0.9})
time.sleep(0.3)
before = frame(f"{work}/before.jpg")
post("/automation", {"active": True, "label": "Wayland test"})
time.sleep(1)
shown = grim(f"{work}/banner.png")
left_edge = pixel(shown, 2, 360)
check("grim shows the orange border", left_edge[0] > left_edge[2] + 60, left_edge)
during = frame(f"{work}/during.jpg")
border_now, border_before = pixel(during, 2, 360), pixel(before, 2, 360)
check("/frame leaves the border out", max(abs(a - b) for a, b in zip(border_now, border_before)) < 16,
      f"{border_now} vs {border_before}")
difference = mean_difference(before, during)
check("/frame leaves the whole banner out", difference < 3, f"mean difference {difference:.2f}")
automation = get_json("/status").get("automation", {})
check("/status says Escape cannot stop it, the Stop button can",
      automation.get("esc") is False and automation.get("stopButton") is True, automation)
# The capsule's right end in grim's picture (left of the border): the button sits just inside it.
right = max((x for x in range(400, 1270) for y in (22, 24, 26) if (lambda p: p[0] > p[2] + 60)(pixel(shown, x, y))),
            default=None)
if right is None:
    check("the capsule is on screen", False, "no orange at the top")
else:
    post("/input", {"type": "click", "x": (right - 25) / 1280, "y": 24 / 720})
    check("the Stop button ends automation", wait(lambda: not get_json("/status")["automation"]["active"]),
          get_json("/status")["automation"])

# A second output, plugged in while the service runs, is a display of its own.
subprocess.run(["swaymsg", "-q", "create_output"], check=True)
subprocess.run(["swaymsg", "-q", "output HEADLESS-2 resolution 800x600 position 1280 0"], check=True)
wait(lambda: len(get_json("/status").get("displays", [])) == 2)
second = next((d for d in get_json("/status").get("displays", []) if d.get("name") == "HEADLESS-2"), None)
check("a new output becomes a display", second and second.get("width") == 800 and second.get("height") == 600, second)
if second:
    c = UnixConnection()
    c.request("GET", f"/frame?display={second['id']}")
    r = c.getresponse()
    answer = r.read()
    check("and has pictures", r.status == 200 and r.getheader("X-Frame-Width") == "800",
          f"{r.status} {r.getheader('X-Frame-Width')} {answer[:300]!r}")
    c.close()

sys.exit(1 if failures else 0)
