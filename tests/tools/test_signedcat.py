"""The offline-signed catalogue: publish signs it with growing versions, the
service refuses one that does not verify and serves each statement verbatim.

Signatures are checked with the cryptography package directly over the bytes
the installer checks, written out independently of pavsvc."""

import json
import os

import support
from support import CLIENT_HEADERS, http_request, run_cli, update_body
from pavsvc.signing import Signer
from pavsvc import signedcat
from pavsvc.signedcat import SignedCatalogue
from pavsvc.update_service import Catalogue, CatalogueError, UpdateService

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, utils

PKG = "http://127.0.0.1:9007"
HEADER = "1:" + "0123456789abcdef" * 4


def catalogue_verifies(pub_hex, statement, sig_hex, key_version=1):
    key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), bytes.fromhex(pub_hex))
    raw = bytes.fromhex(sig_hex)
    der = utils.encode_dss_signature(int.from_bytes(raw[:32], "big"),
                                     int.from_bytes(raw[32:], "big"))
    message = b"pavonix-catalogue-v1\nkey-version %d\nstatement-length %d\n" % (
        key_version, len(statement)) + statement
    try:
        key.verify(der, message, ec.ECDSA(hashes.SHA256()))
        return True
    except Exception:
        return False


class SignedCatalogueCase(support.TempDirCase):
    def setUp(self):
        super().setUp()
        os.makedirs(self.path("packages"))
        for stem in ("reply", "offline"):
            run_cli(["keygen", self.path(stem)]).check_returncode()
        with open(self.path("offline.pub")) as f:
            self.pub = f.read().strip()
        self.write("setup.exe", b"MZ setup bytes")
        self.write("tool.dat", b"data")
        self.folder = self.path("packages")
        self.catalogue = self.path("catalogue.json")
        self.signed = self.path("signed.json")

    def publish(self, *args):
        r = run_cli(["publish", "--catalogue", self.catalogue, "--folder", self.folder,
                     "--catalogue-key", self.path("offline.pem"), "--signed-catalogue",
                     self.signed, "--packages-url", PKG] + list(args), cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        return json.loads(r.stdout.splitlines()[-1])

    def statements(self):
        with open(self.signed) as f:
            doc = json.load(f)
        return [(bytes.fromhex(s["statement"]), s["signature"]) for s in doc["statements"]]

    def test_publish_signs_each_entry_with_a_growing_version(self):
        first = self.publish("setup.exe", "--soft", "levyDesk", "--version", "V1.*")
        second = self.publish("tool.dat", "--soft", "levyDesk", "--version", "V1.*", "--no-run")
        again = self.publish()  # signed again before expiry, no new package
        self.assertEqual([first["version"], second["version"], again["version"]], [1, 2, 3])
        [(statement, sig)] = self.statements()
        self.assertTrue(catalogue_verifies(self.pub, statement, sig))
        doc = json.loads(statement)
        self.assertEqual(statement, json.dumps(doc, sort_keys=True, separators=(",", ":")).encode())
        self.assertEqual((doc["product"], doc["versions"], doc["version"]),
                         ("levyDesk", ["V1.*"], 3))
        self.assertEqual([(p["address"], p["file"], p["size"], p["excuteExe"])
                          for p in doc["packages"]],
                         [(PKG + "/setup.exe", "setup.exe", 14, True),
                          (PKG + "/tool.dat", "tool.dat", 4, False)])
        # A version that does not grow is refused, the file left as it was.
        with self.assertRaisesRegex(CatalogueError, "not above 3"):
            signedcat.sign(self.catalogue, PKG, Signer(self.path("offline.pem")), 1, self.signed,
                           version=3)
        self.assertEqual(self.statements()[0][0], statement)

    def test_service_refuses_a_catalogue_that_does_not_verify(self):
        self.publish("setup.exe", "--soft", "levyDesk", "--version", "*")
        with open(self.signed) as f:
            good = json.load(f)
        base = ["update-service", "--catalogue", self.catalogue, "--packages-url", PKG,
                "--port", "0", "--max-seconds", "0.5", "--signing-key", self.path("reply.pem"),
                "--catalogue-pubkey", self.path("offline.pub")]
        tampered = json.loads(json.dumps(good))
        s = bytes.fromhex(tampered["statements"][0]["statement"])
        s = s.replace(b'"size":14', b'"size":15')
        tampered["statements"][0]["statement"] = s.hex()
        cases = [  # signed catalogue, extra options, exit code, text on stderr
            (good, [], 0, ""),
            (tampered, [], 2, "does not verify"),
            (good, ["--catalogue-key-version", "2"], 2, "key version 1, not 2"),
            (good, ["--catalogue-pubkey", self.path("reply.pub")], 2, "does not verify"),
        ]
        for doc, extra, code, text in cases:
            path = self.write("try.json", json.dumps(doc))
            r = run_cli(base + ["--signed-catalogue", path] + extra)
            self.assertEqual(r.returncode, code, (extra, r.stderr))
            self.assertIn(text, r.stderr)

    def test_signed_replies_carry_the_statement_and_list_only_what_it_holds(self):
        self.publish("setup.exe", "--soft", "levyDesk", "--version", "*")
        # The service's own catalogue lists more than the vendor signed.
        with open(self.catalogue) as f:
            doc = json.load(f)
        doc["products"]["levyDesk"]["*"].append({"address": "{packages}/planted.exe",
                                                 "sha256": "ab" * 32, "size": 3})
        self.write("catalogue.json", json.dumps(doc))
        service = UpdateService(Catalogue(self.catalogue, PKG), port=0,
                                signer=Signer(self.path("reply.pem")),
                                signed_catalogue=SignedCatalogue(self.signed, self.pub, 1)).start()
        self.addCleanup(service.stop)
        headers = dict(CLIENT_HEADERS, **{"X-Pavonix-Nonce": HEADER})
        reply = http_request(service.port, "POST", "//softServer/req",
                             update_body("levyDesk", "V9"), headers).json()
        [(statement, sig)] = self.statements()
        self.assertEqual(reply["catalogue"], {"statement": statement.hex(), "signature": sig})
        self.assertEqual([(p["address"], p["size"]) for p in reply["data"]["softList"]],
                         [(PKG + "/setup.exe", 14)])
        # A product without a statement lists nothing.
        reply = http_request(service.port, "POST", "//softServer/req",
                             update_body("client", "V1"), headers).json()
        self.assertEqual(reply["code"], "3")
        self.assertNotIn("data", reply)
