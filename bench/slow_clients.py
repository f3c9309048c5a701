#!/usr/bin/env python3
"""Clients that hold the server's shared resources, figures printed for the closing note:

 1. streams: 40 stream requests from one address (how many are served), and how long a stream
    client that reads nothing keeps its slot;
 2. bodies: four script POSTs of 16 MiB from one address (how many are taken), and how long a
    body trickled one byte every 5 s is kept;
 3. scripts: 300 requests for a script that sleeps (how many processes run, how many are
    answered 503).

Runs build/kestrel (or the program given) headless with a private settings folder, web root
and free port, and stops it afterwards.
Usage: bench/slow_clients.py [path/to/kestrel]
"""

import os
import socket
import sys
import time

from kestrel_site import kestrel_site  # beside this script

KESTREL = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/kestrel")
TCP_CLOSE_WAIT, TCP_CLOSE = 8, 7


def peer_closed(s):
    """Whether the server has closed (FIN or reset), without reading anything."""
    state = s.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)[0]
    return state in (TCP_CLOSE_WAIT, TCP_CLOSE)


def connect(port, source="127.0.0.1", rcvbuf=0):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def status_of(s, timeout=5):
    s.settimeout(timeout)
    try:
        head = s.recv(64)
    except OSError:
        return 0
    return int(head[9:12]) if head.startswith(b"HTTP/1.0 ") else 0


def socket_count(pid):
    """Sockets the server holds open (a closed connection whose unsent bytes the client never
    takes shows no end on the client's side, so the server is looked at instead)."""
    count = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            count += os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:")
        except OSError:
            pass
    return count


def time_until_closed(pid, base, limit):
    began = time.monotonic()
    while time.monotonic() - began < limit:
        if socket_count(pid) <= base:
            return time.monotonic() - began
        time.sleep(0.25)
    return None


def children(pid):
    count = 0
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    count += int(f.read().rsplit(")", 1)[1].split()[1]) == pid
            except (OSError, IndexError, ValueError):
                pass
    return count


def main():
    def prepare(root):
        with open(os.path.join(root, "index.html"), "w") as f:
            f.write("<html>home</html>")
        for name, body in (("count.exe", "wc -c"), ("nap.exe", "sleep 20")):
            path = os.path.join(root, name)
            with open(path, "w") as f:
                f.write(f"#!/bin/sh\necho 'Content-type: text/plain'\necho\n{body}\n")
            os.chmod(path, 0o755)

    settings = ('"bLoggingOn"=dword:00000000\n"CaptureDevice"=dword:00000000\n"UseCustomSize"=dword:00000001\n'
                '"ImageWidth"=dword:00000280\n"ImageHeight"=dword:000001e0\n')
    socks = []
    with kestrel_site(KESTREL, "kestrel-slow-", settings, prepare) as site:
        port, proc = site.port, site.proc
        # 1. Streams.
        served = 0
        for _ in range(40):
            s = connect(port)
            s.sendall(b"GET /stream.mjpg HTTP/1.0\r\n\r\n")
            served += status_of(s) == 200
            socks.append(s)
        for s in socks:
            s.close()
        socks.clear()
        time.sleep(1)
        s = connect(port, "127.0.0.9", rcvbuf=4096)
        s.sendall(b"GET /stream.mjpg HTTP/1.0\r\n\r\n")
        s.recv(64)
        base = socket_count(proc.pid) - 1  # without this connection
        held = time_until_closed(proc.pid, base, 150)
        s.close()
        print(f"streams: 40 asked from one address, {served} served; a client reading nothing was closed after "
              + (f"{held:.0f} s" if held is not None else "more than 150 s"))

        # 2. Bodies.
        size = 16 * 1024 * 1024
        head = f"POST /count.exe HTTP/1.0\r\nContent-Length: {size}\r\n\r\n".encode()
        taken = 0
        for _ in range(4):
            s = connect(port, "127.0.0.20")
            s.sendall(head)
            s.settimeout(0.5)
            try:
                refused = s.recv(64).startswith(b"HTTP/1.0 503")
            except socket.timeout:
                refused = False
            taken += not refused
            socks.append(s)
        for s in socks:
            s.close()
        socks.clear()
        time.sleep(1)
        s = connect(port, "127.0.0.21")
        s.sendall(head)
        time.sleep(0.5)
        base = socket_count(proc.pid) - 1  # without this connection
        began = time.monotonic()
        kept = None
        while time.monotonic() - began < 150:
            if peer_closed(s) or socket_count(proc.pid) <= base:
                kept = time.monotonic() - began
                break
            try:
                s.send(b"x")
            except OSError:
                kept = time.monotonic() - began
                break
            time.sleep(5)
        s.close()
        print(f"bodies: 4 of 16 MiB from one address, {taken} taken; a body trickled one byte every 5 s was "
              + (f"dropped after {kept:.0f} s" if kept is not None else "still held after 150 s"))

        # 3. Scripts.
        for i in range(300):
            s = connect(port, f"127.0.1.{i % 200 + 1}")
            s.sendall(b"GET /nap.exe?x HTTP/1.0\r\n\r\n")
            socks.append(s)
        time.sleep(3)
        running = children(proc.pid)
        busy = 0
        for s in socks:
            s.settimeout(0.01)
            try:
                busy += s.recv(64).startswith(b"HTTP/1.0 503")
            except OSError:
                pass
        print(f"scripts: 300 asked for a script that sleeps: {running} processes running, {busy} answered 503")
        for s in socks:
            s.close()
        socks.clear()


if __name__ == "__main__":
    main()
