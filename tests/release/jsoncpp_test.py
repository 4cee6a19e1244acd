#!/usr/bin/env python3
"""The mingw jsoncpp that scripts/setup built must come out the same when
built again in another folder at another time.

    jsoncpp_test.py INSTALLED_LIBJSONCPP_A WORK
"""

import hashlib
import os
import shutil
import subprocess
import sys

from releaselib import REPO, run

TRIPLET = "i686-w64-mingw32"


def members(lib, folder):
    """SHA-256 of each member of the archive lib, extracted into folder."""
    os.makedirs(folder, exist_ok=True)
    subprocess.run([TRIPLET + "-ar", "x", os.path.abspath(lib)], cwd=folder, check=True)
    out = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            out[name] = hashlib.sha256(f.read()).hexdigest()
    return out


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    installed, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if not os.path.isfile(installed):
        print("FAILED: no %s (run scripts/setup)" % installed)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    prefix = os.path.join(work, "another", "prefix")
    r = run(["bash", os.path.join(REPO, "scripts", "setup"), "--build-jsoncpp", TRIPLET, prefix])
    print(r.stdout)
    if r.returncode != 0:
        print("FAILED: scripts/setup --build-jsoncpp")
        return 1
    rebuilt = os.path.join(prefix, "lib", "libjsoncpp.a")
    with open(installed, "rb") as a, open(rebuilt, "rb") as b:
        same = a.read() == b.read()
    if not same:
        ma = members(installed, os.path.join(work, "x-installed"))
        mb = members(rebuilt, os.path.join(work, "x-rebuilt"))
        print("FAILED: %s and %s differ" % (installed, rebuilt))
        for name in sorted(set(ma) | set(mb)):
            if ma.get(name) != mb.get(name):
                print("  member %s: %s | %s" % (name, ma.get(name), mb.get(name)))
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print("ok: libjsoncpp.a rebuilt in another folder is identical")
    return 0


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main())
