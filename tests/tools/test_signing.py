"""Signed update replies, key versions, publishing and package hashes of the
bundled update service.

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
from pavsvc.signing import KeyRing, PackageHashes, Signer, SigningError
from pavsvc.update_service import Catalogue, UpdateService

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, utils

PKG = "http://127.0.0.1:9007"
NONCE = "0123456789abcdef" * 4
HEADER = "1:" + NONCE


def sha(data):
    return hashlib.sha256(data).hexdigest()

# Hashes as publishing recorded them: levydesk_setup.exe and "name x.exe"
# still match their files, given.exe does not, missing.exe has no file, and
# unpublished.exe was never published.
CATALOGUE = {"products": {
    "levyDesk": {"V1.0": [
        {"address": "{packages}/levydesk_setup.exe", "version": "V1.0", "soft": "levyDesk",
         "excuteExe": True, "sha256": sha(b"MZ setup bytes"), "size": 14},
        {"address": "{packages}/given.exe", "sha256": "ab" * 32, "version": "V1.0",
         "soft": "levyDesk"},
        {"address": "{packages}/missing.exe", "version": "V1.0", "soft": "levyDesk",
         "sha256": sha(b"gone")},
        {"address": "{packages}/dir/%6Eame%20x.exe?q=1", "version": "V1.0", "soft": "levyDesk",
         "sha256": sha(b"decoded name").upper()},
        {"address": "{packages}/unpublished.exe", "version": "V1.0", "soft": "levyDesk"},
    ]},
    "switchedOff": {"*": {"code": "7", "msg": "withdrawn", "packages": [
        {"address": "{packages}/levydesk_setup.exe", "sha256": sha(b"MZ setup bytes")}]}},
    "broken": {"*": {"packages": [], "fault": "chunked"}},
    "failing": {"*": {"packages": [{"address": "{packages}/levydesk_setup.exe"}],
                      "fault": "code1"}},
}}


def verifies(pub_hex, nonce, request, body, sig_hex, version=1):
    key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), bytes.fromhex(pub_hex))
    raw = bytes.fromhex(sig_hex)
    if len(raw) != 64:
        return False
    der = utils.encode_dss_signature(int.from_bytes(raw[:32], "big"),
                                     int.from_bytes(raw[32:], "big"))
    try:
        message = (b"pavonix-update-reply-v2\nkey-version %d\nnonce %s\nrequest-sha256 %s\n"
                   b"reply-length %d\n" % (version, nonce.encode(), sha(request).encode(),
                                            len(body))) + body
        key.verify(der, message, ec.ECDSA(hashes.SHA256()))
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
        self.assertTrue(verifies(pub.strip(), NONCE, b"q", b"{}", signer.sign(1, NONCE, b"q", b"{}")))
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

    def test_encrypted_key_with_its_password_from_a_file_or_a_variable(self):
        enc = self.path("enc.pem")
        subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-aes-256-cbc", "-pass", "pass:s3cret",
                        "-out", enc], check=True, capture_output=True)
        self.write("pass.txt", "s3cret\n")
        self.write("wrong.txt", "other\n")
        catalogue = self.write("c.json", json.dumps({"products": {}}))
        cases = [  # options, environment, exit code 0 (the service listens) or 2
            (["--signing-key-pass-file", self.path("pass.txt")], {}, 0),
            (["--signing-key-pass-env", "KEYPASS"], {"KEYPASS": "s3cret"}, 0),
            (["--signing-key-pass-file", self.path("wrong.txt")], {}, 2),
            (["--signing-key-pass-env", "KEYPASS"], {}, 2),      # variable not set
            ([], {}, 2),                                         # no password
            (["--signing-key-pass-file", self.path("pass.txt"),
              "--signing-key-pass-env", "KEYPASS"], {"KEYPASS": "s3cret"}, 2),
        ]
        for extra, env, want in cases:
            r = run_cli(["update-service", "--catalogue", catalogue, "--port", "0",
                         "--max-seconds", "0.5", "--signing-key", "3=" + enc] + extra,
                        env=dict(os.environ, **env))
            self.assertEqual(r.returncode, want, (extra, env, r.stderr))
        # The password is never an option of its own.
        r = run_cli(["update-service", "--catalogue", catalogue, "--signing-key", enc,
                     "--signing-key-pass", "s3cret"])
        self.assertEqual(r.returncode, 2)


class SignedService(support.TempDirCase):
    def setUp(self):
        super().setUp()
        for stem in ("vendor", "vendor2"):
            run_cli(["keygen", self.path(stem)]).check_returncode()
        with open(self.path("vendor.pub")) as f:
            self.pub = f.read().strip()
        with open(self.path("vendor2.pub")) as f:
            self.pub2 = f.read().strip()
        os.makedirs(self.path("packages"))
        self.write("packages/levydesk_setup.exe", b"MZ setup bytes")
        self.write("packages/given.exe", b"other")
        self.write("packages/name x.exe", b"decoded name")
        self.write("packages/unpublished.exe", b"whatever lies here")
        self.service = UpdateService(
            Catalogue(self.write("catalogue.json", json.dumps(CATALOGUE)), PKG), port=0,
            log_path=self.path("update.jsonl"),
            signer=KeyRing.load({"1": self.path("vendor.pem"), "2": self.path("vendor2.pem")}),
            package_hashes=PackageHashes(self.path("packages"))).start()
        self.addCleanup(self.service.stop)

    def ask(self, nonce=HEADER, soft="levyDesk", body=None):
        headers = dict(CLIENT_HEADERS)
        if nonce is not None:
            headers["X-Pavonix-Nonce"] = nonce
        return http_request(self.service.port, "POST", "//softServer/req",
                            body or update_body(soft, "V1.0"), headers)

    def log_entries(self):
        with open(self.path("update.jsonl")) as f:
            return [json.loads(line) for line in f]

    def test_reply_is_signed_for_the_key_version_nonce_request_and_exact_bytes(self):
        request = update_body("levyDesk", "V1.0")
        r = self.ask()
        self.assertEqual(r.status, 200)
        sig = r.header("X-Pavonix-Signature")
        self.assertRegex(sig, r"\A[0-9a-f]{128}\Z")
        self.assertEqual(r.header("X-Pavonix-Nonce"), HEADER)
        self.assertTrue(verifies(self.pub, NONCE, request, r.body, sig))
        for nonce, req, body, version in [("f" * 64, request, r.body, 1),
                                          (NONCE, request + b"&", r.body, 1),
                                          (NONCE, request, r.body + b" ", 1),
                                          (NONCE, request, r.body, 2)]:
            self.assertFalse(verifies(self.pub, nonce, req, body, sig, version))
        # Key version 2 signs with its own key.
        r2 = self.ask("2:" + NONCE)
        sig2 = r2.header("X-Pavonix-Signature")
        self.assertTrue(verifies(self.pub2, NONCE, request, r2.body, sig2, 2))
        self.assertFalse(verifies(self.pub, NONCE, request, r2.body, sig2, 2))
        self.assertEqual([e["key_version"] for e in self.log_entries()], [1, 2])
        self.assertTrue(all(e["signed"] for e in self.log_entries()))

    def test_only_published_hashes_that_still_match_are_listed(self):
        packages = self.ask().json()["data"]["softList"]
        self.assertEqual([p["address"] for p in packages],
                         [PKG + "/levydesk_setup.exe", PKG + "/dir/%6Eame%20x.exe?q=1"])
        self.assertEqual(packages[0]["sha256"], sha(b"MZ setup bytes"))
        left = self.log_entries()[0]["left_out"]
        self.assertEqual(len(left), 3, left)
        for name, why in [("given.exe", "no longer matches"), ("missing.exe", "not in the package"),
                          ("unpublished.exe", "no recorded sha256")]:
            self.assertTrue(any(name in line and why in line for line in left), (name, left))
        # A file changed on disk after publishing is left out, never re-hashed.
        self.write("packages/levydesk_setup.exe", b"MZ new setup!!")
        packages = self.ask().json()["data"]["softList"]
        self.assertEqual([p["address"] for p in packages], [PKG + "/dir/%6Eame%20x.exe?q=1"])

    def test_unsigned_requests_keep_the_folders_hashes(self):
        r = self.ask(nonce=None)
        self.assertEqual(r.status, 200)
        self.assertIsNone(r.header("X-Pavonix-Signature"))
        packages = r.json()["data"]["softList"]
        self.assertEqual(len(packages), 5)
        self.assertEqual(packages[4]["sha256"], sha(b"whatever lies here"))

    def test_answers_the_catalogue_gives_and_no_more(self):
        # An entry switched off lists nothing, signed or not.
        for nonce in (HEADER, None):
            doc = self.ask(nonce, soft="switchedOff").json()
            self.assertEqual(doc, {"code": "7", "msg": "withdrawn", "data": {"softList": []}})
        # A signed request names one product: never a blend of two entries.
        text = ('{"data":{"softList":[{"soft":"levyDesk","upgrade":"false","version":"V1.0"},'
                '{"soft":"switchedOff","upgrade":"false","version":"1"}]},'
                '"pid":"PROTOCOL_99","uid":"U"}')
        r = self.ask(body=b"requestStr=" + support.client_encode(text.encode()))
        self.assertEqual((r.status, r.json()["code"]), (400, "13"))
        self.assertNotIn("data", r.json())

    def test_malformed_nonce_or_unknown_key_version_is_refused_unsigned(self):
        # A line break would let the sender choose part of the signed bytes.
        cases = [("", "15"), (NONCE, "15"), ("1:" + NONCE.upper(), "15"), ("1:" + NONCE[:-1], "15"),
                 ("1:" + NONCE + "0", "15"), ("0:" + NONCE, "15"), ("01:" + NONCE, "15"),
                 ("1000000000:" + NONCE, "15"), ("1:" + NONCE + ":", "15"), ("3:" + NONCE, "16"),
                 ("1:" + NONCE[:32] + "\n" + NONCE[33:], "400"),
                 ("1:" + NONCE + "\n{\"code\":\"0\"}", "400")]
        for bad, code in cases:
            # http.client refuses a header with a line break; send it raw.
            r = self.raw_ask(bad) if "\n" in bad else self.ask(bad)
            self.assertEqual(r.status, 400, bad)
            # A folded header is refused at the HTTP level ("400") before the
            # service sees it; every other one by the service.
            self.assertEqual(r.json()["code"], code, bad)
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
        self.assertTrue(verifies(self.pub, NONCE, update_body("failing", "V1.0"), r.body,
                                 r.header("X-Pavonix-Signature")))
        r = self.ask(soft="broken")
        self.assertIsNone(r.header("X-Pavonix-Signature"))


class Publish(support.TempDirCase):
    def test_publish_copies_records_and_replaces(self):
        os.makedirs(self.path("pk"))
        catalogue = self.path("catalogue.json")
        self.write("setup.exe", b"MZ first")
        r = run_cli(["publish", self.path("setup.exe"), "--catalogue", catalogue,
                     "--folder", self.path("pk"), "--soft", "levyDesk", "--version", "V1.0"])
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(self.path("pk/setup.exe"), "rb") as f:
            self.assertEqual(f.read(), b"MZ first")
        # Again under another name, not run, then a new build of the first.
        self.write("readme.txt", b"text")
        self.write("setup.exe", b"MZ second build")
        for args in (["readme.txt", "--no-run", "--name", "notes.txt"], ["setup.exe"]):
            r = run_cli(["publish", self.path(args[0]), "--catalogue", catalogue, "--folder",
                         self.path("pk"), "--soft", "levyDesk", "--version", "V1.0"] + args[1:])
            self.assertEqual(r.returncode, 0, r.stderr)
        with open(catalogue) as f:
            doc = json.load(f)
        self.assertEqual(doc["products"]["levyDesk"]["V1.0"], [
            {"address": "{packages}/notes.txt", "version": "V1.0", "soft": "levyDesk",
             "excuteExe": False, "sha256": sha(b"text"), "size": 4},
            {"address": "{packages}/setup.exe", "version": "V1.0", "soft": "levyDesk",
             "excuteExe": True, "sha256": sha(b"MZ second build"), "size": 15}])
        self.assertEqual(sorted(os.listdir(self.path("pk"))), ["notes.txt", "setup.exe"])
        # Refused: a name that is not plain, a missing file, a broken catalogue.
        self.write("broken.json", "{")
        for args, where in [(["setup.exe", "--name", "../x.exe"], catalogue),
                            (["absent.exe"], catalogue), (["setup.exe"], self.path("broken.json"))]:
            r = run_cli(["publish", self.path(args[0]), "--catalogue", where, "--folder",
                         self.path("pk"), "--soft", "S", "--version", "*"] + args[1:])
            self.assertEqual(r.returncode, 2, args)
        self.assertEqual(sorted(os.listdir(self.path("pk"))), ["notes.txt", "setup.exe"])


class ServeConfig(support.TempDirCase):
    def test_serve_signs_with_the_versions_it_holds_and_published_hashes(self):
        for stem in ("k1", "k2"):
            run_cli(["keygen", self.path(stem)]).check_returncode()
        os.makedirs(self.path("pk"))
        self.write("setup.exe", b"payload")
        run_cli(["publish", self.path("setup.exe"), "--catalogue", self.path("catalogue.json"),
                 "--folder", self.path("pk"), "--soft", "levyDesk", "--version", "*"]
                ).check_returncode()
        self.write("serve.json", json.dumps({
            "package_server": {"port": 0, "folder": "pk"},
            "update_service": {"port": 0, "catalogue": "catalogue.json",
                               "signing_key": {"1": "k1.pem", "2": "k2.pem"}}}))
        proc = support.CliProcess(["serve", "--config", self.path("serve.json"),
                                   "--max-seconds", "60"], cwd=self.dir)
        self.addCleanup(proc.stop)
        port = proc.wait_ready()["update-service"]["port"]
        for version in (1, 2):
            headers = dict(CLIENT_HEADERS, **{"X-Pavonix-Nonce": "%d:%s" % (version, NONCE)})
            r = http_request(port, "POST", "//softServer/req", update_body(), headers)
            self.assertEqual(r.json()["data"]["softList"][0]["sha256"], sha(b"payload"))
            with open(self.path("k%d.pub" % version)) as f:
                self.assertTrue(verifies(f.read().strip(), NONCE, update_body(), r.body,
                                         r.header("X-Pavonix-Signature"), version))


if __name__ == "__main__":
    unittest.main()
