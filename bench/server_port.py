#!/usr/bin/env python3
"""A port a freshly started server can listen on, for the load scripts.

The port is taken below the range the system hands out to outgoing connections, so that
the clients of a heavy load run (thousands of them, some still closing) can never be
holding it when the server binds. It is tried the way the server binds: all addresses,
both families. Prints the port; exits 1 when none was found.
"""
import random
import socket
import sys


def server_port():
    low = 32768
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        pass
    first = 10000 if low > 12000 else 1024
    for _ in range(200):
        port = random.randrange(first, max(first + 1, low))
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            try:
                s.bind(("::", port))
            except OSError:
                continue
            return port
    return 0


if __name__ == "__main__":
    port = server_port()
    if not port:
        sys.exit("server_port: no free port below the outgoing range")
    print(port)
