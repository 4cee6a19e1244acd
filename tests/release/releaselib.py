"""Helpers of the release tests: copies of the tree, release runs, a throw-away
code-signing CA."""

import os
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
# The update host of the test releases: loopback, so that the signed one can
# go through an end-to-end run against the bundled services.
HOST = "127.0.0.1"


def run(cmd, **kw):
    """Runs cmd; returns the CompletedProcess with text output (never raises on exit code)."""
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.STDOUT)
    kw.setdefault("text", True)
    kw.setdefault("timeout", 900)
    # Tools' messages in English whatever the caller's locale (Wine's is zh_CN).
    kw.setdefault("env", dict(os.environ, LC_ALL="C.UTF-8"))
    return subprocess.run(cmd, **kw)


def git(repo, *args):
    return subprocess.run(["git", "-C", repo] + list(args), check=True, stdout=subprocess.PIPE,
                          text=True).stdout


def clone_working_tree(repo, dest):
    """A clone of repo's commit at dest, with repo's uncommitted changes laid over
    it (modified, new and deleted files), so that it builds what repo would."""
    if os.path.exists(dest):
        shutil.rmtree(dest)
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    head = git(repo, "rev-parse", "HEAD").strip()
    subprocess.run(["git", "clone", "-q", "--shared", "--no-checkout", repo, dest], check=True)
    git(dest, "checkout", "-q", "--detach", head)
    listed = git(repo, "ls-files", "-z", "--cached", "--others", "--exclude-standard").split("\0")
    for rel in filter(None, listed):
        src, dst = os.path.join(repo, rel), os.path.join(dest, rel)
        if os.path.lexists(src):
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            if os.path.lexists(dst):
                os.unlink(dst)
            shutil.copy2(src, dst, follow_symlinks=False)
        elif os.path.lexists(dst):
            os.unlink(dst)
    return head


def release(src, *args, env=None, cwd=None):
    """scripts/release of the tree at src with the given options."""
    return run(["bash", os.path.join(src, "scripts", "release"), "--no-setup"] + list(args),
               cwd=cwd, **({} if env is None else {"env": env}))


def make_signing_ca(folder, password):
    """A throw-away CA, a code-signing certificate it issued (key encrypted with
    password), the same as PKCS#12, and a second, unrelated CA. Returns paths."""
    os.makedirs(folder, exist_ok=True)
    p = {k: os.path.join(folder, v) for k, v in {
        "ca": "ca.pem", "ca_key": "ca.key", "other_ca": "other-ca.pem", "other_key": "other-ca.key",
        "cert": "signer.pem", "key": "signer.key", "p12": "signer.p12", "pass": "password"}.items()}

    def ssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    for ca, key, name in ((p["ca"], p["ca_key"], "Throw-away Code Signing CA"),
                          (p["other_ca"], p["other_key"], "Unrelated CA")):
        ssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
            "-keyout", key, "-out", ca, "-subj", "/CN=" + name,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    with open(p["pass"], "w") as f:
        f.write(password)
    csr, ext = os.path.join(folder, "signer.csr"), os.path.join(folder, "signer.ext")
    ssl("req", "-newkey", "rsa:2048", "-sha256", "-keyout", p["key"], "-out", csr,
        "-passout", "file:" + p["pass"], "-subj", "/CN=Pavonix Release Test/O=Throw-away")
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")
    ssl("x509", "-req", "-in", csr, "-CA", p["ca"], "-CAkey", p["ca_key"], "-CAcreateserial",
        "-days", "2", "-sha256", "-extfile", ext, "-out", p["cert"])
    # openssl reads two lines from one file named twice: the export password
    # gets a file of its own.
    again = os.path.join(folder, "password-again")
    shutil.copy(p["pass"], again)
    ssl("pkcs12", "-export", "-in", p["cert"], "-inkey", p["key"], "-passin", "file:" + p["pass"],
        "-passout", "file:" + again, "-out", p["p12"])
    return p


def verify(exe, ca):
    """osslsigncode verify of exe against the CA file ca."""
    return run(["osslsigncode", "verify", "-CAfile", ca, "-in", exe], timeout=120)


class LoopbackTsa:
    """An RFC 3161 time-stamp server on 127.0.0.1 (openssl ts -reply with a
    time-stamping certificate from the CA of make_signing_ca). At most
    max_requests requests, each answered within the openssl run's time-out;
    `requests` records the content type of each.

        with LoopbackTsa(folder, ca) as tsa: ... tsa.url ...
    """

    def __init__(self, folder, ca, max_requests=4):
        import http.server
        import threading
        self.folder, self.requests, self.max_requests = folder, [], max_requests
        os.makedirs(folder, exist_ok=True)
        key, cert = os.path.join(folder, "tsa.key"), os.path.join(folder, "tsa.pem")
        csr, ext = os.path.join(folder, "tsa.csr"), os.path.join(folder, "tsa.ext")
        with open(ext, "w") as f:
            f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=critical,timeStamping\n")
        for args in (["req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", key, "-out", csr,
                      "-subj", "/CN=Throw-away TSA"],
                     ["x509", "-req", "-in", csr, "-CA", ca["ca"], "-CAkey", ca["ca_key"],
                      "-CAcreateserial", "-days", "2", "-sha256", "-extfile", ext, "-out", cert]):
            subprocess.run(["openssl"] + args, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        self.config = os.path.join(folder, "tsa.cnf")
        with open(os.path.join(folder, "serial"), "w") as f:
            f.write("01\n")
        with open(self.config, "w") as f:
            f.write("[ tsa ]\ndefault_tsa = tsa_config\n[ tsa_config ]\n"
                    "serial = %s\nsigner_cert = %s\nsigner_key = %s\nsigner_digest = sha256\n"
                    "default_policy = 1.2.3.4.1\ndigests = sha256, sha1\naccuracy = secs:1\n"
                    "ess_cert_id_alg = sha256\n" % (os.path.join(folder, "serial"), cert, key))
        tsa = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                tsa.requests.append(self.headers.get("Content-Type"))
                length = min(int(self.headers.get("Content-Length") or 0), 1 << 16)
                query = os.path.join(tsa.folder, "query.tsq")
                reply = os.path.join(tsa.folder, "reply.tsr")
                with open(query, "wb") as f:
                    f.write(self.rfile.read(length))
                r = subprocess.run(["openssl", "ts", "-reply", "-config", tsa.config, "-queryfile",
                                    query, "-out", reply], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, timeout=30)
                if r.returncode != 0:
                    self.send_error(500)
                    return
                with open(reply, "rb") as f:
                    body = f.read()
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.server.timeout = 0.5
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        self.stopping = False

        def serve():
            while not self.stopping and len(self.requests) < self.max_requests:
                self.server.handle_request()

        self.thread = threading.Thread(target=serve, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping = True
        self.thread.join(10)
        self.server.server_close()
