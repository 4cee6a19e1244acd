#!/usr/bin/env python3
"""The signed release program still runs: scripts/release builds the tree
that repro_test.py left in WORK/a with a throw-away update key (the release
refuses the repository's test keys) and signs it with a throw-away
certificate; that pavonix.exe, in a copy of the end-to-end suite's folder as
its program with the key, passes the healthy install run with update replies
signed with that key ("signed-healthy") under Wine.

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
    stem = os.path.join(tmp, "update-key")
    run([sys.executable, os.path.join(REPO, "tools", "services", "pavonix_services.py"), "keygen", stem])
    r = release(src, "--update-host", HOST, "--update-pubkey", stem + ".pub", "--update-key-version", "1",
                "--no-catalogue", "--out", dist, "--sign-cert",
                ca["cert"], "--sign-key", ca["key"], "--sign-pass-file", ca["pass"], "--verify-ca",
                ca["ca"])
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
    shutil.copytree(e2e_bin, bin_dir)
    os.makedirs(os.path.join(bin_dir, "signed"), exist_ok=True)
    shutil.copy2(exe, os.path.join(bin_dir, "signed", "pavonix.exe"))
    e2e = run([sys.executable, os.path.join(REPO, "tests", "e2e", "e2e.py"), "--bin", bin_dir,
               "--work", e2e_work, "signed-healthy"], stdout=None, stderr=None,
              env=dict(os.environ, PAVONIX_E2E_SIGNING_KEY=stem + ".pem"))
    if e2e.returncode != 0:
        print("FAILED: the healthy run of the signed release program (exit %d)" % e2e.returncode)
        return 1
    shutil.rmtree(tmp, ignore_errors=True)
    print("ok: the signed release program passed the healthy run")
    return 0


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main())
