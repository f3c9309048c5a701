#!/usr/bin/env python3
"""Folder listings asked for all at once, figures printed for the closing note: a folder of
20,000 files, 100 (then 200) listing requests sent together, and how long a fresh client
then waits for "/index.html"; also the size of the listing page.

Runs build/kestrel (or the program given) headless with a private settings folder, web root
(listings allowed) and free port, and stops it afterwards.
Usage: bench/listing_flood.py [path/to/kestrel] [files, default 20000]
"""

import os
import socket
import sys
import threading
import time

from kestrel_site import kestrel_site  # beside this script

KESTREL = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/kestrel")
FILES = int(sys.argv[2]) if len(sys.argv) > 2 else 20000


def get(port, path, timeout=300):
    # From an address of its own, as a fresh client would come.
    with socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=("127.0.0.200", 0)) as s:
        s.sendall(f"GET {path} HTTP/1.0\r\n\r\n".encode())
        answer = b""
        while chunk := s.recv(1 << 20):
            answer += chunk
    return answer


def flood(port, count):
    socks = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=120)
        s.sendall(b"GET /many/ HTTP/1.0\r\n\r\n")
        socks.append(s)
    time.sleep(0.05)
    began = time.monotonic()
    fresh = get(port, "/index.html")
    waited = time.monotonic() - began

    def drain(s):
        try:
            while s.recv(1 << 20):
                pass
        except OSError:
            pass
        s.close()

    threads = [threading.Thread(target=drain, args=(s,)) for s in socks]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return fresh.startswith(b"HTTP/1.0 200"), waited, time.monotonic() - began


def main():
    def prepare(root):
        many = os.path.join(root, "many")
        os.makedirs(many)
        with open(os.path.join(root, "index.html"), "w") as f:
            f.write("<html>home</html>")
        for i in range(FILES):
            open(os.path.join(many, f"file{i:06d}.txt"), "w").close()

    settings = '"bAllowListing"=dword:00000001\n"bLoggingOn"=dword:00000000\n'
    with kestrel_site(KESTREL, "kestrel-listing-", settings, prepare) as site:
        page = get(site.port, "/many/")
        rows = page.count(b"<a href=")
        tail = page[page.rfind(b"</a>") + 4:][:200]
        print(f"listing of {FILES} files: {len(page) / 1e6:.1f} MB, {rows} links; after the rows: {tail!r}")
        for count in (100, 200):
            ok, waited, total = flood(site.port, count)
            print(f"{count} listings queued: fresh client {'answered' if ok else 'NOT answered'} after "
                  f"{waited:.2f} s; all {count} listings received after {total:.1f} s")


if __name__ == "__main__":
    main()
