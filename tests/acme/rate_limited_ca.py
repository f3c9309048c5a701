#!/usr/bin/python3
"""A certificate authority that refuses every new account as rate-limited.

    rate_limited_ca.py PORT CERT KEY RETRY_AFTER_SECONDS LOG

Serves the ACME directory, nonces, and answers the account request with 429, an
"urn:ietf:params:acme:error:rateLimited" problem and Retry-After. Every request's method
and path go to LOG, one per line, as they arrive.
"""
import http.server
import json
import ssl
import sys
import threading

port, cert, key, retry_after, log_path = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
base = "https://127.0.0.1:%d" % port
counter = iter(range(1, 1 << 30))
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self):
        with lock, open(log_path, "a") as log:
            log.write("%s %s\n" % (self.command, self.path))

    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        with lock:
            self.send_header("Replay-Nonce", "nonce-%d" % next(counter))
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_HEAD(self):
        self.record()
        self.answer(200)

    def do_GET(self):
        self.record()
        if self.path == "/dir":
            body = json.dumps({"newNonce": base + "/nonce", "newAccount": base + "/account",
                               "newOrder": base + "/order", "revokeCert": base + "/revoke",
                               "keyChange": base + "/key", "meta": {"termsOfService": base + "/terms"}})
            self.answer(200, body.encode(), [("Content-Type", "application/json")])
        else:
            self.answer(204 if self.path == "/nonce" else 404)

    def do_POST(self):
        self.record()
        self.rfile.read(int(self.headers.get("Content-Length", "0")))
        problem = {"type": "urn:ietf:params:acme:error:rateLimited",
                   "detail": "too many new accounts from this address, come back later", "status": 429}
        self.answer(429, json.dumps(problem).encode(),
                    [("Content-Type", "application/problem+json"), ("Retry-After", retry_after)])


server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
