"""Kestrel beside Motion on one camera, inside the camera virtual machine (started by
bench/beside_motion.sh): vivid's /dev/video0 at 640x480 and 10 frames a second, motion
detection on, two captions, an MJPEG stream at quality 75 and at most 10 pictures a second.
Each program runs alone, the two taking turns (started afresh) for no client, 1 client and
8 clients; the CPU time it used comes from /proc, the pictures from bench/stream_reader.

    beside_motion.py KESTREL_BINARY STREAM_READER [--measure S] [--warmup S]
"""

import argparse
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "camera-vm"))
from kestrel_vm import Kestrel  # noqa: E402

DEVICE = "/dev/video0"
BUS = "platform:vivid-000"
TICKS = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def rss_mib(pid):
    with open("/proc/%d/statm" % pid) as f:
        return int(f.read().split()[1]) * PAGE / 2**20


def v4l2(*args):
    return subprocess.run(["v4l2-ctl", "-d", DEVICE] + list(args), capture_output=True, text=True).stdout


def wait_for_stream(port, path, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=10) as r:
                if r.read(2048):
                    return True
        except OSError:
            time.sleep(0.5)
    return False


def measure(pid, reader, port, path, clients, warmup, seconds):
    """CPU seconds per second and pictures per second of each client over one window."""
    proc = None
    if clients:
        proc = subprocess.Popen([reader, "127.0.0.1", str(port), path, str(clients), str(warmup), str(seconds)],
                                stdout=subprocess.PIPE, text=True)
    time.sleep(warmup)
    c0, t0 = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    c1, t1 = cpu_seconds(pid), time.monotonic()
    rates, firsts = [], []
    if proc:
        out, _ = proc.communicate(timeout=seconds + 60)
        for line in out.splitlines():
            parts = line.split()
            rates.append(int(parts[3]) / seconds)
            firsts.append(float(parts[5]))
    return {"cpu": (c1 - c0) / (t1 - t0), "rates": rates, "firsts": firsts, "rss": rss_mib(pid)}


def report(name, clients, r):
    print("%s, %d client(s): CPU %.3f s/s, pictures/s per client %s, first picture ms %s, RSS %.1f MiB" % (
        name, clients, r["cpu"], " ".join("%.2f" % x for x in r["rates"]) or "-",
        " ".join("%.0f" % x for x in r["firsts"]) or "-", r["rss"]), flush=True)


@contextlib.contextmanager
def kestrel(binary, settle):
    """Kestrel running with the bench's settings: yields (pid, port, stream path)."""
    captions = {"caption0": {"Enabled": 1, "Text": "Kestrel %Y-%m-%d"},
                "caption1": {"Enabled": 1, "Text": "%H:%M:%S", "YPos": 30}}
    k = Kestrel(binary, device=1,
                values={"UseMotion": 1, "MotionQuality": 75, "JpegQuality": 75, "StreamMaxFps": 10},
                drivers={BUS: {"Width": 640, "Height": 480}})
    # Captions are sub keys of the program's key.
    with open(k.settings, "a") as f:
        for sub, vals in captions.items():
            f.write("\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\%s]\n" % sub)
            for key, value in vals.items():
                f.write('"%s"=%s\n' % (key, "dword:%08x" % value if isinstance(value, int) else '"%s"' % value))
    k.start(timeout=120)
    try:
        if not wait_for_stream(k.port, "/stream.mjpg", 120):
            raise RuntimeError("kestrel's stream did not answer: " + k.errors())
        time.sleep(settle)
        yield k.proc.pid, k.port, "/stream.mjpg"
    finally:
        k.stop()
        shutil.rmtree(k.box, ignore_errors=True)


MOTION_CONF = """daemon off
setup_mode off
log_level 4
log_file {box}/motion.log
target_dir {box}
videodevice {device}
width 640
height 480
framerate 10
text_left CAMERA1
text_right %Y-%m-%d\\n%T
picture_output off
movie_output off
webcontrol_port 0
stream_port {port}
stream_maxrate 10
stream_quality 75
stream_localhost on
stream_motion off
"""


@contextlib.contextmanager
def motion(settle):
    """Motion running with the bench's settings: yields (pid, port, stream path)."""
    v4l2("--set-parm=10")  # as Motion finds the device
    box = tempfile.mkdtemp(prefix="motion-")
    port = 18081
    conf = os.path.join(box, "motion.conf")
    with open(conf, "w") as f:
        f.write(MOTION_CONF.format(box=box, device=DEVICE, port=port))
    proc = subprocess.Popen(["motion", "-n", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_for_stream(port, "/", 120):
            with open(os.path.join(box, "motion.log"), errors="replace") as f:
                raise RuntimeError("motion's stream did not answer: " + f.read()[-2000:])
        time.sleep(settle)
        yield proc.pid, port, "/"
    finally:
        proc.terminate()
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(box, ignore_errors=True)


def table(k, m):
    def ratio(a, b):
        return "%.2f" % (a / b) if b else "-"

    def mean(xs):
        return sum(xs) / len(xs) if xs else 0.0

    print()
    print("| | Kestrel / Motion CPU per second | stream pictures per second a client got, Kestrel / Motion "
          "| CPU per delivered picture, Kestrel / Motion |")
    print("|---|---|---|---|")
    for clients, label in ((0, "no client"), (1, "1 client"), (8, "8 clients")):
        kr, mr = k[clients], m[clients]
        if not clients:
            print("| %s | %s (%.3f / %.3f s/s) | – | – |" % (label, ratio(kr["cpu"], mr["cpu"]), kr["cpu"], mr["cpu"]))
            continue
        kp, mp = sum(kr["rates"]), sum(mr["rates"])  # pictures a second, all clients
        kc = kr["cpu"] / kp if kp else float("inf")
        mc = mr["cpu"] / mp if mp else float("inf")
        print("| %s | %s (%.3f / %.3f s/s) | %.2f (min %.2f) / %.2f (min %.2f) | %s (%.1f / %.1f ms) |" % (
            label, ratio(kr["cpu"], mr["cpu"]), kr["cpu"], mr["cpu"], mean(kr["rates"]), min(kr["rates"]),
            mean(mr["rates"]), min(mr["rates"]), ratio(kc, mc), kc * 1000, mc * 1000))
    print()
    print("memory (RSS, MiB) no client / 1 / 8: Kestrel %s, Motion %s" % (
        " / ".join("%.1f" % k[c]["rss"] for c in (0, 1, 8)), " / ".join("%.1f" % m[c]["rss"] for c in (0, 1, 8))))
    print("first picture (ms), 1 client: Kestrel %s, Motion %s" % (
        " ".join("%.0f" % x for x in k[1]["firsts"]), " ".join("%.0f" % x for x in m[1]["firsts"])))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("kestrel")
    p.add_argument("reader")
    p.add_argument("--warmup", type=float, default=8)
    p.add_argument("--measure", type=float, default=20)
    p.add_argument("--settle", type=float, default=10)
    args = p.parse_args()
    out = v4l2("--set-fmt-video=width=640,height=480", "--set-parm=10")
    print("vivid: %s %s" % (out.strip(), v4l2("--get-parm").strip().replace("\n", "; ")), flush=True)
    # The two programs take turns for each number of clients (each started afresh), so
    # that a change of load on the host between them weighs on both alike.
    k, m = {}, {}
    for clients in (0, 1, 8):
        for name, start, rows in (("kestrel", lambda: kestrel(args.kestrel, args.settle), k),
                                  ("motion", lambda: motion(args.settle), m)):
            with start() as (pid, port, path):
                if clients == 0:
                    print("%s: driver %s" % (name, v4l2("--get-parm").strip().replace("\n", "; ")), flush=True)
                rows[clients] = measure(pid, args.reader, port, path, clients, args.warmup, args.measure)
                report(name, clients, rows[clients])
    table(k, m)


if __name__ == "__main__":
    main()
