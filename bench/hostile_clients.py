#!/usr/bin/env python3
"""The web server against hostile clients, figures printed for the closing note:

 1. peak resident memory of Kestrel while 40 clients each POST a 16 MiB body to a plain file;
 2. how long a fresh client address waits for "/index.html" while many connections from other
    addresses hold half-sent request heads (spread so that the per-address cap lets them in),
    and how many of those the server keeps;
 3. the same from one address only: how many the per-address cap lets in.

Runs build/kestrel (or the program given) headless with a private settings folder, web root
and free port, and stops it afterwards.
Usage: bench/hostile_clients.py [path/to/kestrel] [held connections, default 21000]
The held connections come from helper processes (10,000 each), since one process cannot open
more descriptors than the server can.
"""

import os
import resource
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
HELD = int(sys.argv[2]) if len(sys.argv) > 2 else 21000
PER_HELPER = 10000
BODY = 16 * 1024 * 1024


def status_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def start(work, port, last):
    config = os.path.join(work, "config", "Velmora")
    os.makedirs(config, exist_ok=True)
    root = os.path.join(work, "root")
    os.makedirs(root, exist_ok=True)
    with open(os.path.join(root, "index.html"), "w") as f:
        f.write("<html>home</html>")
    with open(os.path.join(root, "plain.txt"), "w") as f:
        f.write("plain")
    with open(os.path.join(config, "Kestrels.reg"), "w", newline="") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\r\n"
                f'"uPort"=dword:{port:08x}\r\n"strRoot"="{root}"\r\n')
    run = os.path.join(work, "run")
    os.makedirs(run, exist_ok=True)
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"), HOME=work,
               QT_QPA_PLATFORM="offscreen")
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    proc = subprocess.Popen([KESTREL], cwd=run, env=env, stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(work, "kestrel.err"), "w"))
    for _ in range(200):
        try:
            if fetch("127.0.0.1", port, 2.0)[0]:
                return proc
        except OSError:
            pass
        time.sleep(0.05)
    proc.kill()
    proc.wait()
    if last:
        raise SystemExit("Kestrel did not start: " + open(os.path.join(work, "kestrel.err")).read())
    return None


def fetch(source, port, timeout):
    """GET /index.html from `source`; (answered, seconds)."""
    began = time.monotonic()
    with socket.socket() as s:
        s.settimeout(timeout)
        s.bind((source, 0))
        try:
            s.connect(("127.0.0.1", port))
            s.sendall(b"GET /index.html HTTP/1.0\r\n\r\n")
            data = b""
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
        except OSError:
            return False, time.monotonic() - began
    return data.startswith(b"HTTP/1.0 200"), time.monotonic() - began


def post(port, results, i):
    head = f"POST /plain.txt HTTP/1.0\r\nContent-Length: {BODY}\r\n\r\n".encode()
    body = memoryview(b"b" * BODY)
    answer = b""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            s.sendall(head)
            s.setblocking(False)
            sent = 0
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                try:
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    answer += chunk
                except BlockingIOError:
                    pass
                if sent < BODY:
                    try:
                        sent += s.send(body[sent:sent + (1 << 20)])
                    except BlockingIOError:
                        time.sleep(0.001)
                else:
                    time.sleep(0.001)
    except OSError:
        pass
    results[i] = answer.split(b"\r\n", 1)[0].decode(errors="replace")


def hold(port, count, addresses):
    """Opens `count` connections spread over `addresses`, each with half a request head."""
    held = []
    for i in range(count):
        s = socket.socket()
        s.setblocking(False)
        s.bind((addresses[i % len(addresses)], 0))
        try:
            s.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        except OSError:
            s.close()
            break
        held.append(s)
    time.sleep(0.5)
    for s in held:
        try:
            s.send(b"G")
        except OSError:
            pass
    return held


def hold_in_helpers(port, count, addresses):
    """Helper processes that hold `count` connections until they are killed."""
    helpers = []
    for first in range(0, count, PER_HELPER):
        n = min(PER_HELPER, count - first)
        mine = addresses[first // 250:(first + n) // 250 + 1]
        helpers.append(subprocess.Popen([sys.executable, __file__, "--hold", str(port), str(n)] + mine,
                                        stdout=subprocess.PIPE, text=True))
    held = sum(int(h.stdout.readline() or 0) for h in helpers)
    return helpers, held


def open_descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def still_open(held):
    n = 0
    for s in held:
        try:
            if s.recv(1, socket.MSG_PEEK) == b"":
                continue
            n += 1
        except BlockingIOError:
            n += 1
        except OSError:
            pass
    return n


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    work = tempfile.mkdtemp(prefix="kestrel-hostile.")
    for attempt in range(3):  # another program may take the free port first
        port = server_port()
        proc = start(work, port, last=attempt == 2)
        if proc:
            break
    try:
        before = status_kb(proc.pid, "VmRSS")
        results = [None] * 40
        threads = [threading.Thread(target=post, args=(port, results, i)) for i in range(40)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        peak = status_kb(proc.pid, "VmHWM")
        answers = {r: results.count(r) for r in set(results)}
        print(f"40 POSTs of 16 MiB to a plain file: peak resident {peak / 1024:.0f} MiB "
              f"(before {before / 1024:.0f} MiB); answers {answers}")

        per = 250  # under the default cap of 256
        addresses = [f"127.0.{a // 250}.{a % 250 + 2}" for a in range(HELD // per + 1)]
        idle = open_descriptors(proc.pid)
        helpers, held = hold_in_helpers(port, HELD, addresses)
        for wait in (2, 5, 10):
            time.sleep(wait - (2 if wait == 5 else 5 if wait == 10 else 0))
            ok, seconds = fetch("127.0.9.9", port, 10.0)
            print(f"{held} half-sent heads from {len(addresses)} addresses, {wait} s after: fresh "
                  f"address {'answered' if ok else 'NOT answered'} in {seconds * 1000:.0f} ms; "
                  f"server holds {open_descriptors(proc.pid) - idle} connections")
        for h in helpers:
            h.kill()
            h.wait()
        while open_descriptors(proc.pid) > idle + 10:  # the server lets the closed ones go
            time.sleep(0.5)

        held = hold(port, 2000, ["127.0.10.2"])
        time.sleep(1)
        ok, seconds = fetch("127.0.9.9", port, 10.0)
        print(f"2000 half-sent heads from one address: {still_open(held)} kept open; fresh address "
              f"{'answered' if ok else 'NOT answered'} in {seconds * 1000:.0f} ms")
        for s in held:
            s.close()
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(work, ignore_errors=True)


def helper(port, count, addresses):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    held = hold(port, count, addresses)
    print(len(held), flush=True)
    signal.pause()


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--hold":
        helper(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:])
    else:
        main()
