#!/usr/bin/env python3
"""Reads GET /stream for a while and measures it, with the service's CPU time over the same span.

  stream_client.py SOCKET TARGET SECONDS SERVICE_PID

Prints one JSON line: sections per second, bytes per second, capture-to-delivery latency
p50/p99 (a section's arrival at this client minus its X-Frame-Time) and the service's CPU seconds
per second of streaming (user + system, from /proc).
"""
import json, os, socket, sys, time

sock_path, target, seconds, pid = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
ticks = os.sysconf("SC_CLK_TCK")


def cpu_seconds():
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks


s = socket.socket(socket.AF_UNIX)
s.connect(sock_path)
s.sendall(f"GET {target} HTTP/1.1\r\nHost: x\r\nAccept: application/vnd.tovo-control.stream\r\n\r\n".encode())
buf = b""


def read_until(delim):
    global buf
    while delim not in buf:
        chunk = s.recv(1 << 20)
        if not chunk:
            raise EOFError
        buf += chunk
    head, buf = buf.split(delim, 1)
    return head


def read_exactly(n):
    global buf
    while len(buf) < n:
        chunk = s.recv(1 << 20)
        if not chunk:
            raise EOFError
        buf += chunk
    out, buf = buf[:n], buf[n:]
    return out


read_until(b"\r\n\r\n")
latencies, sizes = [], []
# Skip the first second: start-up and the first key frame.
warm_until = time.time() + 1.0
while time.time() < warm_until:
    head = read_until(b"\r\n\r\n").decode()
    length = int(head.split("Content-Length: ")[1].split("\r\n")[0])
    read_exactly(length + 2)
cpu0, t0 = cpu_seconds(), time.time()
while time.time() - t0 < seconds:
    head = read_until(b"\r\n\r\n").decode()
    fields = dict(line.split(": ", 1) for line in head.split("\r\n")[1:])
    read_exactly(int(fields["Content-Length"]) + 2)
    arrived = time.time() * 1000
    latencies.append(arrived - int(fields["X-Frame-Time"]))
    sizes.append(int(fields["Content-Length"]))
elapsed = time.time() - t0
cpu = cpu_seconds() - cpu0
latencies.sort()
q = lambda p: latencies[min(len(latencies) - 1, int(p * len(latencies)))]
print(json.dumps({"parts_per_s": round(len(sizes) / elapsed, 1), "kbps": round(sum(sizes) * 8 / 1000 / elapsed),
                  "latency_p50_ms": round(q(0.5), 1), "latency_p99_ms": round(q(0.99), 1),
                  "cpu_per_s": round(cpu / elapsed, 3)}))
