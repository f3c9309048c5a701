#!/usr/bin/env python3
"""Picture password guessing against the real program, figures printed for the closing note:
300 different wrong "picid" values from one address as fast as they are answered, then the
right password from the same address and from another one, and the lockout lines written.

Runs build/kestrel (or the program given) headless with a private settings folder, web root
and free port, and stops it afterwards.
Usage: bench/password_guessing.py [path/to/kestrel]
"""

import os
import signal
import socket
import sys
import time

from kestrel_site import kestrel_site  # beside this script

KESTREL = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/kestrel")
PASSWORD = "right-one"


def get(source, port, path):
    with socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(source, 0)) as s:
        s.sendall(f"GET {path} HTTP/1.0\r\n\r\n".encode())
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
    return answer.partition(b"\r\n\r\n")[2]


def main():
    def prepare(root):
        with open(os.path.join(root, "pass.jpg"), "wb") as f:
            f.write(b"PASSPICTURE")

    settings = f'"PicPass"="{PASSWORD}"\n"CaptureDevice"=dword:00000000\n'
    with kestrel_site(KESTREL, "kestrel-guess-", settings, prepare) as site:
        port = site.port
        refused = 0
        began = time.monotonic()
        for i in range(300):
            refused += get("127.0.0.1", port, f"/frame.jpg?{i}&picid=guess{i}") == b"PASSPICTURE"
        took = time.monotonic() - began
        same = get("127.0.0.1", port, f"/frame.jpg?1&picid={PASSWORD}") != b"PASSPICTURE"
        other = get("127.0.0.2", port, f"/frame.jpg?1&picid={PASSWORD}") != b"PASSPICTURE"
        site.proc.send_signal(signal.SIGTERM)
        site.proc.wait(timeout=10)
        lines = [l for l in open(site.stderr_path).read().splitlines() if "password lockout" in l]
    print(f"300 wrong guesses from 127.0.0.1: {took:.2f} s, {refused} answered with pass.jpg")
    print(f"right password afterwards, same address: {'picture' if same else 'pass.jpg (locked out)'}")
    print(f"right password afterwards, 127.0.0.2: {'picture' if other else 'pass.jpg'}")
    print(f"lockout lines: {len(lines)}")
    for line in lines:
        print("  " + line)


if __name__ == "__main__":
    main()
