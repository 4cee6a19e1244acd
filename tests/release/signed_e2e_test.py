#!/usr/bin/env python3
"""The signed release program still runs: scripts/release signs the program
that repro_test.py built in WORK/a with a throw-away certificate, and the
signed pavonix.exe, beside the end-to-end suite's probe and test installer,
passes the healthy install run under Wine.

    signed_e2e_test.py WORK E2E_BIN E2E_WORK
"""

import os
import shutil
import sys

from releaselib import HOST, REPO, make_signing_ca, release, run, verify


def main():
    if len(sys.argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    work, e2e_bin, e2e_work = (os.path.abspath(a) for a in sys.argv[1:])
    src = os.path.join(work, "a", "src")
    tmp = os.path.join(work, "signed-run")
    shutil.rmtree(tmp, ignore_errors=True)
    ca = make_signing_ca(os.path.join(tmp, "ca"), "signed run")
    dist = os.path.join(tmp, "dist")
    r = release(src, "--update-host", HOST, "--out", dist, "--sign-cert", ca["cert"], "--sign-key",
                ca["key"], "--sign-pass-file", ca["pass"], "--verify-ca", ca["ca"])
    print(r.stdout)
    if r.returncode != 0:
        print("FAILED: scripts/release with signing")
        return 1
    exe = os.path.join(dist, "pavonix.exe")
    v = verify(exe, ca["ca"])
    if v.returncode != 0:
        print(v.stdout)
        print("FAILED: the signed program does not verify")
        return 1
    bin_dir = os.path.join(tmp, "bin")
    os.makedirs(bin_dir)
    shutil.copy2(exe, bin_dir)
    for name in ("pavonix_testinstaller.exe", "pavonix_e2e_probe.exe"):
        shutil.copy2(os.path.join(e2e_bin, name), bin_dir)
    e2e = run([sys.executable, os.path.join(REPO, "tests", "e2e", "e2e.py"), "--bin", bin_dir,
               "--work", e2e_work, "healthy"], stdout=None, stderr=None, env=os.environ.copy())
    if e2e.returncode != 0:
        print("FAILED: the healthy run of the signed release program (exit %d)" % e2e.returncode)
        return 1
    shutil.rmtree(tmp, ignore_errors=True)
    print("ok: the signed release program passed the healthy run")
    return 0


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main())
