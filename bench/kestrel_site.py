"""A headless Kestrel in a throw-away folder of its own, for the attack and load scripts.

    with kestrel_site(binary, "kestrel-x-", '"bLoggingOn"=dword:00000000\\n', prepare) as site:
        ... site.port, site.root, site.proc, site.stderr_path ...

The settings file holds the port, the web root and the given extra lines; `prepare(root)`
lays files in the web root before the start. The block begins once the port takes
connections; at its end Kestrel gets SIGTERM and the folder goes.
"""
import contextlib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from server_port import server_port  # beside this script


class Site:
    def __init__(self, work, port, root):
        self.work, self.port, self.root = work, port, root
        self.stderr_path = os.path.join(work, "kestrel.err")
        self.proc = None


def wait_listening(port, tries=200):
    for _ in range(tries):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=2).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


@contextlib.contextmanager
def kestrel_site(binary, prefix, settings="", prepare=None, stop_timeout=30):
    work = tempfile.mkdtemp(prefix=prefix)
    try:
        site = Site(work, server_port(), os.path.join(work, "root"))
        config = os.path.join(work, "config", "Velmora")
        os.makedirs(config)
        os.makedirs(site.root)
        if prepare:
            prepare(site.root)
        with open(os.path.join(config, "Kestrels.reg"), "w") as f:
            f.write("Windows Registry Editor Version 5.00\n\n"
                    "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
                    f'"uPort"=dword:{site.port:08x}\n"strRoot"="{site.root}"\n' + settings)
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"), HOME=work)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        with open(site.stderr_path, "w") as err:
            site.proc = subprocess.Popen([binary], cwd=work, env=env, stdout=subprocess.DEVNULL, stderr=err)
        try:
            if not wait_listening(site.port):
                raise SystemExit(f"Kestrel did not listen on port {site.port}: "
                                 + open(site.stderr_path).read()[-500:])
            yield site
        finally:
            site.proc.send_signal(signal.SIGTERM)
            site.proc.wait(timeout=stop_timeout)
    finally:
        shutil.rmtree(work, ignore_errors=True)
