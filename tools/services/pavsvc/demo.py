"""Lays out a demo folder: configuration, catalogue, packages, certificates."""

import os
import shutil
import subprocess

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")

README_TXT = b"Pavonix demo package: downloaded, never run.\r\n"


def _openssl(*args):
    subprocess.run(("openssl",) + args, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE, timeout=120)


def make_certificates(folder, days=30):
    """A CA (ca.pem, ca.key) and a server certificate for 127.0.0.1 signed by
    it (local.pem, local.key), RSA 2048, in `folder`."""
    os.makedirs(folder, exist_ok=True)
    p = lambda name: os.path.join(folder, name)  # noqa: E731
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", p("ca.key"),
             "-out", p("ca.pem"), "-days", str(days), "-subj", "/CN=Pavonix Demo CA",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    with open(p("local.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1\n")
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", p("local.key"), "-out", p("local.csr"),
             "-subj", "/CN=127.0.0.1")
    _openssl("x509", "-req", "-in", p("local.csr"), "-CA", p("ca.pem"), "-CAkey", p("ca.key"),
             "-CAcreateserial", "-out", p("local.pem"), "-days", str(days), "-extfile", p("local.ext"))
    for name in ("local.csr", "local.ext"):
        os.unlink(p(name))


def init_demo(folder, installer, force=False, certificates=True):
    """Returns the list of files written."""
    if not os.path.isfile(installer):
        raise ValueError("installer not found: " + installer)
    config = os.path.join(folder, "serve.json")
    if os.path.exists(config) and not force:
        raise ValueError("%s exists (use --force to lay it out again)" % config)
    packages = os.path.join(folder, "packages")
    os.makedirs(packages, exist_ok=True)
    written = []
    for name in ("serve.json", "catalogue.json"):
        shutil.copyfile(os.path.join(EXAMPLES, name), os.path.join(folder, name))
        written.append(os.path.join(folder, name))
    for name in ("levydesk_setup.exe", "harbolt_setup.exe"):
        shutil.copyfile(installer, os.path.join(packages, name))
        written.append(os.path.join(packages, name))
    with open(os.path.join(packages, "harbolt_readme.txt"), "wb") as f:
        f.write(README_TXT)
    written.append(os.path.join(packages, "harbolt_readme.txt"))
    if certificates:
        make_certificates(os.path.join(folder, "certs"))
        written += [os.path.join(folder, "certs", n) for n in ("ca.pem", "local.pem", "local.key")]
    return written
