#!/usr/bin/env bash
# Audio on a headless desktop with a PulseAudio null sink: CPU of capture + Opus encode per
# second of 48 kHz stereo while a tone plays, beside `parec | opusenc` doing the same in the
# same run (ratio), and the delay from a click played into the sink to its packet on the
# wire (p50, p99).
#   bench/audio.sh [SECONDS] [CLICKS]
set -euo pipefail
seconds=${1:-10}
clicks=${2:-15}
. "$(dirname "$0")/lib.sh"
start_desktop
start_service
ffmpeg -v error -y -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=600" -af "volume=0.5,pan=stereo|c0=c0|c1=c0" \
  -c:a pcm_s16le "$work/tone.wav"
ffmpeg -v error -y -f lavfi -i "aevalsrc=0.8*sin(2*PI*1000*t):s=48000:d=0.05" -af "pan=stereo|c0=c0|c1=c0" \
  -c:a pcm_s16le "$work/click.wav"
pid=$(pgrep -f "tovo-control --socket $work/tovo.sock" | head -n1)
/usr/bin/python3 - "$work" "$pid" "$seconds" "$clicks" <<'PY'
import os, resource, socket, subprocess, sys, time

work, pid, seconds, clicks = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
tick = os.sysconf("SC_CLK_TCK")

def cpu(p):
    f = open(f"/proc/{p}/stat").read().rsplit(")", 1)[1].split()
    return (int(f[11]) + int(f[12])) / tick

def stream():
    s = socket.socket(socket.AF_UNIX); s.connect(f"{work}/tovo.sock")
    s.sendall(b"GET /audio HTTP/1.1\r\n\r\n")
    return s

tone = subprocess.Popen(["paplay", "--latency-msec=20", f"{work}/tone.wav"])
time.sleep(1)
idle0 = cpu(pid); time.sleep(seconds); idle = cpu(pid) - idle0
client = stream(); client.settimeout(5)
time.sleep(2)  # the capture's start
c0 = cpu(pid); t0 = time.monotonic()
end = t0 + seconds
while time.monotonic() < end:
    client.recv(65536)
tovo = (cpu(pid) - c0 - idle) / (time.monotonic() - t0)
client.close()

before = resource.getrusage(resource.RUSAGE_CHILDREN)
rec = subprocess.Popen(["parec", "--format=s16le", "--rate=48000", "--channels=2", "--latency-msec=20"], stdout=subprocess.PIPE)
enc = subprocess.Popen(["opusenc", "--quiet", "--raw", "--bitrate", "96", "-", f"{work}/peer.opus"], stdin=rec.stdout)
time.sleep(seconds)
rec.terminate(); rec.wait(); enc.wait()
after = resource.getrusage(resource.RUSAGE_CHILDREN)
peer = (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) / seconds
tone.terminate()
print(f"capture + encode CPU: tovo {tovo * 100:.2f} % of a core, parec|opusenc {peer * 100:.2f} %  (ratio {tovo / peer:.2f}x)")

# Click to wire: a reader notes each packet's arrival and size; the first loud one after
# each click counts.
import threading
client = stream(); client.settimeout(5)
arrivals = []
def reader():
    buf = b""
    try:
        while True:
            while b"\r\n\r\n" not in buf:
                buf += client.recv(65536)
            head, _, rest = buf.partition(b"\r\n\r\n")
            if b"Content-Length: " not in head:
                buf = rest
                continue
            n = int(head.split(b"Content-Length: ")[1].split(b"\r\n")[0])
            while len(rest) < n + 2:
                rest += client.recv(65536)
            arrivals.append((time.monotonic(), n))
            buf = rest[n + 2:]
    except OSError:
        pass
threading.Thread(target=reader, daemon=True).start()
time.sleep(2)
delays = []
for _ in range(clicks):
    t = time.monotonic()
    subprocess.run(["paplay", "--latency-msec=20", f"{work}/click.wav"])
    time.sleep(0.5)
    loud = [a for a, n in arrivals if a >= t and n > 60]  # silence packs into a few bytes
    if loud:
        delays.append((loud[0] - t) * 1000)
client.close()
delays.sort()
print(f"click to wire: p50 {delays[len(delays) // 2]:.0f} ms, p99 {delays[min(len(delays) - 1, int(len(delays) * .99))]:.0f} ms "
      f"({len(delays)} clicks; includes starting paplay)")
PY
