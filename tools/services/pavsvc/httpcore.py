"""A small, bounded HTTP/1.1 server for the bundled services.

Every connection runs on its own thread; the number of connections, the
requests per connection, the size of a request head and body, and the time
each read, write or deliberate stall may take are all capped. A request that
breaks a rule gets a defined error reply; nothing a client sends can take the
server down.
"""

import datetime
import email.utils
import http
import json
import os
import select
import socket
import ssl
import struct
import sys
import threading
import time
import traceback

try:
    import fcntl
    import termios
except ImportError:          # not on POSIX
    fcntl = termios = None

SERVER_NAME = "pavonix-services/1.0"

_TOKEN_CHARS = frozenset(
    b"!#$%&'*+-.^_`|~0123456789"
    b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")


class Limits:
    """Caps applied to every connection of one server."""

    def __init__(self, **overrides):
        self.max_head_bytes = 16 * 1024       # request line plus headers
        self.max_headers = 100
        self.max_body = 1024 * 1024           # request body
        self.head_timeout = 15.0              # whole head, from its first byte
        self.idle_timeout = 15.0              # waiting for a (next) request
        self.body_timeout = 30.0              # whole body
        self.write_timeout = 30.0             # each send
        self.tls_handshake_timeout = 10.0
        self.max_requests_per_connection = 100
        self.max_connections = 64
        self.max_stall = 60.0                 # longest deliberate stall
        for name, value in overrides.items():
            if not hasattr(self, name):
                raise TypeError("unknown limit: " + name)
            if value is not None:
                setattr(self, name, value)


class HttpError(Exception):
    """A request the server refuses; answered with `status` and closed."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


class _ClientGone(Exception):
    pass


def utc_timestamp():
    now = datetime.datetime.now(datetime.timezone.utc)
    return now.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (now.microsecond // 1000)


def reason_phrase(status):
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Unknown"


class RequestLog:
    """Appends one JSON object per line to a file; safe across threads."""

    def __init__(self, path=None):
        self.path = path
        self._lock = threading.Lock()
        self._file = None
        if path:
            folder = os.path.dirname(os.path.abspath(path))
            os.makedirs(folder, exist_ok=True)
            self._file = open(path, "a", encoding="utf-8")

    def write(self, entry):
        if self._file is None:
            return
        line = json.dumps(entry, ensure_ascii=False, separators=(",", ":"))
        with self._lock:
            if self._file is not None:
                self._file.write(line + "\n")
                self._file.flush()

    def close(self):
        with self._lock:
            if self._file is not None:
                self._file.close()
                self._file = None


class Request:
    def __init__(self, method, target, version, headers, client):
        self.method = method
        self.target = target
        self.path, _, self.query = target.partition("?")
        self.version = version
        self.headers = headers          # list of (name, value), as received
        self.client = client            # "host:port"
        self.body = b""
        self.keep_alive = False

    def header(self, name, default=None):
        lname = name.lower()
        for key, value in self.headers:
            if key.lower() == lname:
                return value
        return default

    def header_all(self, name):
        lname = name.lower()
        return [v for k, v in self.headers if k.lower() == lname]


class _Reader:
    """Buffered reads from a socket, each bounded by a deadline."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()

    def _fill(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise socket.timeout("deadline passed")
        self.sock.settimeout(remaining)
        data = self.sock.recv(65536)
        if not data:
            raise _ClientGone()
        self.buf += data

    def wait_data(self, timeout):
        """True when a byte is buffered or arrives within `timeout`."""
        if self.buf:
            return True
        try:
            self._fill(time.monotonic() + timeout)
        except (socket.timeout, _ClientGone, ConnectionError, ssl.SSLError, OSError):
            return False
        return True

    def read_head(self, limit, deadline):
        start = 0
        while True:
            crlf = self.buf.find(b"\r\n\r\n", start)
            lf = self.buf.find(b"\n\n", start)
            ends = [(i, n) for i, n in ((crlf, 4), (lf, 2)) if i >= 0]
            if ends:
                idx, n = min(ends)
                if idx > limit:
                    raise HttpError(431, "request head larger than %d bytes" % limit)
                head = bytes(self.buf[:idx])
                del self.buf[:idx + n]
                return head
            if len(self.buf) > limit:
                raise HttpError(431, "request head larger than %d bytes" % limit)
            start = max(0, len(self.buf) - 3)
            try:
                self._fill(deadline)
            except socket.timeout:
                raise HttpError(408, "request head not complete in time")

    def read_exact(self, n, deadline):
        while len(self.buf) < n:
            try:
                self._fill(deadline)
            except socket.timeout:
                raise HttpError(408, "request body not complete in time")
        data = bytes(self.buf[:n])
        del self.buf[:n]
        return data


class Responder:
    """Writes the answer to one request; also the door for fault modes."""

    def __init__(self, server, sock, request):
        self.server = server
        self.sock = sock
        self.request = request
        self.started = False     # status line sent
        self.closed = False      # connection unusable afterwards
        self.close_after = not request.keep_alive
        self.status = None
        self.bytes_sent = 0      # body bytes

    # -- plain answers -------------------------------------------------

    def send(self, status, body=b"", content_type="text/plain; charset=utf-8",
             headers=(), close=False):
        if isinstance(body, str):
            body = body.encode("utf-8")
        hdrs = [("Content-Type", content_type)] if content_type else []
        hdrs.append(("Content-Length", str(len(body))))
        hdrs.extend(headers)
        if self.request.method == "HEAD":
            body = b""
        # head and a small body in one write: no wait on delayed ACKs
        together = body if len(body) <= 65536 else b""
        if not self.send_head(status, hdrs, close=close, body=together):
            return False
        self.bytes_sent += len(together)
        return self.write(body[len(together):])

    def send_chunked(self, status, body, content_type, chunk_size=4096):
        """Answer without Content-Length: chunked for HTTP/1.1 clients,
        delimited by closing the connection for HTTP/1.0 ones."""
        if isinstance(body, str):
            body = body.encode("utf-8")
        if self.request.version == "HTTP/1.0":
            if not self.send_head(status, [("Content-Type", content_type)], close=True):
                return False
            return self.write(body)
        if not self.send_head(status, [("Content-Type", content_type),
                                       ("Transfer-Encoding", "chunked")]):
            return False
        for i in range(0, len(body), chunk_size):
            piece = body[i:i + chunk_size]
            if not self._raw(b"%X\r\n" % len(piece) + piece + b"\r\n"):
                return False
            self.bytes_sent += len(piece)
        return self._raw(b"0\r\n\r\n")

    # -- building blocks ----------------------------------------------

    def send_head(self, status, headers, close=False, body=b""):
        if self.started:
            raise RuntimeError("response already started")
        self.started = True
        self.status = status
        if close:
            self.close_after = True
        lines = ["HTTP/1.1 %d %s" % (status, reason_phrase(status)),
                 "Date: " + email.utils.formatdate(usegmt=True),
                 "Server: " + SERVER_NAME]
        lines += ["%s: %s" % (k, v) for k, v in headers]
        if self.close_after:
            lines.append("Connection: close")
        elif self.request.version == "HTTP/1.0":
            lines.append("Connection: keep-alive")
        return self._raw(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body)

    def write(self, data):
        if self.request.method == "HEAD":
            return not self.closed
        if not data:
            return not self.closed
        if self._raw(data):
            self.bytes_sent += len(data)
            return True
        return False

    def write_file(self, f, count):
        """Send `count` bytes of file `f` from its current position (less when
        the file ends first); the kernel copies them where it can."""
        if self.request.method == "HEAD" or count <= 0:
            return not self.closed
        if self.closed:
            return False
        if isinstance(self.sock, ssl.SSLSocket):
            left = count
            while left > 0:
                data = f.read(min(65536, left))
                if not data or not self.write(data):
                    break
                left -= len(data)
            return not self.closed
        try:
            self.sock.settimeout(self.server.limits.write_timeout)
            sent = self.sock.sendfile(f, f.tell(), count)
            self.bytes_sent += sent      # (sendfile leaves f positioned after them)
            return True
        except (OSError, ValueError):
            self.closed = True
            return False

    def _raw(self, data):
        if self.closed:
            return False
        try:
            self.sock.settimeout(self.server.limits.write_timeout)
            self.sock.sendall(data)
            return True
        except (OSError, ssl.SSLError):
            self.closed = True
            return False

    def abort(self, reset=True):
        """Drop the connection now: with a TCP reset, or with a plain close."""
        if self.closed:
            return
        self.closed = True
        self.started = True
        try:
            if reset:
                self._wait_sent(1.0)
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                     struct.pack("ii", 1, 0))
            else:
                self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _wait_sent(self, timeout):
        """Give what was written a moment to reach the client (a reset drops
        whatever is still queued). Linux only; elsewhere a short pause."""
        end = time.monotonic() + timeout
        buf = bytearray(4)
        while time.monotonic() < end:
            try:
                fcntl.ioctl(self.sock.fileno(), termios.TIOCOUTQ, buf)
            except (OSError, NameError, AttributeError):
                time.sleep(0.05)
                return
            if struct.unpack("i", bytes(buf))[0] == 0:
                return
            time.sleep(0.005)

    def stall(self, seconds):
        """Wait up to `seconds` (capped by the server's max_stall). False when
        the server stops or the client goes away meanwhile."""
        seconds = max(0.0, min(float(seconds), self.server.limits.max_stall))
        end = time.monotonic() + seconds
        while True:
            remaining = end - time.monotonic()
            if remaining <= 0:
                return True
            if self.server.stopping.wait(min(0.1, remaining)):
                return False
            if self._client_gone():
                self.closed = True
                return False

    def _client_gone(self):
        if isinstance(self.sock, ssl.SSLSocket):
            return False        # no peeking through TLS; the stall stays bounded
        try:
            poller = select.poll()
            poller.register(self.sock, select.POLLIN | select.POLLHUP | select.POLLERR)
            if not poller.poll(0):
                return False
            self.sock.settimeout(0)
            return self.sock.recv(1, socket.MSG_PEEK) == b""
        except BlockingIOError:
            return False
        except OSError:
            return True


class HttpServer:
    """Threaded HTTP(S) server calling `handler(request, responder)`.

    `error_reply(status, message)` returns (body, content_type) for requests
    the core refuses itself; `log` receives those refusals and TLS failures.
    """

    def __init__(self, name, handler, host="127.0.0.1", port=0, limits=None,
                 ssl_context=None, error_reply=None, log=None):
        self.name = name
        self.handler = handler
        self.host = host
        self.requested_port = port
        self.limits = limits or Limits()
        self.ssl_context = ssl_context
        self.error_reply = error_reply or (
            lambda status, message: (message + "\n", "text/plain; charset=utf-8"))
        self.log = log or RequestLog()
        self.stopping = threading.Event()
        self._listener = None
        self._accept_thread = None
        self._lock = threading.Lock()
        self._connections = {}  # thread -> socket

    # -- lifecycle ----------------------------------------------------

    def start(self):
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        self._listener = socket.create_server((self.host, self.requested_port),
                                              family=family, backlog=64)
        self._listener.settimeout(0.25)
        self._accept_thread = threading.Thread(
            target=self._accept_loop, name=self.name + "-accept", daemon=True)
        self._accept_thread.start()
        return self

    @property
    def port(self):
        return self._listener.getsockname()[1]

    @property
    def base_url(self):
        scheme = "https" if self.ssl_context else "http"
        host = "[%s]" % self.host if ":" in self.host else self.host
        return "%s://%s:%d" % (scheme, host, self.port)

    def stop(self, timeout=5.0):
        self.stopping.set()
        if self._accept_thread is not None:
            self._accept_thread.join(timeout)
        if self._listener is not None:
            try:
                self._listener.close()
            except OSError:
                pass
        with self._lock:
            conns = list(self._connections.items())
        for _, sock in conns:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        deadline = time.monotonic() + timeout
        for thread, _ in conns:
            thread.join(max(0.0, deadline - time.monotonic()))

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- accepting ----------------------------------------------------

    def _accept_loop(self):
        while not self.stopping.is_set():
            try:
                sock, addr = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                if self.stopping.is_set():
                    break
                time.sleep(0.05)
                continue
            with self._lock:
                busy = len(self._connections) >= self.limits.max_connections
            if busy:
                self._refuse_busy(sock)
                continue
            thread = threading.Thread(target=self._serve_connection,
                                      args=(sock, addr), daemon=True,
                                      name=self.name + "-conn")
            with self._lock:
                self._connections[thread] = sock
            thread.start()

    def _refuse_busy(self, sock):
        try:
            sock.settimeout(1.0)
            if self.ssl_context is None:
                body = b"server busy\n"
                sock.sendall(b"HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n"
                             b"Content-Type: text/plain\r\nContent-Length: %d\r\n\r\n%s"
                             % (len(body), body))
        except OSError:
            pass
        finally:
            sock.close()
        self.log.write({"time": utc_timestamp(), "service": self.name,
                        "event": "busy", "status": 503})

    # -- one connection -----------------------------------------------

    def _serve_connection(self, raw, addr):
        client = "%s:%d" % (addr[0], addr[1])
        sock = raw
        try:
            raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self.ssl_context is not None:
                raw.settimeout(self.limits.tls_handshake_timeout)
                try:
                    sock = self.ssl_context.wrap_socket(
                        raw, server_side=True, do_handshake_on_connect=False)
                    sock.do_handshake()
                except (ssl.SSLError, OSError) as exc:
                    self.log.write({"time": utc_timestamp(), "service": self.name,
                                    "event": "tls-error", "client": client,
                                    "error": str(exc)})
                    return
                with self._lock:
                    self._connections[threading.current_thread()] = sock
            reader = _Reader(sock)
            limit = self.limits.max_requests_per_connection
            for count in range(limit):
                wait = self.limits.head_timeout if count == 0 else self.limits.idle_timeout
                if self.stopping.is_set() or not reader.wait_data(wait):
                    break
                try:
                    request = self._read_request(reader, sock, client)
                except HttpError as err:
                    self._refuse(sock, reader, client, err)
                    break
                except (_ClientGone, ssl.SSLError, OSError):
                    break
                if count == limit - 1:
                    request.keep_alive = False
                responder = Responder(self, sock, request)
                try:
                    self.handler(request, responder)
                except Exception:
                    sys.stderr.write("%s: error answering %s %s\n%s" % (
                        self.name, request.method, request.target, traceback.format_exc()))
                    if not responder.started:
                        body, ctype = self.error_reply(500, "internal error")
                        responder.send(500, body, ctype, close=True)
                    responder.close_after = True
                if not responder.started:
                    body, ctype = self.error_reply(500, "no answer")
                    responder.send(500, body, ctype, close=True)
                if responder.closed or responder.close_after:
                    break
        finally:
            try:
                sock.close()
            except OSError:
                pass
            if sock is not raw:
                try:
                    raw.close()
                except OSError:
                    pass
            with self._lock:
                self._connections.pop(threading.current_thread(), None)

    def _read_request(self, reader, sock, client):
        lim = self.limits
        head = reader.read_head(lim.max_head_bytes, time.monotonic() + lim.head_timeout)
        lines = head.split(b"\n")
        lines = [ln[:-1] if ln.endswith(b"\r") else ln for ln in lines]
        while lines and lines[0] == b"":      # tolerate blank lines before a request
            lines.pop(0)
        if not lines:
            raise HttpError(400, "empty request")
        parts = lines[0].split(b" ")
        if len(parts) != 3:
            raise HttpError(400, "malformed request line")
        method, target, version = parts
        if not method or any(c not in _TOKEN_CHARS for c in method):
            raise HttpError(400, "malformed method")
        if version not in (b"HTTP/1.1", b"HTTP/1.0"):
            if version.startswith(b"HTTP/"):
                raise HttpError(505, "only HTTP/1.0 and HTTP/1.1 are spoken")
            raise HttpError(400, "malformed request line")
        if not target.startswith(b"/") or any(c <= 0x20 or c == 0x7F for c in target):
            raise HttpError(400, "malformed request target")
        headers = []
        for line in lines[1:]:
            if line[:1] in (b" ", b"\t"):
                raise HttpError(400, "folded header lines are not accepted")
            name, sep, value = line.partition(b":")
            if not sep or not name or any(c not in _TOKEN_CHARS for c in name):
                raise HttpError(400, "malformed header line")
            headers.append((name.decode("latin-1"), value.strip(b" \t").decode("latin-1")))
            if len(headers) > lim.max_headers:
                raise HttpError(431, "more than %d header lines" % lim.max_headers)
        request = Request(method.decode("ascii"), target.decode("latin-1"),
                          version.decode("ascii"), headers, client)
        tokens = set()
        for value in request.header_all("Connection"):
            tokens.update(t.strip().lower() for t in value.split(","))
        if request.version == "HTTP/1.1":
            request.keep_alive = "close" not in tokens
            if request.header("Host") is None:
                raise HttpError(400, "Host header missing")
        else:
            request.keep_alive = "keep-alive" in tokens
        if request.header_all("Transfer-Encoding"):
            raise HttpError(501, "request bodies must carry a Content-Length")
        lengths = request.header_all("Content-Length")
        if lengths:
            if len(set(lengths)) != 1 or not lengths[0].isdigit() or not lengths[0].isascii():
                raise HttpError(400, "invalid Content-Length")
            length = int(lengths[0])
        elif request.method in ("POST", "PUT", "PATCH"):
            raise HttpError(411, "Content-Length required")
        else:
            length = 0
        if length > lim.max_body:
            raise HttpError(413, "request body larger than %d bytes" % lim.max_body)
        if length and (request.header("Expect") or "").lower() == "100-continue":
            sock.settimeout(lim.write_timeout)
            sock.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
        if length:
            request.body = reader.read_exact(length, time.monotonic() + lim.body_timeout)
        return request

    def _refuse(self, sock, reader, client, err):
        self.log.write({"time": utc_timestamp(), "service": self.name,
                        "event": "rejected", "client": client,
                        "status": err.status, "error": err.message})
        body, ctype = self.error_reply(err.status, err.message)
        if isinstance(body, str):
            body = body.encode("utf-8")
        head = ("HTTP/1.1 %d %s\r\nDate: %s\r\nServer: %s\r\nContent-Type: %s\r\n"
                "Content-Length: %d\r\nConnection: close\r\n\r\n" % (
                    err.status, reason_phrase(err.status),
                    email.utils.formatdate(usegmt=True), SERVER_NAME, ctype, len(body)))
        try:
            sock.settimeout(self.limits.write_timeout)
            sock.sendall(head.encode("latin-1") + body)
            # Read what the client still sends for a while, so that closing does
            # not reset the connection before the client has read the answer.
            if not isinstance(sock, ssl.SSLSocket):
                sock.shutdown(socket.SHUT_WR)
            deadline = time.monotonic() + 2.0
            drained = 0
            while drained < 8 * self.limits.max_body + 65536:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    break
                sock.settimeout(remaining)
                data = sock.recv(65536)
                if not data:
                    break
                drained += len(data)
        except (OSError, ssl.SSLError):
            pass


class Service:
    """A service on an HttpServer with its request log: subclasses set
    self.server and self.log."""

    def start(self):
        self.server.start()
        return self

    def stop(self):
        self.server.stop()
        self.log.close()

    @property
    def port(self):
        return self.server.port

    @property
    def url(self):
        return self.server.base_url
