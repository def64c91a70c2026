#!/usr/bin/env python3
"""Holds many TLS connections to the remote listener, each bound to a device by one
authenticated keep-alive request, then tries one more and reports what happened to it.

    remote_flood.py HOST PORT TOKEN COUNT

Prints one JSON line: {"bound": number of connections that got a 200, "extra": "refused" |
"served"}."""
import json
import socket
import ssl
import sys


def connect(host, port):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    raw = socket.create_connection((host, port), timeout=10)
    return context.wrap_socket(raw)


def status(conn, token):
    conn.sendall(f"GET /status HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer {token}\r\n\r\n".encode())
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return 0
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        body += chunk
    return int(head.split(b" ")[1])


def main():
    host, port, token, count = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
    held = []
    bound = 0
    for _ in range(count):
        conn = connect(host, port)
        if status(conn, token) == 200:
            bound += 1
        held.append(conn)
    try:
        extra = connect(host, port)
        extra = "served" if status(extra, token) == 200 else "refused"
    except (OSError, ssl.SSLError):
        extra = "refused"
    print(json.dumps({"bound": bound, "extra": extra}))
    for conn in held:
        conn.close()


main()
