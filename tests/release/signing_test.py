#!/usr/bin/env python3
"""scripts/release with Authenticode signing, against a throw-away CA.

Runs on the tree and build that repro_test.py left in WORK/a (the build is
then only relinked if anything changed), so each release run here costs a
configure and the signature.

    signing_test.py WORK [unittest arguments]
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import pe_sections
from releaselib import HOST, LoopbackTsa, make_signing_ca, release, run, verify

WORK = None
PASSWORD = "correct horse 電池"


def r_last_line(text):
    lines = text.strip().splitlines()
    return lines[-1] if lines else ""


def read(path):
    with open(path, "rb") as f:
        return f.read()


class SigningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.src = os.path.join(WORK, "a", "src")
        if not os.path.isfile(os.path.join(cls.src, "dist", "pavonix-unsigned.exe")):
            raise unittest.SkipTest("no release build in %s (run repro_test.py first)" % cls.src)
        cls.unsigned = read(os.path.join(cls.src, "dist", "pavonix-unsigned.exe"))
        cls.tmp = tempfile.mkdtemp(prefix="pavonix-sign-")
        cls.ca = make_signing_ca(os.path.join(cls.tmp, "ca"), PASSWORD)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def out(self, name):
        return os.path.join(self.tmp, name)

    last = ""

    def release(self, out, *args, env=None):
        r = release(self.src, "--update-host", HOST, "--out", out, "--unsigned-updates", *args,
                    env=env)
        self.last = r.stdout
        return r

    def check_dist(self, out):
        """The four files, the unsigned program unchanged, the sums right."""
        self.assertEqual(sorted(os.listdir(out)),
                         ["BUILDINFO", "SHA256SUMS", "pavonix-unsigned.exe", "pavonix.exe"])
        self.assertEqual(read(os.path.join(out, "pavonix-unsigned.exe")), self.unsigned)
        r = run(["sha256sum", "-c", "SHA256SUMS"], cwd=out)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual(r.stdout.count(": OK"), 3, r.stdout)
        # The kind of program is recorded and said last.
        self.assertIn("update replies: NOT signed (--unsigned-updates)\n",
                      read(os.path.join(out, "BUILDINFO")).decode())
        self.assertIn("UNSIGNED update replies", r_last_line(self.last))

    def check_signer(self, out):
        """BUILDINFO names the signer and its certificate's SHA-256."""
        info = read(os.path.join(out, "BUILDINFO")).decode()
        fingerprint = subprocess.run(
            ["openssl", "x509", "-in", self.ca["cert"], "-noout", "-fingerprint", "-sha256"],
            check=True, stdout=subprocess.PIPE, text=True).stdout.split("=")[1].replace(":", "")
        self.assertIn("pavonix.exe: Authenticode (SHA-256) by /CN=Pavonix Release Test/O=Throw-away, "
                      "certificate SHA-256 %s; time stamp: " % fingerprint.strip(), info)

    def test_pem_key_with_password_file(self):
        out = self.out("pem")
        r = self.release(out, "--sign-cert", self.ca["cert"], "--sign-key", self.ca["key"],
                         "--sign-pass-file", self.ca["pass"], "--verify-ca", self.ca["ca"])
        self.assertEqual(r.returncode, 0, r.stdout)
        self.check_dist(out)
        signed = os.path.join(out, "pavonix.exe")
        v = verify(signed, self.ca["ca"])
        self.assertEqual(v.returncode, 0, v.stdout)
        self.assertIn("Message digest algorithm  : SHA256", v.stdout)
        self.assertIn("Signature verification: ok", v.stdout)
        # Signing adds the certificate table and changes nothing else but the
        # checksum and the table's directory entry.
        diff = pe_sections.differences(self.unsigned, read(signed))
        self.assertEqual(diff, ["checksum", "certificate table entry", "after sections"])
        self.check_signer(out)

        with self.subTest("another CA does not vouch for it"):
            v = verify(signed, self.ca["other_ca"])
            self.assertNotEqual(v.returncode, 0, v.stdout)

        with self.subTest("a program changed after signing fails"):
            data = bytearray(read(signed))
            name, ptr, size = next(s for s in pe_sections.parse(data)["sections"]
                                   if s[0] == ".text")
            data[ptr + size // 2] ^= 0x01
            bad = self.out("changed.exe")
            with open(bad, "wb") as f:
                f.write(data)
            v = verify(bad, self.ca["ca"])
            self.assertNotEqual(v.returncode, 0, v.stdout)
            self.assertIn("MISMATCH", v.stdout)

        with self.subTest("a program with data appended after signing fails"):
            bad = self.out("appended.exe")
            with open(bad, "wb") as f:
                f.write(read(signed) + b"\0" * 8 + b"MZ appended payload")
            v = verify(bad, self.ca["ca"])
            self.assertNotEqual(v.returncode, 0, v.stdout)

    def test_pkcs12_with_password_from_environment(self):
        out = self.out("p12")
        env = dict(os.environ, PAVONIX_TEST_SIGN_PASS=PASSWORD)
        r = self.release(out, "--sign-cert", self.ca["p12"], "--sign-pass-env",
                         "PAVONIX_TEST_SIGN_PASS", "--verify-ca", self.ca["ca"], env=env)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertNotIn(PASSWORD, r.stdout)
        self.check_dist(out)
        self.check_signer(out)
        v = verify(os.path.join(out, "pavonix.exe"), self.ca["ca"])
        self.assertEqual(v.returncode, 0, v.stdout)

    def test_password_file_ending_in_a_line_break(self):
        with_newline = self.out("password-newline.txt")
        with open(with_newline, "w") as f:
            f.write(PASSWORD + "\n")
        out = self.out("newline")
        r = self.release(out, "--sign-cert", self.ca["p12"], "--sign-pass-file", with_newline,
                         "--verify-ca", self.ca["ca"])
        self.assertEqual(r.returncode, 0, r.stdout)
        v = verify(os.path.join(out, "pavonix.exe"), self.ca["ca"])
        self.assertEqual(v.returncode, 0, v.stdout)

    def test_wrong_password_or_untrusted_signature_leave_no_program(self):
        wrong = self.out("wrong-password.txt")
        with open(wrong, "w") as f:
            f.write("not " + PASSWORD)
        cases = {
            "wrong password": ["--sign-cert", self.ca["cert"], "--sign-key", self.ca["key"],
                               "--sign-pass-file", wrong, "--verify-ca", self.ca["ca"]],
            "verified against another CA": ["--sign-cert", self.ca["cert"], "--sign-key",
                                            self.ca["key"], "--sign-pass-file", self.ca["pass"],
                                            "--verify-ca", self.ca["other_ca"]],
        }
        for what, args in cases.items():
            with self.subTest(what):
                out = self.out(what.replace(" ", "-"))
                os.makedirs(out, exist_ok=True)
                # Output of an earlier run must not survive a failed one.
                for name in ("pavonix.exe", "BUILDINFO", "SHA256SUMS"):
                    with open(os.path.join(out, name), "w") as f:
                        f.write("stale")
                r = self.release(out, *args)
                self.assertNotEqual(r.returncode, 0, r.stdout)
                self.assertNotIn(PASSWORD, r.stdout)
                self.assertEqual(os.listdir(out), ["pavonix-unsigned.exe"])

    def test_rfc3161_time_stamp(self):
        out = self.out("stamped")
        with LoopbackTsa(self.out("tsa"), self.ca) as tsa:
            r = self.release(out, "--sign-cert", self.ca["cert"], "--sign-key", self.ca["key"],
                             "--sign-pass-file", self.ca["pass"], "--timestamp-url", tsa.url,
                             "--verify-ca", self.ca["ca"])
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual(tsa.requests, ["application/timestamp-query"])
        self.check_dist(out)
        v = run(["osslsigncode", "verify", "-CAfile", self.ca["ca"], "-TSA-CAfile", self.ca["ca"],
                 "-in", os.path.join(out, "pavonix.exe")])
        self.assertEqual(v.returncode, 0, v.stdout)
        self.assertIn("Timestamp Server Signature verification: ok", v.stdout)
        info = read(os.path.join(out, "BUILDINFO")).decode()
        self.assertIn("time stamp: " + tsa.url, info)

        with self.subTest("a time-stamp server that does not answer fails the signing"):
            closed = LoopbackTsa(self.out("tsa-closed"), self.ca)
            url = closed.url
            closed.server.server_close()  # the port refuses connections now
            r = self.release(out, "--sign-cert", self.ca["cert"], "--sign-key", self.ca["key"],
                             "--sign-pass-file", self.ca["pass"], "--timestamp-url", url)
            self.assertNotEqual(r.returncode, 0, r.stdout)
            self.assertEqual(os.listdir(out), ["pavonix-unsigned.exe"])

    def test_refused_options(self):
        """Refused before anything is built: each case exits non-zero at once."""
        cases = {
            "no update host": [],
            "host with a path": ["--update-host", "a.example/x"],
            "key without certificate": ["--update-host", "h", "--sign-key", self.ca["key"]],
            "PEM certificate without key": ["--update-host", "h", "--sign-cert", self.ca["cert"]],
            "PKCS#12 with a key": ["--update-host", "h", "--sign-cert", self.ca["p12"],
                                   "--sign-key", self.ca["key"]],
            "two password sources": ["--update-host", "h", "--sign-cert", self.ca["p12"],
                                     "--sign-pass-file", self.ca["pass"], "--sign-pass-env", "X"],
            "password variable unset": ["--update-host", "h", "--sign-cert", self.ca["p12"],
                                        "--sign-pass-env", "PAVONIX_NO_SUCH_VARIABLE"],
            "password on the command line": ["--update-host", "h", "--sign-pass", PASSWORD],
            "time stamp URL not http": ["--update-host", "h", "--sign-cert", self.ca["p12"],
                                        "--timestamp-url", "file:///etc/passwd"],
        }
        cases = {what: args + ["--unsigned-updates"] for what, args in cases.items()}
        # The update key: required unless unsigned is asked for, never a test key.
        keys = os.path.join(self.src, "tests", "support", "keys")
        copy = os.path.join(self.tmp, "copy-of-a-test-key.pub")
        shutil.copy(os.path.join(keys, "update-test.pub"), copy)
        with open(copy) as f:
            test_text = f.read().strip()
        cases.update({
            "no key and not unsigned": ["--update-host", "h"],
            "a key without its version": ["--update-host", "h", "--update-pubkey", copy],
            "version zero": ["--update-host", "h", "--update-pubkey", copy,
                             "--update-key-version", "0"],
            "key and unsigned": ["--update-host", "h", "--unsigned-updates",
                                 "--update-pubkey", copy, "--update-key-version", "1"],
            "a test key file": ["--update-host", "h", "--update-key-version", "2",
                                "--update-pubkey", os.path.join(keys, "update-test-v2.pub")],
            "a copy of a test key": ["--update-host", "h", "--update-pubkey", copy,
                                     "--update-key-version", "1"],
            "a test key's text": ["--update-host", "h", "--update-pubkey", test_text.upper(),
                                  "--update-key-version", "1"],
        })
        # The catalogue key: required with the update key unless refused in
        # words, never a test key, never the update key itself.
        own = os.path.join(self.tmp, "own-update")
        if not os.path.exists(own + ".pub"):
            run([sys.executable, os.path.join(self.src, "tools", "services", "pavonix_services.py"),
                 "keygen", own])
        signed = ["--update-host", "h", "--update-pubkey", own + ".pub", "--update-key-version", "1"]
        cases.update({
            "signed without a catalogue key": signed,
            "the test catalogue key": signed + ["--catalogue-key-version", "1", "--catalogue-pubkey",
                                                os.path.join(keys, "catalogue-test.pub")],
            "the update key as catalogue key": signed + ["--catalogue-key-version", "1",
                                                         "--catalogue-pubkey", own + ".pub"],
            "a catalogue key without its version": signed + ["--catalogue-pubkey", copy],
            "catalogue key and no catalogue": signed + ["--no-catalogue", "--catalogue-pubkey", copy,
                                                        "--catalogue-key-version", "1"],
        })
        for what, args in cases.items():
            with self.subTest(what):
                out = self.out("refused")
                r = release(self.src, "--out", out, *args)
                self.assertNotEqual(r.returncode, 0, r.stdout)
                self.assertIn("release: error:", r.stdout)
                self.assertNotIn("configuring", r.stdout)

    def test_update_pubkey_and_its_version_compiled_in_and_recorded(self):
        stem = os.path.join(self.tmp, "vendor-v3")
        run([sys.executable, os.path.join(self.src, "tools", "services", "pavonix_services.py"),
             "keygen", stem])
        key_file = stem + ".pub"
        with open(key_file) as f:
            point = f.read().strip().lower()
        self.assertEqual(len(point), 130)
        offline = os.path.join(self.tmp, "catalogue-v4")
        run([sys.executable, os.path.join(self.src, "tools", "services", "pavonix_services.py"),
             "keygen", offline])
        with open(offline + ".pub") as f:
            catalogue_point = f.read().strip().lower()
        out = self.out("pubkey")
        # Relative to the caller's folder, as a vendor would type it.
        r = release(self.src, "--update-host", HOST, "--out", out, "--update-key-version", "3",
                    "--update-pubkey", os.path.relpath(key_file, self.tmp),
                    "--catalogue-pubkey", offline + ".pub", "--catalogue-key-version", "4",
                    cwd=self.tmp)
        self.assertEqual(r.returncode, 0, r.stdout)
        info = read(os.path.join(out, "BUILDINFO")).decode()
        self.assertIn("update public key: P-256 %s (replies must be signed)\n"
                      "update key version: 3\nupdate replies: signed\n" % point[2:], info)
        self.assertIn("catalogue public key: P-256 %s (offline; replies list only what it signed)\n"
                      "catalogue key version: 4\ncatalogue: offline-signed\n" % catalogue_point[2:],
                      info)
        self.assertNotIn(key_file, info)
        self.assertEqual(r_last_line(r.stdout), "release: built: a program that accepts only "
                         "update replies signed with key version 3, listing only what catalogue "
                         "key version 4 signed")
        program = read(os.path.join(out, "pavonix-unsigned.exe"))
        self.assertIn(b"3:" + point[2:].encode(), program)
        self.assertNotEqual(program, self.unsigned)

        with self.subTest("a value that is no key stops the build"):
            r = release(self.src, "--update-host", HOST, "--out", out, "--no-catalogue",
                        "--update-pubkey", "04abc", "--update-key-version", "1")
            self.assertNotEqual(r.returncode, 0, r.stdout)
            self.assertIn("configure failed", r.stdout)
            self.assertFalse(os.path.exists(os.path.join(out, "pavonix-unsigned.exe")))


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    WORK = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
