"""Helpers shared by the service suites: temp folders, certificates, clients."""

import http.client
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SERVICES = os.path.join(ROOT, "tools", "services")
ENTRY = os.path.join(SERVICES, "pavonix_services.py")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
if SERVICES not in sys.path:
    sys.path.insert(0, SERVICES)

# What the installer's HTTP library puts on every POST.
CLIENT_HEADERS = {
    "Content-Type": "application/x-www-form-urlencoded",
    "Cache-Control": "no-cache",
    "User-Agent": "Corvu HTTP Client Class",
    "Accept": "*/*",
}


def client_encode(data):
    """The client's byte-wise URL encoding, written out independently."""
    out = []
    for b in data:
        ch = chr(b)
        if ch.isascii() and ch.isalnum():
            out.append(ch)
        elif b == 0x20:
            out.append("+")
        else:
            out.append("%%%02X" % b)
    return "".join(out).encode("ascii")


def request_text(soft, version, uid):
    """The update request exactly as the installer writes it (with its LF)."""
    return ('{"data":{"softList":[{"soft":"%s","upgrade":"false","version":"%s"}]},'
            '"pid":"PROTOCOL_99","uid":"%s"}\n' % (soft, version, uid))


def update_body(soft="levyDesk", version="V1.0", uid="8F0C3B2A-1D4E-4F60-9A7B-112233445566"):
    return b"requestStr=" + client_encode(request_text(soft, version, uid).encode("utf-8"))


class Reply:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers      # list of (name, value)
        self.body = body

    def header(self, name):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None

    def json(self):
        return json.loads(self.body.decode("utf-8"))


def http_request(port, method, path, body=None, headers=None, context=None, timeout=10):
    """One exchange with http.client; returns a Reply."""
    if context is None:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    else:
        conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=timeout, context=context)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        resp = conn.getresponse()
        data = resp.read()
        return Reply(resp.status, resp.getheaders(), data)
    finally:
        conn.close()


def raw_exchange(port, data, timeout=5, read_all=True):
    """Send raw bytes and read until the server closes (or `timeout`)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        if data:
            s.sendall(data)
        chunks = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                break
            except ConnectionResetError:
                chunks.append(b"<RST>")
                break
            if not chunk:
                break
            chunks.append(chunk)
            if not read_all:
                break
        return b"".join(chunks)


def split_response(raw):
    """(status, headers dict lower-cased, body) of one raw response."""
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split(" ")[1])
    headers = {}
    for line in lines[1:]:
        k, _, v = line.partition(":")
        headers[k.strip().lower()] = v.strip()
    return status, headers, body


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_refuses(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2):
            return False
    except ConnectionRefusedError:
        return True


def read_log(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


class TempDirCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="pavonix-tools-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, data):
        p = self.path(name)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb" if isinstance(data, bytes) else "w") as f:
            f.write(data)
        return p


class TestCA:
    """A CA and certificates made with openssl in a folder of its own."""

    def __init__(self, folder):
        self.folder = folder
        self.ca_cert = os.path.join(folder, "ca.pem")
        self.ca_key = os.path.join(folder, "ca.key")
        self._openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                      "-nodes", "-keyout", self.ca_key, "-out", self.ca_cert, "-days", "2",
                      "-subj", "/CN=Pavonix Test CA")

    def _openssl(self, *args):
        subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, timeout=60)

    def issue(self, name, san="IP:127.0.0.1"):
        """A server certificate signed by this CA; returns (cert, key)."""
        key = os.path.join(self.folder, name + ".key")
        csr = os.path.join(self.folder, name + ".csr")
        cert = os.path.join(self.folder, name + ".pem")
        ext = os.path.join(self.folder, name + ".ext")
        with open(ext, "w") as f:
            f.write("subjectAltName=%s\nextendedKeyUsage=serverAuth\n" % san)
        self._openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                      "-keyout", key, "-out", csr, "-subj", "/CN=127.0.0.1")
        self._openssl("x509", "-req", "-in", csr, "-CA", self.ca_cert, "-CAkey", self.ca_key,
                      "-CAcreateserial", "-out", cert, "-days", "2", "-extfile", ext)
        return cert, key

    def client_context(self):
        ctx = ssl.create_default_context(cafile=self.ca_cert)
        return ctx


def run_cli(args, timeout=30, **kw):
    return subprocess.run([PYTHON, ENTRY] + list(args), capture_output=True, text=True,
                          timeout=timeout, **kw)


class CliProcess:
    """pavonix_services.py started in the background; always ended by stop()."""

    def __init__(self, args, cwd=None):
        self.ready = os.path.join(cwd or tempfile.gettempdir(),
                                  "ready-%d-%d.json" % (os.getpid(), id(self)))
        self.proc = subprocess.Popen([PYTHON, ENTRY] + list(args) +
                                     ["--ready-file", self.ready, "--max-seconds", "120"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, cwd=cwd)
        self.report = None

    def wait_ready(self, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.ready):
                with open(self.ready) as f:
                    self.report = json.load(f)
                return self.report
            if self.proc.poll() is not None:
                out, err = self.proc.communicate()
                raise AssertionError("services exited early (%d): %s %s"
                                     % (self.proc.returncode, out, err))
            time.sleep(0.05)
        raise AssertionError("services not ready in time")

    def stop(self, sig=None):
        import signal
        if self.proc.poll() is None:
            self.proc.send_signal(sig or signal.SIGTERM)
        try:
            out, err = self.proc.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
        if os.path.exists(self.ready):
            os.unlink(self.ready)
        return self.proc.returncode, out, err
