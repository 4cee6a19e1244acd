"""Signed update replies and package hashes of the bundled update service.

Signatures are checked here with the cryptography package directly over the
bytes the installer checks, written out independently of pavsvc.signing."""

import hashlib
import json
import os
import stat
import subprocess
import unittest

import support
from support import CLIENT_HEADERS, http_request, run_cli, update_body
from pavsvc import faults
from pavsvc.signing import PackageHashes, Signer, SigningError
from pavsvc.update_service import Catalogue, UpdateService

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, utils

PKG = "http://127.0.0.1:9007"
NONCE = "0123456789abcdef" * 4

CATALOGUE = {"products": {
    "levyDesk": {"V1.0": [
        {"address": "{packages}/levydesk_setup.exe", "version": "V1.0", "soft": "levyDesk",
         "excuteExe": True},
        {"address": "{packages}/given.exe", "sha256": "ab" * 32, "version": "V1.0",
         "soft": "levyDesk"},
        {"address": "{packages}/missing.exe", "version": "V1.0", "soft": "levyDesk"},
        {"address": "{packages}/dir/%6Eame%20x.exe?q=1", "version": "V1.0", "soft": "levyDesk"},
    ]},
    "broken": {"*": {"packages": [], "fault": "chunked"}},
    "failing": {"*": {"packages": [{"address": "{packages}/levydesk_setup.exe"}],
                      "fault": "code1"}},
}}


def verifies(pub_hex, nonce, body, sig_hex):
    key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), bytes.fromhex(pub_hex))
    raw = bytes.fromhex(sig_hex)
    if len(raw) != 64:
        return False
    der = utils.encode_dss_signature(int.from_bytes(raw[:32], "big"),
                                     int.from_bytes(raw[32:], "big"))
    try:
        key.verify(der, b"pavonix-update-reply-v1\n" + nonce.encode() + b"\n" + body,
                   ec.ECDSA(hashes.SHA256()))
        return True
    except InvalidSignature:
        return False


class KeyGen(support.TempDirCase):
    def test_makes_a_private_pem_and_the_public_key_the_build_takes(self):
        stem = self.path("vendor")
        r = run_cli(["keygen", stem])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(stem + ".pem").st_mode), 0o600)
        with open(stem + ".pub") as f:
            pub = f.read()
        self.assertRegex(pub, r"\A04[0-9a-f]{128}\n\Z")
        # The public key is the private key's.
        signer = Signer(stem + ".pem")
        self.assertEqual(signer.public_hex, pub.strip())
        self.assertTrue(verifies(pub.strip(), NONCE, b"{}", signer.sign(NONCE, b"{}")))
        # Never overwrites (a lost private key cannot be made again).
        r = run_cli(["keygen", stem])
        self.assertEqual(r.returncode, 2)
        self.assertIn("not overwritten", r.stderr)
        self.assertEqual(Signer(stem + ".pem").public_hex, pub.strip())

    def test_signer_refuses_keys_it_cannot_use(self):
        self.write("not.pem", "hello")
        with self.assertRaises(SigningError):
            Signer(self.path("not.pem"))
        p384 = self.path("p384.pem")
        subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                        "ec_paramgen_curve:secp384r1", "-out", p384], check=True,
                       capture_output=True)
        with self.assertRaisesRegex(SigningError, "P-256"):
            Signer(p384)
        with self.assertRaises(SigningError):
            Signer(self.path("absent.pem"))


class SignedService(support.TempDirCase):
    def setUp(self):
        super().setUp()
        run_cli(["keygen", self.path("vendor")]).check_returncode()
        with open(self.path("vendor.pub")) as f:
            self.pub = f.read().strip()
        os.makedirs(self.path("packages"))
        self.write("packages/levydesk_setup.exe", b"MZ setup bytes")
        self.write("packages/given.exe", b"other")
        self.write("packages/name x.exe", b"decoded name")
        self.service = UpdateService(
            Catalogue(self.write("catalogue.json", json.dumps(CATALOGUE)), PKG), port=0,
            log_path=self.path("update.jsonl"), signer=Signer(self.path("vendor.pem")),
            package_hashes=PackageHashes(self.path("packages"))).start()
        self.addCleanup(self.service.stop)

    def ask(self, nonce=NONCE, soft="levyDesk"):
        headers = dict(CLIENT_HEADERS)
        if nonce is not None:
            headers["X-Pavonix-Nonce"] = nonce
        return http_request(self.service.port, "POST", "//softServer/req",
                            update_body(soft, "V1.0"), headers)

    def test_reply_is_signed_for_the_nonce_and_its_exact_bytes(self):
        r = self.ask()
        self.assertEqual(r.status, 200)
        sig = r.header("X-Pavonix-Signature")
        self.assertRegex(sig, r"\A[0-9a-f]{128}\Z")
        self.assertEqual(r.header("X-Pavonix-Nonce"), NONCE)
        self.assertTrue(verifies(self.pub, NONCE, r.body, sig))
        self.assertFalse(verifies(self.pub, "f" * 64, r.body, sig))
        self.assertFalse(verifies(self.pub, NONCE, r.body.replace(b"true", b"True"), sig))
        # Another request, another nonce: a signature of its own.
        other = "fedcba9876543210" * 4
        r2 = self.ask(other)
        self.assertTrue(verifies(self.pub, other, r2.body, r2.header("X-Pavonix-Signature")))
        self.assertFalse(verifies(self.pub, NONCE, r2.body, r2.header("X-Pavonix-Signature")))
        with open(self.path("update.jsonl")) as f:
            self.assertTrue(all(json.loads(line)["signed"] for line in f))

    def test_packages_carry_the_hash_of_their_file(self):
        packages = self.ask().json()["data"]["softList"]
        self.assertEqual(packages[0]["sha256"], hashlib.sha256(b"MZ setup bytes").hexdigest())
        self.assertEqual(packages[1]["sha256"], "ab" * 32)        # the catalogue's own wins
        self.assertNotIn("sha256", packages[2])                   # no such file: no hash
        self.assertEqual(packages[3]["sha256"], hashlib.sha256(b"decoded name").hexdigest())
        # A file changed on disk gets its new hash.
        self.write("packages/levydesk_setup.exe", b"MZ new setup")
        os.utime(self.path("packages/levydesk_setup.exe"), ns=(1, 1))
        packages = self.ask().json()["data"]["softList"]
        self.assertEqual(packages[0]["sha256"], hashlib.sha256(b"MZ new setup").hexdigest())

    def test_request_without_a_nonce_gets_no_signature(self):
        r = self.ask(nonce=None)
        self.assertEqual(r.status, 200)
        self.assertIsNone(r.header("X-Pavonix-Signature"))
        self.assertIn("sha256", r.json()["data"]["softList"][0])

    def test_malformed_nonce_is_refused_unsigned(self):
        # A line break would let the sender choose part of the signed bytes.
        for bad in ["", NONCE.upper(), NONCE[:-1], NONCE + "0", NONCE[:-1] + "g",
                    NONCE[:32] + "\n" + NONCE[33:], NONCE + "\n{\"code\":\"0\"}"]:
            r = self.ask(bad) if "\n" not in bad else None
            if r is None:  # http.client refuses such a header; send it raw
                r = self.raw_ask(bad)
            self.assertEqual(r.status, 400, bad)
            # A folded header is refused at the HTTP level ("400") before the
            # service sees it; every other malformed nonce by the service.
            self.assertEqual(r.json()["code"], "400" if "\n" in bad else "15", bad)
            self.assertIsNone(r.header("X-Pavonix-Signature"), bad)

    def raw_ask(self, nonce):
        import socket
        body = update_body("levyDesk", "V1.0")
        head = ("POST //softServer/req HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                "Content-Type: application/x-www-form-urlencoded\r\n"
                "Content-Length: %d\r\nConnection: close\r\n" % len(body)).encode()
        # An obs-fold continuation line carries the line break into the value.
        value = nonce.replace("\n", "\r\n ").encode()
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=10) as s:
            s.sendall(head + b"X-Pavonix-Nonce: " + value + b"\r\n\r\n" + body)
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        headers = [tuple(x.strip() for x in l.split(":", 1)) for l in lines[1:]]
        return support.Reply(status, headers, rest)

    def test_faulted_answers_are_signed_as_sent_and_chunked_ones_not(self):
        r = self.ask(soft="failing")
        self.assertEqual(r.json()["code"], "1")
        self.assertTrue(verifies(self.pub, NONCE, r.body, r.header("X-Pavonix-Signature")))
        r = self.ask(soft="broken")
        self.assertIsNone(r.header("X-Pavonix-Signature"))


class ServeConfig(support.TempDirCase):
    def test_serve_signs_and_hashes_the_package_servers_files(self):
        run_cli(["keygen", self.path("k")]).check_returncode()
        os.makedirs(self.path("pk"))
        self.write("pk/levydesk_setup.exe", b"payload")
        self.write("catalogue.json", json.dumps(CATALOGUE))
        self.write("serve.json", json.dumps({
            "package_server": {"port": 0, "folder": "pk"},
            "update_service": {"port": 0, "catalogue": "catalogue.json", "signing_key": "k.pem"}}))
        proc = support.CliProcess(["serve", "--config", self.path("serve.json"),
                                   "--max-seconds", "60"], cwd=self.dir)
        self.addCleanup(proc.stop)
        report = proc.wait_ready()
        port = report["update-service"]["port"]
        headers = dict(CLIENT_HEADERS, **{"X-Pavonix-Nonce": NONCE})
        r = http_request(port, "POST", "//softServer/req", update_body(), headers)
        self.assertEqual(r.json()["data"]["softList"][0]["sha256"],
                         hashlib.sha256(b"payload").hexdigest())
        with open(self.path("k.pub")) as f:
            self.assertTrue(verifies(f.read().strip(), NONCE, r.body,
                                     r.header("X-Pavonix-Signature")))


if __name__ == "__main__":
    unittest.main()
