"""Signed update replies and package hashes.

A build of the installer with a public key (PAVONIX_UPDATE_PUBKEY) sends a
nonce with every update request and accepts only replies signed for it:

  request header  X-Pavonix-Nonce: 64 lower-case hexadecimal digits
  reply header    X-Pavonix-Signature: 128 hexadecimal digits, r then s
                  (ECDSA P-256 with SHA-256, each 32 bytes big-endian)
  signed bytes    b"pavonix-update-reply-v1\\n" + nonce + b"\\n" + body

The service also echoes the nonce it signed for in X-Pavonix-Nonce.
Signing needs python3-cryptography; the services run without it as long as
no key is given.
"""

import hashlib
import os
import re

NONCE_HEADER = "X-Pavonix-Nonce"
SIGNATURE_HEADER = "X-Pavonix-Signature"
CONTEXT = b"pavonix-update-reply-v1\n"
_NONCE = re.compile(r"[0-9a-f]{64}\Z")


class SigningError(ValueError):
    pass


def _crypto():
    try:
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec, utils
    except ImportError as exc:
        raise SigningError("signing needs python3-cryptography: %s" % exc)
    return hashes, serialization, ec, utils


def valid_nonce(nonce):
    """Only the installer's own form is signed. Anything else could carry a
    line break and a text of the sender's choosing into the signed bytes,
    making the service sign a body that it never sent."""
    return isinstance(nonce, str) and _NONCE.match(nonce) is not None


def signed_message(nonce, body):
    return CONTEXT + nonce.encode("ascii") + b"\n" + body


def public_hex(public_key):
    """The key as the build takes it: "04", X and Y in hexadecimal."""
    _, serialization, _, _ = _crypto()
    return public_key.public_bytes(serialization.Encoding.X962,
                                   serialization.PublicFormat.UncompressedPoint).hex()


class Signer:
    """Signs replies with a P-256 private key from a PEM file."""

    def __init__(self, pem_path):
        hashes, serialization, ec, _ = _crypto()
        try:
            with open(pem_path, "rb") as f:
                key = serialization.load_pem_private_key(f.read(), password=None)
        except (OSError, ValueError, TypeError) as exc:
            raise SigningError("%s: not a readable unencrypted PEM private key: %s" % (pem_path, exc))
        if not isinstance(key, ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
            raise SigningError("%s: not a P-256 (secp256r1) private key" % pem_path)
        self.key = key
        self.public_hex = public_hex(key.public_key())

    def sign(self, nonce, body):
        """128 lower-case hexadecimal digits of r and s."""
        hashes, _, ec, utils = _crypto()
        der = self.key.sign(signed_message(nonce, body), ec.ECDSA(hashes.SHA256()))
        r, s = utils.decode_dss_signature(der)
        return (r.to_bytes(32, "big") + s.to_bytes(32, "big")).hex()


def verify(public_hex_text, nonce, body, signature_hex):
    """True when the signature is good (for the service's own tests and tools)."""
    hashes, _, ec, utils = _crypto()
    from cryptography.exceptions import InvalidSignature
    point = bytes.fromhex(public_hex_text)
    key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), point)
    raw = bytes.fromhex(signature_hex)
    der = utils.encode_dss_signature(int.from_bytes(raw[:32], "big"),
                                     int.from_bytes(raw[32:], "big"))
    try:
        key.verify(der, signed_message(nonce, body), ec.ECDSA(hashes.SHA256()))
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
    """SHA-256 of the files of a package folder, by file name, kept until the
    file changes on disk."""

    def __init__(self, folder):
        self.folder = os.path.realpath(folder)
        self._cache = {}

    def of(self, name):
        """Lower-case hexadecimal digest of the named file, or None when the
        folder holds no such plain file."""
        if not name or name in (".", "..") or "/" in name or "\\" in name or "\0" in name:
            return None
        path = os.path.join(self.folder, name)
        try:
            st = os.stat(path)
        except OSError:
            return None
        if not os.path.isfile(path):
            return None
        stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
        cached = self._cache.get(name)
        if cached and cached[0] == stamp:
            return cached[1]
        h = hashlib.sha256()
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                h.update(block)
        digest = h.hexdigest()
        self._cache[name] = (stamp, digest)
        return digest
