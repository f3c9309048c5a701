"""Checks of the whole program against the kernel's virtual video driver, run inside the
throw-away virtual machine by tests/camera-vm/run.sh. Each check starts build/kestrel headless
with a settings file of its own, reads its pictures over HTTP and its standard error, and
prints one line per result. Exit status 1 when any check failed."""

import os
import subprocess
import sys
import time
import urllib.error

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kestrel_vm import BARS, Kestrel, bar_colours, region_mean  # noqa: E402

BUS = "platform:vivid-000"
BRIGHTNESS = 0x00980900
failures = []


def check(name, ok, detail=""):
    print("%s  %s%s" % ("ok  " if ok else "FAIL", name, ("  (" + detail + ")") if detail else ""), flush=True)
    if not ok:
        failures.append(name)


def v4l2(*args, device="/dev/video0"):
    return subprocess.run(["v4l2-ctl", "-d", device] + list(args), capture_output=True, text=True)


def is_off_picture(img):
    """The camera-off picture is dark all round; vivid's bars start with a light bar on the left."""
    w, h = img.size
    return sum(region_mean(img, 2, h - h // 8, w // 16, h - 2)) / 3 < 80


def page_size(root):
    try:
        with open(os.path.join(root, "index1.html"), encoding="utf-8", errors="replace") as f:
            page = f.read()
    except OSError:
        return None
    import re
    m = re.search(r'src="frame\.jpg" width="(\d+)" height="(\d+)"', page)
    return (int(m.group(1)), int(m.group(2))) if m else None


def save(img, name):
    img.save("/tmp/camera-vm-%s.png" % name)
    return img


def wait_for(predicate, limit, step=0.2):
    """Polls `predicate` (which fetches a frame) until it holds or `limit` seconds have passed.
    Returns (ok, seconds, requests, errors); seconds count to the start of the request that
    showed it, since each request itself is slow in the emulated machine."""
    start = time.time()
    requests = errors = 0
    while True:
        asked = time.time() - start
        if asked > limit:
            return False, asked, requests, errors
        requests += 1
        try:
            if predicate():
                return True, asked, requests, errors
        except Exception:  # an unanswered request counts against the program
            errors += 1
        time.sleep(step)


def streaming_sizes(binary):
    """The default size, then sizes stored as the format dialog stores them; brightness stored
    as the source dialog stores it is set again at start and shows in the picture."""
    levels = {}
    for size, brightness in [(None, None), ((320, 180), None), ((1280, 720), 200), ((640, 480), None)]:
        drivers = {}
        if size:
            drivers = {BUS: {"Width": size[0], "Height": size[1]}}
        if brightness is not None:
            drivers.setdefault(BUS, {})["Control%d" % BRIGHTNESS] = brightness
        k = Kestrel(binary, device=1, drivers=drivers)
        label = "%dx%d" % size if size else "default"
        try:
            k.start()
            img = k.frame()
            want = size or (640, 480)
            check("stream %s: frame.jpg is %dx%d" % (label, *want), img.size == want, "got %dx%d" % img.size)
            bars = bar_colours(img)
            check("stream %s: upright bars in their colours" % label, bars == BARS, " ".join(bars))
            check("stream %s: pages use the frame size" % label, page_size(k.root) == want, str(page_size(k.root)))
            w, h = img.size
            levels[label] = region_mean(img, w // 32, h * 3 // 4, w * 2 // 32, h * 7 // 8)[1]
            if brightness is not None:
                ctl = v4l2("-C", "brightness").stdout.strip()
                check("stream %s: stored brightness set on the device" % label, ctl == "brightness: %d" % brightness, ctl)
                img.save("/tmp/camera-vm-brightness-%d.png" % brightness)
            elif size is None:
                img.save("/tmp/camera-vm-brightness-default.png")
        except Exception as e:  # the program did not start or answer
            check("stream %s: program answers" % label, False, "%s; stderr: %s" % (e, k.errors()[-400:]))
        finally:
            rc = k.stop()
        check("stream %s: SIGTERM exits 0" % label, rc == 0, str(rc))
        if brightness is not None and rc == 0:
            check("stream %s: brightness kept in the settings file" % label,
                  ('"Control%d"=dword:%08x' % (BRIGHTNESS, brightness)) in k.stored())
    if "1280x720" in levels and "default" in levels:
        check("brightness 200 makes the white bar brighter", levels["1280x720"] > levels["default"] + 20,
              "%.0f against %.0f" % (levels["1280x720"], levels["default"]))
    v4l2("-c", "brightness=128")


def unplugging(binary):
    """The disconnect button while streaming, with the device held open from outside; then the
    module removed and loaded again. Motion detection is on over a still picture, so a snapshot
    is taken only for the first frame after each (re)connection, when the detector starts afresh."""
    v4l2("-c", "osd_text_mode=2", "-c", "horizontal_movement=3")
    k = Kestrel(binary, device=1, values={"UseMotion": 1, "MotionQuality": 75})
    logpic = os.path.join(k.root, "logpic")

    def snapshots():
        return len(os.listdir(logpic)) if os.path.isdir(logpic) else 0

    try:
        k.start()
        check("unplug: streams before", bar_colours(k.frame()) == BARS)
        time.sleep(1.1)
        k.frame()
        before = snapshots()
        held = os.open("/dev/video0", os.O_RDWR)
        v4l2("-c", "disconnect=1")
        ok, secs, n, errs = wait_for(lambda: is_off_picture(k.frame(timeout=10)), 2.0)
        check("unplug: camera-off picture within 2 s", ok, "%.1f s" % secs)
        ok2, _, n2, errs2 = wait_for(lambda: not is_off_picture(save(k.frame(timeout=10), "unplugged")), 4.0)
        check("unplug: camera-off picture while the device stays gone", not ok2)
        check("unplug: the camera's loss is said once", k.errors().count("is lost (no pictures)") == 1,
              k.errors()[-300:])
        check("unplug: every request answered", errs + errs2 == 0, "%d of %d failed" % (errs + errs2, n + n2))
        os.close(held)
        ok, secs, _, errs = wait_for(lambda: bar_colours(k.frame(timeout=10)) == BARS, 20.0)
        check("unplug: streams again by itself after the device returns", ok, "%.1f s" % secs)
        check("unplug: its return is said", "delivers pictures again" in k.errors(), k.errors()[-300:])
        time.sleep(1.1)  # snapshots are named by the second
        k.frame()
        check("unplug: motion detector starts afresh after reconnecting", snapshots() == before + 1,
              "%d snapshots before, %d after" % (before, snapshots()))

        r = subprocess.run(["rmmod", "-f", "vivid"], capture_output=True, text=True)
        check("rmmod -f vivid while streaming", r.returncode == 0, r.stderr.strip())
        ok, secs, n, errs = wait_for(lambda: is_off_picture(k.frame(timeout=10)), 2.0)
        check("rmmod: camera-off picture within 2 s", ok, "%.1f s" % secs)
        time.sleep(1)
        r = subprocess.run(["modprobe", "vivid"] + os.environ.get("VIVID_OPTS", "").split(),
                           capture_output=True, text=True)
        check("modprobe vivid", r.returncode == 0, r.stderr.strip())
        ok, secs, _, errs2 = wait_for(lambda: bar_colours(k.frame(timeout=10)) == BARS, 20.0)
        check("modprobe: streams again without a restart", ok, "%.1f s" % secs)
        check("rmmod: every request answered", errs + errs2 == 0)
    except Exception as e:
        check("unplug: program answers", False, str(e))
    finally:
        rc = k.stop()
    check("unplug: SIGTERM exits 0", rc == 0, str(rc))


def busy(binary):
    """Another program streams from the camera: the owner is told, nothing hangs."""
    other = subprocess.Popen(["v4l2-ctl", "-d", "/dev/video0", "--stream-mmap", "--stream-count=100000"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(2)
    k = Kestrel(binary, device=1)
    try:
        k.start()
        try:
            status, _ = k.get("/frame.jpg", timeout=10)
        except urllib.error.HTTPError as e:
            status = e.code
        check("busy: a picture request is answered", status in (200, 404), str(status))
    except Exception as e:
        check("busy: program answers", False, str(e))
    finally:
        rc = k.stop()
        other.kill()
        other.wait()
    check("busy: the owner is told the device cannot be opened",
          "キャプチャデバイスがオープンできません" in k.errors(), k.errors()[-300:])
    check("busy: SIGTERM exits 0", rc == 0, str(rc))


def motion(binary):
    """Moving bars make snapshots; a still picture makes none after the first frame."""
    v4l2("-c", "osd_text_mode=2")  # no changing counters in the picture
    for moving in (True, False):
        v4l2("-c", "horizontal_movement=%d" % (1 if moving else 3))
        k = Kestrel(binary, device=1, values={"UseMotion": 1, "MotionQuality": 75})
        logpic = os.path.join(k.root, "logpic")
        try:
            k.start()
            for _ in range(6):  # motion is looked for when a picture is composed
                k.frame()
                time.sleep(0.7)
        except Exception as e:
            check("motion: program answers", False, str(e))
        finally:
            rc = k.stop()
        snaps = [n for n in os.listdir(logpic) if n.lower().endswith(".jpg")] if os.path.isdir(logpic) else []
        if moving:
            check("motion: moving bars make snapshots", len(snaps) >= 3, "%d snapshots" % len(snaps))
        else:
            check("motion: a still picture makes one snapshot (the first frame)", len(snaps) <= 1,
                  "%d snapshots" % len(snaps))
        check("motion: SIGTERM exits 0", rc == 0, str(rc))
    v4l2("-c", "horizontal_movement=3", "-c", "osd_text_mode=0")


def second_device(binary):
    """With two capture devices the second one is driver 2 and streams. The second device is
    made brighter than the first, so the picture tells which one is shown."""
    v4l2("-c", "brightness=128")
    v4l2("-c", "brightness=230", device="/dev/video1")
    k = Kestrel(binary, device=2)
    try:
        k.start()
        img = k.frame()
        check("second device: streams", bar_colours(img) == BARS, " ".join(bar_colours(img)))
        w, h = img.size
        level = region_mean(img, w // 32, h * 3 // 4, w * 2 // 32, h * 7 // 8)[1]
        check("second device: the picture is the second device's", level > 230, "white bar at %.0f" % level)
    except Exception as e:
        check("second device: program answers", False, str(e))
    finally:
        rc = k.stop()
    check("second device: SIGTERM exits 0", rc == 0, str(rc))


def names(binary):
    """Two capture devices with udev's stable links: --list-cameras lists both with their sizes;
    vivid's two devices share one driver instance, so udev gives both the same by-path name
    (and only one of them gets it): that name is not offered as either camera's. A stored
    link wins over a stored index that went stale."""
    r = subprocess.run([binary, "--list-cameras"], capture_output=True, text=True, timeout=120,
                       env=dict(os.environ, HOME="/tmp"))
    print(r.stdout, end="", flush=True)
    lines = r.stdout.splitlines()
    check("list-cameras: exits 0", r.returncode == 0, r.stderr.strip())
    check("list-cameras: the test pattern and two cameras", len(lines) == 3, "%d lines" % len(lines))
    for line in lines[1:]:
        fields = line.split()
        check("list-cameras: %s offers 640x480 and 1280x720" % fields[1],
              " 640x480" in line and " 1280x720" in line, line)
        check("list-cameras: %s is offered no link it shares" % fields[1], fields[2] == "-", line)
    by_path = sorted(os.listdir("/dev/v4l/by-path")) if os.path.isdir("/dev/v4l/by-path") else []
    check("udev made the by-path link", len(by_path) == 1, " ".join(by_path))
    if not by_path:
        return
    # The camera the link names, stored by the link but with the other camera's index.
    link = "/dev/v4l/by-path/" + by_path[0]
    target = os.path.realpath(link)
    linked = 1 + int(target[len("/dev/video"):])
    other = 3 - linked
    v4l2("-c", "brightness=230", device=target)
    v4l2("-c", "brightness=128", device="/dev/video%d" % (other - 1))
    k = Kestrel(binary, device=other, values={"CaptureDevicePath": link})
    try:
        k.start()
        img = k.frame()
        w, h = img.size
        level = region_mean(img, w // 32, h * 3 // 4, w * 2 // 32, h * 7 // 8)[1]
        check("stored link: the picture is the linked camera's", level > 230, "white bar at %.0f" % level)
    except Exception as e:
        check("stored link: program answers", False, str(e))
    finally:
        rc = k.stop()
    said = "stored camera %s is driver %d now (it was %d)" % (link, linked, other)
    check("stored link: said once", k.errors().count(said) == 1, k.errors()[-300:])
    check("stored link: index follows the link in the saved file",
          ('"CaptureDevice"=dword:%08x' % linked) in k.stored() and ('"CaptureDevicePath"="%s"' % link) in k.stored())
    print(k.errors(), end="", flush=True)
    check("stored link: SIGTERM exits 0", rc == 0, str(rc))


if __name__ == "__main__":
    binary = os.path.abspath(sys.argv[1])
    groups = {"streaming": streaming_sizes, "unplug": unplugging, "busy": busy, "motion": motion,
              "second": second_device, "names": names}
    for name in sys.argv[2:]:
        started = time.time()
        groups[name](binary)
        print("-- %s took %.0f s" % (name, time.time() - started), flush=True)
    sys.exit(1 if failures else 0)
