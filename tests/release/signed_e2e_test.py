#!/usr/bin/env python3
"""A signed program still runs: the end-to-end program, Authenticode-signed
with a throw-away certificate as scripts/release signs, verified, then driven
through the healthy install run under Wine.

    signed_e2e_test.py E2E_BIN E2E_WORK TMP
"""

import os
import shutil
import subprocess
import sys

from releaselib import REPO, make_signing_ca, run, verify


def main():
    if len(sys.argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    src_bin, work, tmp = (os.path.abspath(a) for a in sys.argv[1:])
    shutil.rmtree(tmp, ignore_errors=True)
    ca = make_signing_ca(os.path.join(tmp, "ca"), "e2e")
    signed_bin = os.path.join(tmp, "bin")
    shutil.copytree(src_bin, signed_bin)
    exe = os.path.join(signed_bin, "pavonix.exe")
    os.unlink(exe)
    with open(ca["pass"], "rb") as pw:
        r = subprocess.run(["osslsigncode", "sign", "-h", "sha256", "-n", "Pavonix",
                            "-certs", ca["cert"], "-key", ca["key"], "-readpass", "/dev/stdin",
                            "-in", os.path.join(src_bin, "pavonix.exe"), "-out", exe],
                           stdin=pw, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if r.returncode != 0:
        print(r.stdout)
        print("FAILED: osslsigncode sign")
        return 1
    v = verify(exe, ca["ca"])
    if v.returncode != 0:
        print(v.stdout)
        print("FAILED: the signed program does not verify")
        return 1
    print("signed and verified: %s" % exe)
    e2e = run([sys.executable, os.path.join(REPO, "tests", "e2e", "e2e.py"), "--bin", signed_bin,
               "--work", work, "healthy"], stdout=None, stderr=None)
    if e2e.returncode != 0:
        print("FAILED: the healthy run of the signed program (exit %d)" % e2e.returncode)
        return 1
    shutil.rmtree(tmp, ignore_errors=True)
    print("ok: the signed program passed the healthy run")
    return 0


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main())
