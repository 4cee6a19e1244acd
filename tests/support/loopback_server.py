#!/usr/bin/env python3
"""Loopback HTTP/HTTPS test server, bound to 127.0.0.1 only, bounded in time
and in requests.

    loopback_server.py [--tls CERT KEY] [--port N] [--port-file F]
                       [--routes routes.json] [--log requests.jsonl]
                       [--lifetime SECONDS] [--max-requests N]

Port 0 (the default) picks a free port; the port is written to --port-file
(and printed as "PORT <n>" on stdout). Answers, in this order:

- a route from --routes: {"POST /api/getVersion": {"status": 200,
  "headers": {"Content-Type": "application/json"}, "body": "..."}, ...};
  "body_file" instead of "body" sends a file's bytes;
- built-in paths:
    /status/<code>     that status with a short body
    /chunked           chunked body, no Content-Length ("chunk-0 ... chunk-9")
    /bytes/<n>         n bytes of a repeating pattern, with Content-Length
    /fin               Content-Length 100, 40 bytes, then an orderly close
    /reset             Content-Length 100, 40 bytes, then a connection reset
    /stall/<ms>[/...]  reads the request, then answers nothing for <ms>
                       (at most 120000) before a 200 echo
- anything else: 200 with an echo of the request in text form:
    method <verb>\\n path <target>\\n version <v>\\n
    header <Name>: <value>\\n (one per header, in order)
    body-length <n>\\n body <bytes>

Every request is appended to --log as one JSON object (method, path,
headers, body as latin-1 text) when given.
"""
import argparse
import json
import os
import signal
import socket
import ssl
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "PavonixLoopback/1"
    timeout = 30  # an idle connection is dropped

    def log_message(self, fmt, *args):  # quiet
        pass

    def _body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            data = b""
            while True:
                size = int(self.rfile.readline().strip() or b"0", 16)
                if size == 0:
                    self.rfile.readline()
                    return data
                data += self.rfile.read(size)
                self.rfile.readline()
        n = int(self.headers.get("Content-Length", "0") or "0")
        return self.rfile.read(n) if n > 0 else b""

    def _send(self, status, body, headers=None, length=True):
        self.send_response(status)
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        if length:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _handle(self):
        srv = self.server
        with srv.count_lock:
            srv.count += 1
            if srv.count > srv.max_requests:
                self.close_connection = True
                self._send(503, b"too many requests\n")
                return
        body = self._body()
        if srv.log_path:
            entry = {
                "method": self.command,
                "path": self.path,
                "version": self.request_version,
                "headers": [[k, v] for k, v in self.headers.items()],
                "body": body.decode("latin-1"),
            }
            with srv.count_lock, open(srv.log_path, "a", encoding="utf-8") as f:
                f.write(json.dumps(entry) + "\n")

        route = srv.routes.get(self.command + " " + self.path.split("?")[0])
        if route is not None:
            data = route.get("body", "").encode("utf-8")
            if "body_file" in route:
                with open(route["body_file"], "rb") as f:
                    data = f.read()
            self._send(int(route.get("status", 200)), data, route.get("headers"))
            return

        path = self.path.split("?")[0]
        if path.startswith("/stall/"):
            time.sleep(min(int(path.split("/")[2]), 120000) / 1000.0)
            path = "/"
        if path.startswith("/status/"):
            code = int(path[len("/status/"):])
            self._send(code, ("status %d\n" % code).encode())
        elif path == "/chunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for i in range(10):
                piece = ("chunk-%d\n" % i).encode()
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        elif path.startswith("/bytes/"):
            n = min(int(path[len("/bytes/"):]), 64 * 1024 * 1024)
            pattern = bytes(range(256))
            data = (pattern * (n // 256 + 1))[:n]
            self._send(200, data)
        elif path in ("/fin", "/reset"):
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b"x" * 40)
            self.wfile.flush()
            self.close_connection = True
            if path == "/reset":
                time.sleep(0.3)  # the client is waiting for more when the reset comes
                # Closing the descriptor itself with a zero linger time sends a
                # reset at once (socketserver would shut down with a FIN first).
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                os.close(self.connection.detach())
        else:
            lines = ["method " + self.command, "path " + self.path, "version " + self.request_version]
            for k, v in self.headers.items():
                lines.append("header %s: %s" % (k, v))
            lines.append("body-length %d" % len(body))
            out = ("\n".join(lines) + "\nbody ").encode("latin-1") + body
            self._send(200, out, {"Content-Type": "text/plain"})

    do_GET = do_POST = do_PUT = do_HEAD = do_DELETE = _handle


class Server(ThreadingHTTPServer):
    daemon_threads = True
    tls = None

    def finish_request(self, request, client_address):
        request.settimeout(30)
        if self.tls is not None:
            # The handshake runs in the connection's own thread, so a client
            # that rejects the certificate or stalls never blocks the others.
            request = self.tls.wrap_socket(request, server_side=True)
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass  # rejected handshakes and dropped connections are expected here


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file")
    ap.add_argument("--routes")
    ap.add_argument("--log")
    ap.add_argument("--lifetime", type=float, default=300.0)
    ap.add_argument("--max-requests", type=int, default=1000)
    args = ap.parse_args()

    server = Server(("127.0.0.1", args.port), Handler)
    server.count = 0
    server.count_lock = threading.Lock()
    server.max_requests = args.max_requests
    server.log_path = args.log
    server.routes = {}
    if args.routes:
        with open(args.routes, encoding="utf-8") as f:
            server.routes = json.load(f)
    if args.tls:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.tls[0], args.tls[1])
        server.tls = ctx

    port = server.server_address[1]
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(str(port))
        os.replace(tmp, args.port_file)
    print("PORT %d" % port, flush=True)

    stop = threading.Timer(args.lifetime, server.shutdown)
    stop.daemon = True
    stop.start()
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()


if __name__ == "__main__":
    sys.exit(main())
