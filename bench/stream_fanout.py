#!/usr/bin/python3
"""Stream figures of the live picture stream, printed for the closing note of a speed change.

    bench/stream_fanout.py KESTREL_BINARY STREAM_READER [--measure S] [--warmup S] [--spread] [--bare BARE_SENDER]
                           [--apart]

Runs Kestrel headless on this machine with the test pattern at 640x480, 10 pictures a second
and two captions, and reads "/stream.mjpg" over loopback with bench/stream_reader.c:
  1. 32 clients: the age of each part on arrival (capture time from the part's X-Timestamp
     to the receipt of its last byte), median and 99th percentile;
  2. 1 client, then 256 clients (the most StreamMaxClients allows): Kestrel's CPU seconds per
     second, their ratio, and the share of the pictures each client got of those due at 10/s.
The reader's own CPU is printed beside each run, so that it can be seen not to be the limit.
With --spread every client connects from an address of its own, so Kestrel keeps 256 viewers.
With --bare (bench/bare_sender.c, built), the same runs of 1 and 256 clients against a bare
sender of parts of the same size, one send per client and part and nothing else: what the
kernel alone costs per client on loopback, which no server can go below.
With --apart (as root, on a machine of two processors or more), the readers' side of loopback is
kept off the server's processor, as it is when the viewers sit on other machines: the server (Kestrel
or the bare sender) is pinned to processor 0, the reader to processor 1, and the receive processing
of loopback packets is steered to processor 1 (receive packet steering,
/sys/class/net/lo/queues/rx-0/rps_cpus, put back afterwards). Without it, every send on loopback
also runs the reader's receive path and wake-up on the sender's processor, charged to the sender.
"""
import argparse
import os
import re
import resource
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "camera-vm"))
from kestrel_vm import Kestrel  # noqa: E402

FPS = 10


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


RPS_CPUS = "/sys/class/net/lo/queues/rx-0/rps_cpus"


def pin(pid, cpu):
    """Every thread of `pid` (and those it starts later) on processor `cpu` alone."""
    subprocess.run(["taskset", "-a", "-p", "-c", str(cpu), str(pid)], check=True, stdout=subprocess.DEVNULL)


def read_stream(reader, port, clients, warmup, measure, pid, spread=False, apart=False):
    """Runs the reader; Kestrel's and the reader's CPU over the measuring window only."""
    command = [reader, "127.0.0.1", str(port), "/stream.mjpg", str(clients), str(warmup), str(measure)]
    proc = subprocess.Popen((["taskset", "-c", "1"] if apart else []) + command + (["spread"] if spread else []),
                            stdout=subprocess.PIPE, text=True)
    time.sleep(warmup)
    k0, t0 = cpu_seconds(pid), time.monotonic()
    time.sleep(measure)
    k1, t1 = cpu_seconds(pid), time.monotonic()
    c0 = children_cpu()
    out, _ = proc.communicate(timeout=60)
    reader_cpu = children_cpu() - c0  # the whole run of the reader, warm-up included
    pictures, latency = [], None
    for line in out.splitlines():
        parts = line.split()
        if parts[0] == "client":
            pictures.append(int(parts[3]))
        elif parts[0] == "latency_ms":
            latency = (float(parts[2]), float(parts[4]), int(parts[6]))
    return {"cpu": (k1 - k0) / (t1 - t0), "pictures": pictures, "latency": latency,
            "reader_cpu": reader_cpu / (warmup + measure)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("kestrel")
    ap.add_argument("reader")
    ap.add_argument("--measure", type=float, default=10)
    ap.add_argument("--warmup", type=float, default=3)
    ap.add_argument("--spread", action="store_true",
                    help="each client from an address of its own (127.1.x.y): one viewer per client")
    ap.add_argument("--bare", help="bench/bare_sender.c, built: the kernel's own cost beside Kestrel's")
    ap.add_argument("--apart", action="store_true",
                    help="server on processor 0; reader and loopback's receive processing on processor 1")
    a = ap.parse_args()
    if a.apart:
        if (os.cpu_count() or 1) < 2:
            sys.exit("--apart needs two processors or more")
        try:
            with open(RPS_CPUS) as f:
                rps_before = f.read().strip()
            with open(RPS_CPUS, "w") as f:
                f.write("2")
        except OSError as e:
            sys.exit("--apart must steer loopback's receive processing (%s): run it as root (%s)" % (RPS_CPUS, e))
    try:
        run(a)
    finally:
        if a.apart:
            with open(RPS_CPUS, "w") as f:
                f.write(rps_before)


def run(a):
    a.kestrel, a.reader = os.path.abspath(a.kestrel), os.path.abspath(a.reader)
    k = Kestrel(a.kestrel, device=0,
                values={"JpegQuality": 75, "StreamMaxFps": FPS, "StreamMaxClients": 256,
                        "StreamMaxPerAddress": 256, "MaxConnPerAddress": 1024},
                drivers={"TestPattern": {"Size": 5}})  # 640 x 480
    with open(k.settings, "a") as f:
        for sub, text, ypos in (("caption0", "Kestrel %Y-%m-%d", 0), ("caption1", "%H:%M:%S", 30)):
            f.write('\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\%s]\n"Enabled"=dword:00000001\n'
                    '"Text"="%s"\n"YPos"=dword:%08x\n' % (sub, text, ypos))
    k.start(timeout=60)
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/stream.mjpg" % k.port, timeout=30) as r:
            first = r.read(1024).decode("latin-1")
        length = re.search(r"Content-Length: (\d+)", first, re.I)
        part_bytes = int(length.group(1)) if length else 0
        time.sleep(2)
        pid = k.proc.pid
        if a.apart:
            pin(pid, 0)
        due = FPS * a.measure
        r32 = read_stream(a.reader, k.port, 32, a.warmup, a.measure, pid, a.spread, a.apart)
        if r32["latency"]:
            med, p99, n = r32["latency"]
            print("32 clients: age on arrival median %.1f ms, p99 %.1f ms over %d parts (goal: 60 / 120); "
                  "Kestrel CPU %.3f s/s, reader CPU %.3f s/s" % (med, p99, n, r32["cpu"], r32["reader_cpu"]))
        else:
            print("32 clients: the parts carry no X-Timestamp; Kestrel CPU %.3f s/s" % r32["cpu"])
        r1 = read_stream(a.reader, k.port, 1, a.warmup, a.measure, pid, a.spread, a.apart)
        r256 = read_stream(a.reader, k.port, 256, a.warmup, a.measure, pid, a.spread, a.apart)
        for name, r in (("1 client", r1), ("256 clients", r256)):
            shares = sorted(p / due for p in r["pictures"])
            print("%s: Kestrel CPU %.3f s/s, reader CPU %.3f s/s, pictures per client of those due: "
                  "lowest %.1f %%, median %.1f %%" % (name, r["cpu"], r["reader_cpu"], shares[0] * 100,
                                                     shares[len(shares) // 2] * 100))
        print("CPU 256 clients / 1 client: %.2f (goal: at most 2)" % (r256["cpu"] / max(r1["cpu"], 1e-9)))
        if a.bare and part_bytes:
            bare = {}
            for clients in (1, 256):
                sender = subprocess.Popen([os.path.abspath(a.bare), str(clients), str(part_bytes),
                                           str(int(a.warmup + a.measure + 5))], stdout=subprocess.PIPE, text=True)
                port = int(sender.stdout.readline())
                if a.apart:
                    pin(sender.pid, 0)
                bare[clients] = read_stream(a.reader, port, clients, a.warmup, a.measure, sender.pid,
                                            spread=a.spread, apart=a.apart)
                sender.wait(timeout=60)
            print("bare sender, %d-byte parts: 1 client %.3f s/s, 256 clients %.3f s/s; per client beyond "
                  "the first, Kestrel %.1f us a part, the bare sender %.1f us"
                  % (part_bytes, bare[1]["cpu"], bare[256]["cpu"],
                     (r256["cpu"] - r1["cpu"]) / (255 * FPS) * 1e6,
                     (bare[256]["cpu"] - bare[1]["cpu"]) / (255 * FPS) * 1e6))
    finally:
        k.stop()


if __name__ == "__main__":
    main()
