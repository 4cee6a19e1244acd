"""The package server: GET /<name> serves a file of one folder.

A fault can be chosen for every file (--fault), for one file by name
(--file-fault NAME=MODE) or per request through a path prefix:
GET /fault/<mode>/<name>, for example /fault/short/setup.exe or
/fault/slow=20000/setup.exe. The prefix wins over the file's fault, which
wins over the server-wide one.

Every file answer carries Accept-Ranges, a strong ETag (size and change time)
and Last-Modified. A single range "Range: bytes=N-" or "bytes=N-M" gets 206
with Content-Range, unless an If-Range names another ETag or date (then the
whole file, 200); a start at or beyond the end gets 416. Faults apply to the
body of either answer.
"""

import email.utils
import os
import re
import urllib.parse

from . import faults as faultmod
from .httpcore import HttpServer, Limits, RequestLog, Service, utc_timestamp

CHUNK = 64 * 1024
OCTETS = "application/octet-stream"
_FORBIDDEN = set('\\/:*?"<>|')
_RANGE = re.compile(r"^bytes=(\d{1,18})-(\d{0,18})$")


def plain_name(name):
    """True for a single, ordinary file name."""
    return (bool(name) and name not in (".", "..") and len(name) <= 255
            and not any(c in _FORBIDDEN or ord(c) < 32 or ord(c) == 127 for c in name))


class PackageServer(Service):
    def __init__(self, folder, host="127.0.0.1", port=9007, fault=None,
                 file_faults=None, log_path=None, limits=None, aliases=None):
        self.folder = os.path.realpath(folder)
        if not os.path.isdir(self.folder):
            raise ValueError("package folder does not exist: " + folder)
        self.fault = fault
        self.file_faults = dict(file_faults or {})
        # Requested name (percent-decoded, without the leading "/"; "" is the
        # root) -> a plain file of the folder: lets a test offer a client names
        # that are not plain file names, which are never looked up on disk.
        self.aliases = {}
        for requested, target in (aliases or {}).items():
            if not isinstance(requested, str) or not plain_name(target):
                raise ValueError("alias %r -> %r: the target must be a plain file name" % (requested, target))
            self.aliases[requested] = target
        self.log = RequestLog(log_path)
        self.server = HttpServer("package-server", self.handle, host, port,
                                 limits or Limits(), log=self.log)

    def handle(self, req, resp):
        entry = {"time": utc_timestamp(), "service": "package-server",
                 "client": req.client, "method": req.method, "path": req.target,
                 "headers": [[k, v] for k, v in req.headers],
                 "file": None, "fault": None}
        try:
            self._serve(req, resp, entry)
        finally:
            entry["status"] = resp.status
            entry["bytes"] = resp.bytes_sent
            entry["complete"] = entry.get("size") is not None and not resp.closed \
                and resp.bytes_sent == entry["size"] and resp.status == 200
            if resp.status == 206 and isinstance(entry.get("range"), list):
                first, last = entry["range"]
                entry["complete"] = not resp.closed and resp.bytes_sent == last - first + 1
            self.log.write(entry)

    def _locate(self, req, entry):
        """(file path or None, fault or None, error text)."""
        try:
            path = urllib.parse.unquote(req.path, encoding="utf-8", errors="strict")
        except UnicodeDecodeError:
            return None, None, "path is not UTF-8"
        fault = None
        if path[1:] in self.aliases:
            entry["alias"] = path[1:]
            path = "/" + self.aliases[path[1:]]
        segments = path.split("/")[1:]
        if len(segments) >= 3 and segments[0] == "fault":
            try:
                fault = faultmod.parse_fault(segments[1], faultmod.PACKAGE_FAULTS)
            except ValueError as exc:
                return None, None, str(exc)
            segments = segments[2:]
        if len(segments) != 1 or not plain_name(segments[0]):
            return None, fault, "not a plain file name"
        name = segments[0]
        entry["file"] = name
        if fault is None:
            fault = self.file_faults.get(name, self.fault)
        full = os.path.join(self.folder, name)
        real = os.path.realpath(full)
        if os.path.dirname(real) != self.folder or not os.path.isfile(real):
            return None, fault, "no such file"
        return real, fault, None

    def _serve(self, req, resp, entry):
        if req.method not in ("GET", "HEAD"):
            resp.send(405, "only GET and HEAD are served\n", headers=[("Allow", "GET, HEAD")])
            return
        path, fault, error = self._locate(req, entry)
        entry["fault"] = repr(fault) if fault else None
        name = fault.name if fault else None
        if name == "close":
            resp.abort(reset=False)
            return
        if name == "stall":
            if not resp.stall(fault.arg / 1000.0):
                resp.abort(reset=False)
                return
        if name == "404" or path is None:
            entry["error"] = error or "fault 404"
            resp.send(404, "not found\n")
            return
        if name == "500":
            resp.send(500, "internal error\n")
            return
        if name == "empty":
            resp.send(200, b"", OCTETS)
            return
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            size = st.st_size
            entry["size"] = size
            if name == "chunked":
                self._send_chunked(resp, f)
                return
            etag = '"%x-%x"' % (size, st.st_mtime_ns)
            validators = [("Accept-Ranges", "bytes"), ("ETag", etag),
                          ("Last-Modified", email.utils.formatdate(st.st_mtime, usegmt=True))]
            part = self._range(req, size, etag, validators[2][1])
            if part == "unsatisfiable":
                entry["range"] = req.header("Range")
                resp.send(416, "range not satisfiable\n", headers=[("Content-Range", "bytes */%d" % size)])
                return
            status, start, length = (206, part[0], part[1] - part[0] + 1) if part else (200, 0, size)
            headers = [("Content-Type", OCTETS)]
            if part:
                entry["range"] = [part[0], part[1]]
                headers.append(("Content-Range", "bytes %d-%d/%d" % (part[0], part[1], size)))
            announced = max(length, 1) if name == "short" else length
            headers.append(("Content-Length", str(announced)))
            if not resp.send_head(status, headers + validators,
                                  close=name in ("short", "cut", "reset", "cutevery")):
                return
            if req.method == "HEAD":
                return
            if name == "slow" and not resp.stall(fault.arg / 1000.0):
                resp.abort(reset=False)
                return
            limit = {"cut": length // 2, "reset": length // 2, "short": announced - 1}.get(name, length)
            if name == "cutevery":
                limit = min(fault.arg, length)
            f.seek(start)
            resp.write_file(f, limit)
            if name == "reset":
                resp.abort(reset=True)
            elif name in ("cut", "short") or (name == "cutevery" and limit < length):
                resp.abort(reset=False)

    @staticmethod
    def _range(req, size, etag, last_modified):
        """(first, last) byte of a single range to serve, "unsatisfiable", or
        None for the whole file: no Range, one that is not a single byte
        range (ignored, as HTTP allows), or an If-Range that does not match."""
        ranges = req.header_all("Range")
        if len(ranges) != 1:
            return None
        m = _RANGE.match(ranges[0].strip())
        if not m:
            return None
        if_range = req.header("If-Range")
        if if_range is not None and if_range.strip() not in (etag, last_modified):
            return None
        first = int(m.group(1))
        last = int(m.group(2)) if m.group(2) else max(first, size - 1)
        if last < first:
            return None
        if first >= size:
            return "unsatisfiable"
        return first, min(last, size - 1)

    @staticmethod
    def _copy(resp, f, limit):
        left = limit
        while left > 0:
            data = f.read(min(CHUNK, left))
            if not data:
                break
            if not resp.write(data):
                return False
            left -= len(data)
        return True

    @staticmethod
    def _send_chunked(resp, f):
        if resp.request.version == "HTTP/1.0":
            if resp.send_head(200, [("Content-Type", OCTETS)], close=True) \
                    and resp.request.method != "HEAD":
                PackageServer._copy(resp, f, float("inf"))
            return
        if not resp.send_head(200, [("Content-Type", OCTETS), ("Transfer-Encoding", "chunked")]):
            return
        if resp.request.method == "HEAD":
            return
        while True:
            data = f.read(CHUNK)
            if not data:
                break
            if not resp._raw(b"%X\r\n" % len(data) + data + b"\r\n"):
                return
            resp.bytes_sent += len(data)
        resp._raw(b"0\r\n\r\n")
