"""Signed update replies and package hashes.

A build of the installer with a public key (PAVONIX_UPDATE_PUBKEY and its
version PAVONIX_UPDATE_PUBKEY_VERSION) sends a nonce with every update request
and accepts only replies signed for it and for the request it sent:

  request header  X-Pavonix-Nonce: <key version>:<64 lower-case hex digits>
  reply header    X-Pavonix-Signature: 128 hexadecimal digits, r then s
                  (ECDSA P-256 with SHA-256, each 32 bytes big-endian)
  signed bytes    b"pavonix-update-reply-v2\n"
                  b"key-version <decimal>\n"
                  b"nonce <64 hex>\n"
                  b"request-sha256 <64 lower-case hex of the POST body>\n"
                  b"reply-length <decimal>\n" + body

The service signs with the private key of the version the request names and
echoes the header it signed for in X-Pavonix-Nonce. Signing needs
python3-cryptography; the services run without it as long as no key is given.
"""

import hashlib
import os
import re

NONCE_HEADER = "X-Pavonix-Nonce"
SIGNATURE_HEADER = "X-Pavonix-Signature"
CONTEXT = b"pavonix-update-reply-v2\n"
_NONCE = re.compile(r"([1-9][0-9]{0,8}):([0-9a-f]{64})\Z")
_VERSION = re.compile(r"[1-9][0-9]{0,8}\Z")


class SigningError(ValueError):
    pass


def _crypto():
    try:
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec, utils
    except ImportError as exc:
        raise SigningError("signing needs python3-cryptography: %s" % exc)
    return hashes, serialization, ec, utils


def parse_nonce(value):
    """(key version, nonce) of a nonce header, or None. Only the installer's
    own form is signed: anything else could carry a line break and a text of
    the sender's choosing into the signed bytes."""
    m = _NONCE.match(value) if isinstance(value, str) else None
    return (int(m.group(1)), m.group(2)) if m else None


def parse_version(text):
    """A key version given as text (1 to 999999999, no leading zero), or None."""
    text = str(text)
    return int(text) if _VERSION.match(text) else None


def signed_message(version, nonce, request_body, body):
    """The bytes a reply's signature covers. Every part but the body has a
    fixed form without line feeds and the body's length comes first, so no
    two inputs give the same bytes."""
    head = "key-version %d\nnonce %s\nrequest-sha256 %s\nreply-length %d\n" % (
        version, nonce, hashlib.sha256(request_body).hexdigest(), len(body))
    return CONTEXT + head.encode("ascii") + body


def public_hex(public_key):
    """The key as the build takes it: "04", X and Y in hexadecimal."""
    _, serialization, _, _ = _crypto()
    return public_key.public_bytes(serialization.Encoding.X962,
                                   serialization.PublicFormat.UncompressedPoint).hex()


def read_password(pass_file=None, pass_env=None):
    """The private key's password from a file (its first line) or an
    environment variable; None when neither is given. Never from the command
    line, where every process of the machine can read it."""
    if pass_file and pass_env:
        raise SigningError("give the key's password from a file or a variable, not both")
    if pass_file:
        try:
            with open(pass_file, "rb") as f:
                data = f.read()
        except OSError as exc:
            raise SigningError("password file: %s" % exc)
        return data.splitlines()[0] if data.splitlines() else b""
    if pass_env:
        value = os.environ.get(pass_env)
        if value is None:
            raise SigningError("password variable %s is not set" % pass_env)
        return value.encode("utf-8")
    return None


class Signer:
    """Signs replies with a P-256 private key from a PEM file, encrypted when
    a password is given."""

    def __init__(self, pem_path, password=None):
        hashes, serialization, ec, _ = _crypto()
        try:
            with open(pem_path, "rb") as f:
                key = serialization.load_pem_private_key(f.read(), password=password)
        except (OSError, ValueError, TypeError) as exc:
            raise SigningError("%s: not a readable PEM private key (or a wrong password): %s"
                               % (pem_path, exc))
        if not isinstance(key, ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
            raise SigningError("%s: not a P-256 (secp256r1) private key" % pem_path)
        self.key = key
        self.public_hex = public_hex(key.public_key())

    def sign(self, version, nonce, request_body, body):
        """128 lower-case hexadecimal digits of r and s."""
        return self.sign_bytes(signed_message(version, nonce, request_body, body))

    def sign_bytes(self, message):
        """The signature over any message, as sign gives it."""
        hashes, _, ec, utils = _crypto()
        der = self.key.sign(message, ec.ECDSA(hashes.SHA256()))
        r, s = utils.decode_dss_signature(der)
        return (r.to_bytes(32, "big") + s.to_bytes(32, "big")).hex()


class KeyRing:
    """The service's private keys by version: a reply is signed with the one
    the request names. A vendor keeps every version some program in use was
    built with."""

    def __init__(self, signers):
        if not signers:
            raise SigningError("no signing key")
        self.signers = dict(signers)

    @classmethod
    def load(cls, paths, password=None):
        """From {version: PEM path}."""
        signers = {}
        for version, path in paths.items():
            v = parse_version(version)
            if v is None:
                raise SigningError("%r is not a key version (1 to 999999999)" % (version,))
            if v in signers:
                raise SigningError("key version %d given twice" % v)
            signers[v] = Signer(path, password)
        return cls(signers)

    def get(self, version):
        return self.signers.get(version)


def verify(public_hex_text, version, nonce, request_body, body, signature_hex):
    """True when the signature is good (for the service's own tests and tools)."""
    return verify_bytes(public_hex_text, signed_message(version, nonce, request_body, body),
                        signature_hex)


def verify_bytes(public_hex_text, message, signature_hex):
    """True when the signature (r and s in hexadecimal) is good for the
    message under the public key ("04", X and Y in hexadecimal; X and Y
    alone taken too)."""
    hashes, _, ec, utils = _crypto()
    from cryptography.exceptions import InvalidSignature
    text = public_hex_text.strip().lower()
    point = bytes.fromhex(text if len(text) == 130 else "04" + text)
    key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), point)
    raw = bytes.fromhex(signature_hex)
    if len(raw) != 64:
        return False
    der = utils.encode_dss_signature(int.from_bytes(raw[:32], "big"),
                                     int.from_bytes(raw[32:], "big"))
    try:
        key.verify(der, message, ec.ECDSA(hashes.SHA256()))
        return True
    except InvalidSignature:
        return False


def make_key_pair(stem):
    """Writes STEM.pem (the private key, PKCS#8, readable by its owner only)
    and STEM.pub (the public key as the build takes it). Refuses to overwrite."""
    _, serialization, ec, _ = _crypto()
    pem_path, pub_path = stem + ".pem", stem + ".pub"
    for path in (pem_path, pub_path):
        if os.path.exists(path):
            raise SigningError("%s exists; not overwritten" % path)
    key = ec.generate_private_key(ec.SECP256R1())
    pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                            serialization.NoEncryption())
    fd = os.open(pem_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(pem)
    with open(pub_path, "x", encoding="ascii") as f:
        f.write(public_hex(key.public_key()) + "\n")
    return pem_path, pub_path


class PackageHashes:
    """SHA-256 and size of the files of a package folder, by file name, kept
    until the file changes on disk."""

    def __init__(self, folder):
        self.folder = os.path.realpath(folder)
        self._cache = {}

    def stat(self, name):
        """(lower-case hexadecimal digest, size) of the named file, or None
        when the folder holds no such plain file."""
        if not name or name in (".", "..") or "/" in name or "\\" in name or "\0" in name:
            return None
        path = os.path.join(self.folder, name)
        try:
            st = os.stat(path)
        except OSError:
            return None
        if not os.path.isfile(path):
            return None
        stamp = (st.st_mtime_ns, st.st_size, st.st_ino, st.st_ctime_ns)
        cached = self._cache.get(name)
        if cached and cached[0] == stamp:
            return cached[1]
        h = hashlib.sha256()
        size = 0
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                h.update(block)
                size += len(block)
        self._cache[name] = (stamp, (h.hexdigest(), size))
        return h.hexdigest(), size

    def of(self, name):
        """Lower-case hexadecimal digest of the named file, or None."""
        found = self.stat(name)
        return found[0] if found else None
