"""Helpers for the camera checks that run inside the throw-away virtual machine: start the real
program headless against the vivid driver's /dev/video* nodes, fetch its pictures over HTTP,
and look at them."""

import io
import os
import signal
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

from PIL import Image

SETTINGS_HEAD = "Windows Registry Editor Version 5.00\n\n"
KEY = "HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels"


def free_port():
    # Free on every address, as the program listens on all of them: a port free on 127.0.0.1
    # alone may be held on another loopback address (a benchmark's clients use 127.1.x.y).
    with socket.socket() as s:
        s.bind(("", 0))
        return s.getsockname()[1]


def dword(v):
    return "dword:%08x" % (v & 0xFFFFFFFF)


class Kestrel:
    """One run of the program in a sandbox of its own (home, settings folder, web root)."""

    def __init__(self, binary, device=1, values=None, drivers=None, sandbox=None):
        self.binary = binary
        self.box = sandbox or tempfile.mkdtemp(prefix="camvm-")
        self.port = free_port()
        self.root = os.path.join(self.box, "home", "WebPages")  # made and filled by the program
        os.makedirs(os.path.join(self.box, "cfg", "Velmora"), exist_ok=True)
        os.makedirs(os.path.join(self.box, "home"), exist_ok=True)
        self.settings = os.path.join(self.box, "cfg", "Velmora", "Kestrels.reg")
        if not os.path.exists(self.settings):
            text = SETTINGS_HEAD + "[%s]\n" % KEY
            text += '"uPort"=%s\n"CaptureDevice"=%s\n' % (dword(self.port), dword(device))
            for name, value in (values or {}).items():
                text += '"%s"=%s\n' % (name, dword(value) if isinstance(value, int) else '"%s"' % value)
            for sub, vals in (drivers or {}).items():
                text += "\n[%s\\Drivers\\%s]\n" % (KEY, sub)
                for name, value in vals.items():
                    text += '"%s"=%s\n' % (name, dword(value))
            with open(self.settings, "w") as f:
                f.write(text)
        else:
            self.set_port()
        self.proc = None
        self.stderr_path = os.path.join(self.box, "stderr.txt")

    def set_port(self):
        with open(self.settings) as f:
            lines = f.read().split("\n")
        lines = ['"uPort"=%s' % dword(self.port) if l.startswith('"uPort"=') else l for l in lines]
        with open(self.settings, "w") as f:
            f.write("\n".join(lines))

    def start(self, timeout=60):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env.update(HOME=os.path.join(self.box, "home"), XDG_CONFIG_HOME=os.path.join(self.box, "cfg"),
                   QT_QPA_PLATFORM="offscreen")
        self.stderr = open(self.stderr_path, "ab")
        self.proc = subprocess.Popen([self.binary], cwd=self.box, env=env, stdout=subprocess.DEVNULL,
                                     stderr=self.stderr)
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("kestrel exited with %s: %s" % (self.proc.returncode, self.errors()))
            # Listening starts before the start-up sequence has finished; the first answer
            # (of any status) says the program is serving.
            try:
                self.get("/", timeout=max(1, deadline - time.time()))
                return self
            except urllib.error.HTTPError:
                return self
            except OSError:
                time.sleep(0.2)
        raise RuntimeError("kestrel did not listen within %d s" % timeout)

    def get(self, path, timeout=30):
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.port, path), timeout=timeout) as r:
            return r.status, r.read()

    def frame(self, timeout=30):
        status, body = self.get("/frame.jpg?%d" % int(time.time() * 1000), timeout)
        return Image.open(io.BytesIO(body)).convert("RGB")

    def stop(self, timeout=30):
        if not self.proc:
            return None
        self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            rc = "hung"
        self.proc = None
        self.stderr.close()
        return rc

    def errors(self):
        try:
            with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stored(self):
        with open(self.settings, encoding="utf-8", errors="replace") as f:
            return f.read()


# vivid's "75% Colorbar" pattern: eight bars left to right.
BARS = ["white", "yellow", "cyan", "green", "magenta", "red", "blue", "black"]


def classify(rgb):
    """Names the bar colour of one averaged pixel (75% bars: about 191 for on, 0 for off)."""
    on = [c > 120 for c in rgb]
    names = {(1, 1, 1): "white", (1, 1, 0): "yellow", (0, 1, 1): "cyan", (0, 1, 0): "green",
             (1, 0, 1): "magenta", (1, 0, 0): "red", (0, 0, 1): "blue", (0, 0, 0): "black"}
    return names[tuple(int(x) for x in on)]


def region_mean(img, x0, y0, x1, y1):
    px = img.crop((x0, y0, x1, y1)).resize((1, 1), Image.BOX).getpixel((0, 0))
    return tuple(px)


def bar_colours(img):
    """The colours of the eight bars, sampled along the bottom (the driver writes text from the top)."""
    w, h = img.size
    out = []
    for i in range(8):
        x0 = int(w * (i + 0.3) / 8)
        x1 = int(w * (i + 0.7) / 8)
        out.append(classify(region_mean(img, x0, int(h * 0.88), x1, int(h * 0.97))))
    return out


def mean_level(img):
    return sum(region_mean(img, 0, img.size[1] // 2, img.size[0], img.size[1])) / 3
