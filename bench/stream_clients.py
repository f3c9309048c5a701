#!/usr/bin/env python3
"""The live stream under load, figures printed for the closing note.

Starts build/kestrel (or the program given) headless with a private settings folder, web
root and free port, the built-in test pattern at 640x480 and the stream at 10 pictures a
second; then for 1, 8 and 32 stream clients on loopback, each reading as fast as it can,
measures over a window of wall time:
 - the program's CPU time (user + system) per second of wall time;
 - the pictures each client received against the pictures sent (10 a second over the window).
The program's CPU with no client connected is printed first, for comparison.
Usage: bench/stream_clients.py [path/to/kestrel] [seconds per run, default 10]
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from server_port import server_port  # beside this script

KESTREL = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/kestrel")
SECONDS = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
FPS = 10
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def start(work, port):
    config = os.path.join(work, "config", "Velmora")
    os.makedirs(config, exist_ok=True)
    root = os.path.join(work, "root")
    os.makedirs(root, exist_ok=True)
    with open(os.path.join(config, "Kestrels.reg"), "w", newline="") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\r\n"
                f'"uPort"=dword:{port:08x}\r\n"strRoot"="{root}"\r\n'
                '"CaptureDevice"=dword:00000000\r\n'
                f'"StreamMaxFps"=dword:{FPS:08x}\r\n"StreamMaxClients"=dword:00000040\r\n'
                '"MaxConnPerAddress"=dword:00000000\r\n\r\n'
                "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\Drivers\\TestPattern]\r\n"
                '"Size"=dword:00000005\r\n')
    run = os.path.join(work, "run")
    os.makedirs(run, exist_ok=True)
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"), HOME=work,
               QT_QPA_PLATFORM="offscreen")
    proc = subprocess.Popen([KESTREL], cwd=run, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.sendall(b"HEAD /stream.mjpg HTTP/1.0\r\n\r\n")
                if s.recv(100).startswith(b"HTTP/1.0 200"):
                    return proc
        except OSError:
            pass
        time.sleep(0.05)
    proc.kill()
    sys.exit("stream_clients: Kestrel did not start")


class Client(threading.Thread):
    """Reads the stream as fast as it can and counts complete pictures by Content-Length."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.parts = 0
        self.size = None
        self.counting = False
        self.stop = False
        self.ok = True

    def run(self):
        s = socket.create_connection(("127.0.0.1", self.port))
        s.sendall(b"GET /stream.mjpg HTTP/1.0\r\n\r\n")
        buf = b""
        while b"\r\n\r\n" not in buf:
            buf += s.recv(65536)
        head, buf = buf.split(b"\r\n\r\n", 1)
        boundary = head.split(b"boundary=", 1)[1].split(b"\r\n", 1)[0]
        sep = b"--" + boundary + b"\r\n"
        while len(buf) < len(sep):
            buf += s.recv(65536)
        buf = buf[len(sep):]
        while not self.stop:
            while b"\r\n\r\n" not in buf:
                data = s.recv(1 << 20)
                if not data:
                    self.ok = False
                    return
                buf += data
            headers, buf = buf.split(b"\r\n\r\n", 1)
            length = int(headers.split(b"Content-Length: ", 1)[1].split(b"\r\n", 1)[0])
            need = length + 2 + len(sep)
            chunks, have = [buf], len(buf)
            while have < need:
                data = s.recv(1 << 20)
                if not data:
                    self.ok = False
                    return
                chunks.append(data)
                have += len(data)
            buf = b"".join(chunks)
            if self.size is None:
                self.size = buf[:length]
            buf = buf[need:]
            if self.counting:
                self.parts += 1
        s.close()


def jpeg_size(jpeg):
    """Width and height from a baseline JPEG's SOF0 segment."""
    i = 2
    while i < len(jpeg):
        marker, length = jpeg[i + 1], int.from_bytes(jpeg[i + 2:i + 4], "big")
        if marker in (0xC0, 0xC1, 0xC2):
            return int.from_bytes(jpeg[i + 7:i + 9], "big"), int.from_bytes(jpeg[i + 5:i + 7], "big")
        i += 2 + length
    return None


def measure(proc, port, count):
    clients = [Client(port) for _ in range(count)]
    for c in clients:
        c.start()
    time.sleep(1.5)  # every client connected and past its first picture
    for c in clients:
        c.counting = True
    cpu0, t0 = cpu_seconds(proc.pid), time.monotonic()
    time.sleep(SECONDS)
    cpu1, t1 = cpu_seconds(proc.pid), time.monotonic()
    for c in clients:
        c.counting = False
        c.stop = True
    wall = t1 - t0
    sent = FPS * wall
    got = sorted(c.parts for c in clients)
    size = jpeg_size(clients[0].size) if clients[0].size else None
    print(f"{count:3d} clients: CPU {100 * (cpu1 - cpu0) / wall:5.1f} % of one core; pictures received per client "
          f"min {got[0]} / median {got[len(got) // 2]} / max {got[-1]} of {sent:.0f} sent "
          f"(min {100 * got[0] / sent:.1f} %); picture {size}; all streams whole: {all(c.ok for c in clients)}")
    for c in clients:
        c.join(timeout=5)
    time.sleep(1)
    return (cpu1 - cpu0) / wall


def main():
    work = tempfile.mkdtemp(prefix="kestrel-stream.")
    port = server_port()
    proc = start(work, port)
    try:
        cpu0, t0 = cpu_seconds(proc.pid), time.monotonic()
        time.sleep(SECONDS / 2)
        idle = (cpu_seconds(proc.pid) - cpu0) / (time.monotonic() - t0)
        print(f"  0 clients: CPU {100 * idle:5.1f} % of one core (capture running, no stream)")
        one = measure(proc, port, 1)
        measure(proc, port, 8)
        many = measure(proc, port, 32)
        print(f"32 clients cost {many / one:.2f} x one client's CPU")
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
