#!/usr/bin/env python3
"""Request heads that never end, figures printed for the closing note: Kestrel's resident
memory before, at the peak and a few seconds after the clients have gone, and how long a
fresh client waits for "/index.html" meanwhile.

 1. 256 connections from each address, each sending a request line and then 16,000
    distinct two-byte header names without the empty line;
 2. the same connections each sending 100 header lines of about 640 bytes (the most one head
    may hold) without the empty line.

Runs build/kestrel (or the program given) headless with a private settings folder, web root
and free port, and stops it afterwards.
Usage: bench/hostile_heads.py [path/to/kestrel] [addresses, default 2]
"""

import os
import socket
import sys
import time

from kestrel_site import kestrel_site  # beside this script

KESTREL = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/kestrel")
ADDRESSES = int(sys.argv[2]) if len(sys.argv) > 2 else 2
PER_ADDRESS = 256


def resident_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0


def fetch_index(port):
    began = time.monotonic()
    # From an address of its own: the attackers' addresses are at their connection cap.
    with socket.create_connection(("127.0.0.1", port), timeout=30, source_address=("127.0.0.200", 0)) as s:
        s.sendall(b"GET /index.html HTTP/1.0\r\n\r\n")
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
    return answer.startswith(b"HTTP/1.0 200"), time.monotonic() - began


def names_head():
    lines = [b"GET /index.html HTTP/1.0\r\n"]
    for i in range(16000):
        lines.append(bytes([97 + i // 26 % 26, 97 + i % 26]) + b"%d: x\r\n" % (i // 676))
    return b"".join(lines)


def full_head():
    return b"GET /index.html HTTP/1.0\r\n" + b"".join(
        b"h%03d: %s\r\n" % (i, b"v" * 630) for i in range(100))


def attack(port, pid, head):
    before = resident_mb(pid)
    socks = []
    for a in range(ADDRESSES):
        for _ in range(PER_ADDRESS):
            s = socket.socket()
            s.bind((f"127.0.0.{a + 1}", 0))
            s.settimeout(5)
            try:
                s.connect(("127.0.0.1", port))
                s.setblocking(False)
                socks.append(s)
            except OSError:
                s.close()
    sent = [0] * len(socks)
    peak = before
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        progress = False
        for i, s in enumerate(socks):
            if sent[i] < len(head):
                try:
                    n = s.send(head[sent[i]:sent[i] + 65536])
                    sent[i] += n
                    progress = progress or n > 0
                except (BlockingIOError, InterruptedError):
                    pass
                except OSError:
                    sent[i] = len(head)
        peak = max(peak, resident_mb(pid))
        if not progress:
            break
    time.sleep(0.5)
    peak = max(peak, resident_mb(pid))
    ok, waited = fetch_index(port)
    closed = 0
    for s in socks:
        try:
            s.recv(1)
            closed += 1  # an answer (400) or the end: the server let go of it
        except BlockingIOError:
            pass
        except OSError:
            closed += 1
        s.close()
    time.sleep(3)
    after = resident_mb(pid)
    return before, peak, after, ok, waited, len(socks), closed


def main():
    def prepare(root):
        with open(os.path.join(root, "index.html"), "w") as f:
            f.write("<html>home</html>")

    with kestrel_site(KESTREL, "kestrel-heads-", '"bLoggingOn"=dword:00000000\n', prepare) as site:
        for name, head in (("16,000 two-byte names", names_head()), ("100 lines of 640 bytes", full_head())):
            before, peak, after, ok, waited, held, closed = attack(site.port, site.proc.pid, head)
            print(f"{name}, {held} connections from {ADDRESSES} addresses: resident {before:.0f} MB before, "
                  f"{peak:.0f} MB at the peak, {after:.0f} MB 3 s after they went; "
                  f"{closed} closed by the server; fresh client {'answered' if ok else 'NOT answered'} "
                  f"in {waited * 1000:.0f} ms")


if __name__ == "__main__":
    main()
