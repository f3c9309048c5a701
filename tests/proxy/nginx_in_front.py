#!/usr/bin/env python3
"""Kestrel behind nginx, both on loopback, with nginx terminating TLS: the README's recipe
as written there, run for real.

Kestrel listens on 127.0.0.1 only and trusts 127.0.0.1 (the proxy). Clients reach nginx
from other loopback addresses (127.0.0.5, ...), so that the address nginx forwards can be
told from the proxy's own. Checked: pages and the redirect followed over HTTPS, a picture
with the password, the stream playing through the proxy, the forwarded address in the hit
log, in a script's REMOTE_ADDR and in the password lockout, a spoofed X-Forwarded-For from
an untrusted peer ignored, the caching recipe holding a picture for a second, and nothing
answering on another address than ListenAddress.

Usage: nginx_in_front.py KESTREL_BINARY SOURCE_DIR   (exit 77: skipped, nginx or openssl missing)
"""

import glob
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

SKIP = 77


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=20.0, what="condition"):
    end = time.time() + timeout
    while time.time() < end:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def raw_exchange(port, request, source="127.0.0.1", tls_context=None, host="127.0.0.1", read_limit=None,
                 timeout=10.0):
    """Sends `request` from `source`, returns the whole answer (or its first read_limit bytes)."""
    sock = socket.create_connection((host, port), timeout=timeout, source_address=(source, 0))
    if tls_context:
        sock = tls_context.wrap_socket(sock, server_hostname="localhost")
    with sock:
        sock.sendall(request.encode())
        data = b""
        while read_limit is None or len(data) < read_limit:
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
        return data


def split(answer):
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return lines[0], headers, body


# The README's nginx recipe, with the test's ports and files put in.
RECIPE = """
    server {{
        listen 127.0.0.1:{nginx_port} ssl;
        server_name localhost;
        ssl_certificate     {cert};
        ssl_certificate_key {key};

        proxy_set_header Host              $host;
        proxy_set_header X-Forwarded-For   $proxy_add_x_forwarded_for;
        proxy_set_header X-Forwarded-Proto $scheme;
        proxy_set_header X-Forwarded-Host  $http_host;

        location / {{
            proxy_pass http://127.0.0.1:{kestrel_port};
        }}
        # The live stream: every picture passed on as it comes.
        location = /stream.mjpg {{
            proxy_pass http://127.0.0.1:{kestrel_port};
            proxy_buffering off;
            proxy_read_timeout 1h;
        }}
    }}
"""


# The README's caching recipe for a camera without a password (served in plain HTTP here).
CACHE_RECIPE = """
    proxy_cache_path {cache} keys_zone=kestrel:1m max_size=32m inactive=1m;

    server {{
        listen 127.0.0.1:{cache_port};
        proxy_set_header Host              $host;
        proxy_set_header X-Forwarded-For   $proxy_add_x_forwarded_for;
        proxy_set_header X-Forwarded-Proto $scheme;
        proxy_set_header X-Forwarded-Host  $http_host;
        add_header X-Cache-Status $upstream_cache_status;

        location ~ ^/framei?\\.jpg$ {{
            proxy_pass http://127.0.0.1:{kestrel_port};
            proxy_cache kestrel;
            proxy_cache_key $scheme$host$uri;
            proxy_cache_lock on;
        }}
    }}
"""


def start_kestrel(kestrel, work, name, port, extra_lines):
    """Starts a headless Kestrel in work/name on 127.0.0.1:port; returns (process, web root)."""
    home = os.path.join(work, name)
    os.makedirs(home)
    root = os.path.join(home, "WebPages")
    settings = os.path.join(home, "Kestrels.reg")
    with open(settings, "w") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\r\n"
                f"\"uPort\"=dword:{port:08x}\r\n"
                f"\"strRoot\"=\"{root}\"\r\n"
                "\"ListenAddress\"=\"127.0.0.1\"\r\n"
                "\"TrustedProxies\"=\"127.0.0.1\"\r\n"
                "\"CaptureDevice\"=dword:00000000\r\n"
                "\"StreamMaxFps\"=dword:0000000a\r\n" + "".join(line + "\r\n" for line in extra_lines))
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env["HOME"] = home
    env["XDG_CONFIG_HOME"] = os.path.join(home, "config")
    env["XDG_RUNTIME_DIR"] = home
    k = subprocess.Popen([kestrel, "--headless", "--settings", settings], cwd=home, env=env,
                         stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
    said = []
    threading.Thread(target=lambda: said.extend(iter(k.stderr.readline, "")), daemon=True).start()
    wait_for(lambda: any("kestrel: serving" in line for line in said) or k.poll() is not None,
             what="Kestrel's start line")
    if k.poll() is not None:
        raise AssertionError("Kestrel did not start: " + "".join(said))
    return k, root, said


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    kestrel, source = sys.argv[1], sys.argv[2]
    nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)
    if not nginx or not shutil.which("openssl"):
        print("nginx-in-front: nginx or openssl is not installed; skipped")
        return SKIP

    work = tempfile.mkdtemp(prefix="kestrel-nginx-")
    os.chmod(work, 0o755)
    processes = []
    try:
        cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-nodes", "-days", "2", "-keyout", key, "-out", cert, "-subj", "/CN=localhost",
                        "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                       check=True, capture_output=True)

        kestrel_port, nginx_port = free_port(), free_port()
        open_port, cache_port = free_port(), free_port()
        k, root, said = start_kestrel(kestrel, work, "cam", kestrel_port, ["\"PicPass\"=\"pw\""])
        processes.append(k)
        # A second camera without a password, behind the caching recipe.
        k2, _, _ = start_kestrel(kestrel, work, "open", open_port, [])
        processes.append(k2)
        os.makedirs(os.path.join(root, "cgi"), exist_ok=True)
        script = os.path.join(root, "cgi", "env.exe")
        with open(script, "w") as f:
            f.write("#!/bin/sh\necho 'Content-type: text/plain'\necho\nenv\n")
        os.chmod(script, 0o755)

        temp = os.path.join(work, "nginx-temp")
        os.makedirs(temp)
        os.chmod(temp, 0o777)
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"""
daemon off;
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {temp}/body;
    proxy_temp_path {temp}/proxy;
    fastcgi_temp_path {temp}/fastcgi;
    uwsgi_temp_path {temp}/uwsgi;
    scgi_temp_path {temp}/scgi;
""" + RECIPE.format(nginx_port=nginx_port, kestrel_port=kestrel_port, cert=cert, key=key)
                    + CACHE_RECIPE.format(cache=os.path.join(work, "cache"), cache_port=cache_port,
                                          kestrel_port=open_port) + "}\n")
        n = subprocess.Popen([nginx, "-e", os.path.join(work, "nginx-error.log"), "-p", work, "-c", conf],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        processes.append(n)

        def nginx_up():
            try:
                socket.create_connection(("127.0.0.1", nginx_port), timeout=1).close()
                return True
            except OSError:
                return n.poll() is not None
        wait_for(nginx_up, what="nginx")
        assert n.poll() is None, "nginx did not start: " + n.stderr.read()

        tls = ssl.create_default_context(cafile=cert)
        https = f"https://localhost:{nginx_port}"
        checks = []

        # Pages, and the default document's redirect followed over HTTPS.
        opener = urllib.request.build_opener(urllib.request.HTTPSHandler(context=tls))
        with opener.open(https + "/", timeout=10) as page:
            assert page.status == 200
            assert page.geturl() == https + "/index.html", page.geturl()
            assert b"<html" in page.read().lower()
        status, headers, _ = split(raw_exchange(nginx_port, f"GET / HTTP/1.0\r\nHost: localhost:{nginx_port}\r\n\r\n",
                                                tls_context=tls))
        assert " 302 " in status and headers.get("location") == "/index.html", (status, headers)
        checks.append("redirect to /index.html followed over HTTPS")

        # The picture with the password, and without it (pass.jpg); neither kept by caches.
        request = "GET /frame.jpg?1&picid={} HTTP/1.0\r\nHost: localhost:%d\r\n\r\n" % nginx_port
        status, headers, body = split(raw_exchange(nginx_port, request.format("pw"), tls_context=tls))
        assert " 200 " in status and body[:2] == b"\xff\xd8", status
        assert headers.get("cache-control") == "no-store, private", headers
        with open(os.path.join(root, "pass.jpg"), "rb") as f:
            refused = f.read()
        status, headers, body = split(raw_exchange(nginx_port, request.format("wrong"), tls_context=tls))
        assert " 200 " in status and body == refused, status
        checks.append("picture with the password; pass.jpg without it")

        # The stream through the proxy: pictures arrive one by one.
        answer = raw_exchange(nginx_port, f"GET /stream.mjpg?1&picid=pw HTTP/1.0\r\nHost: localhost:{nginx_port}\r\n\r\n",
                              tls_context=tls, read_limit=3 * 1024, timeout=10)
        status, headers, body = split(answer)
        assert " 200 " in status and "multipart/x-mixed-replace" in headers.get("content-type", ""), status
        start = time.time()
        sock = socket.create_connection(("127.0.0.1", nginx_port), timeout=10)
        with tls.wrap_socket(sock, server_hostname="localhost") as s:
            s.sendall(f"GET /stream.mjpg?2&picid=pw HTTP/1.0\r\nHost: localhost:{nginx_port}\r\n\r\n".encode())
            data = b""
            while data.count(b"\xff\xd8") < 3 and time.time() - start < 15:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        assert data.count(b"\xff\xd8") >= 3, "the stream did not play through the proxy"
        checks.append("stream: 3 pictures in %.1f s" % (time.time() - start))

        # The forwarded client: a script's REMOTE_ADDR and scheme, even with a forged chain
        # (the client's own entries stand to the left of what nginx appends).
        answer = raw_exchange(nginx_port, f"GET /cgi/env.exe?x HTTP/1.0\r\nHost: localhost:{nginx_port}\r\n"
                                          "X-Forwarded-For: 6.6.6.6\r\n\r\n", source="127.0.0.5", tls_context=tls)
        _, _, body = split(answer)
        env_lines = set(body.decode().splitlines())
        for line in ("REMOTE_ADDR=127.0.0.5", "HTTPS=on", "SERVER_NAME=localhost", f"SERVER_PORT={nginx_port}"):
            assert line in env_lines, (line, body)
        checks.append("script sees REMOTE_ADDR=127.0.0.5, HTTPS=on, SERVER_PORT=%d" % nginx_port)

        # Straight to Kestrel from an untrusted peer: its X-Forwarded-* headers count for nothing.
        answer = raw_exchange(kestrel_port, "GET /cgi/env.exe?x HTTP/1.0\r\nHost: cam\r\nX-Forwarded-For: 6.6.6.6\r\n"
                                            "X-Forwarded-Proto: https\r\n\r\n", source="127.0.0.7")
        _, _, body = split(answer)
        env_lines = set(body.decode().splitlines())
        assert "REMOTE_ADDR=127.0.0.7" in env_lines and "HTTPS=on" not in env_lines, body
        checks.append("spoofed X-Forwarded-For from 127.0.0.7 ignored")

        # The hit log names the forwarded client, never the forged entry.
        raw_exchange(nginx_port, f"GET /index.html HTTP/1.0\r\nHost: localhost:{nginx_port}\r\n\r\n", source="127.0.0.6",
                     tls_context=tls)

        def logged():
            logs = glob.glob(os.path.join(work, "cam", " Log *.hsl"))
            return logs and "\t127.0.0.6\t" in open(logs[0], encoding="utf-8", errors="replace").read()
        wait_for(logged, what="the hit log line of 127.0.0.6")
        log = open(glob.glob(os.path.join(work, "cam", " Log *.hsl"))[0], encoding="utf-8", errors="replace").read()
        addresses = set(re.findall(r"^ \d{3}  \t([^\t]+)\t", log, re.M))
        assert "127.0.0.5" in addresses and "127.0.0.7" in addresses and "6.6.6.6" not in addresses, addresses
        checks.append("hit log addresses: " + ", ".join(sorted(addresses)))

        # Password guessing locks out the forwarded client, not the proxy that carries it:
        # another client through the same proxy still gets the picture.
        for n in range(5):
            raw_exchange(nginx_port, f"GET /frame.jpg?1&picid=guess{n} HTTP/1.0\r\nHost: localhost:{nginx_port}"
                                     "\r\n\r\n", source="127.0.0.8", tls_context=tls)
        wait_for(lambda: any("password lockout: 127.0.0.8 " in line for line in said), what="the lockout line")
        _, _, body = split(raw_exchange(nginx_port, request.format("pw"), source="127.0.0.8", tls_context=tls))
        assert body == refused, "the locked-out client got the picture"
        _, _, body = split(raw_exchange(nginx_port, request.format("pw"), source="127.0.0.9", tls_context=tls))
        assert body[:2] == b"\xff\xd8", "another client behind the proxy was locked out too"
        assert not any("password lockout: 127.0.0.1 " in line for line in said), said
        checks.append("lockout names 127.0.0.8, 127.0.0.9 still served")

        # The caching recipe: within a second every viewer gets one copy, whatever the query;
        # then the picture is fetched afresh. With a password nothing is kept.
        def cached(path, port=cache_port):
            status, headers, body = split(raw_exchange(port, f"GET {path} HTTP/1.0\r\nHost: localhost\r\n\r\n"))
            assert " 200 " in status and body[:2] == b"\xff\xd8", (path, status)
            return headers.get("x-cache-status"), headers.get("cache-control"), body
        time.sleep(1.1 - time.time() % 1.0)  # early in a second: the next request falls within it
        first, control, picture = cached("/frame.jpg?1")
        second, _, again = cached("/frame.jpg?2")
        assert control == "max-age=0, s-maxage=1", control
        assert (first, second) == ("MISS", "HIT") and again == picture, (first, second)
        time.sleep(2.1)  # the cache counts whole seconds
        third, _, _ = cached("/frame.jpg?3")
        assert third in ("EXPIRED", "MISS"), third
        checks.append("cache: %s, %s within the second, %s after it" % (first, second, third))

        # Nothing answers on another address than ListenAddress.
        try:
            socket.create_connection(("127.0.0.2", kestrel_port), timeout=2).close()
            raise AssertionError("Kestrel answered on 127.0.0.2")
        except ConnectionRefusedError:
            checks.append("127.0.0.2 refused")

        for c in checks:
            print("nginx-in-front: " + c)
        print("nginx-in-front: all checks passed")
        return 0
    finally:
        for p in reversed(processes):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
