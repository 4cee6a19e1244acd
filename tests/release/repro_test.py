#!/usr/bin/env python3
"""Two release builds of the same tree in two folders, one after the other
(so at different times, also with another time zone, locale and umask), must
give the same unsigned program byte for byte and the same BUILDINFO. On a
difference it prints which PE parts differ. It also checks the first build:
PE32 i386, the commit's time as PE time stamp, no folder names inside, no
test hooks in the product libraries, deterministic archives.

    repro_test.py WORK     clones into WORK/a and WORK/bb-second; WORK/a stays
                           for the signing tests
"""

import hashlib
import os
import re
import subprocess
import sys
import time

import pe_sections
from releaselib import HOST, REPO, clone_working_tree, git, release, run

TRIPLET = "i686-w64-mingw32"
# Seams the tests use; none may reach the release build's libraries.
HOOKS = {"config/libpavonix_config.a": "ResetSysConfigForTests",
         "ui/libpavonix_ui.a": "g_pfnStartInstallThread"}


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    work = os.path.abspath(sys.argv[1])
    trees = [os.path.join(work, "a", "src"), os.path.join(work, "bb-second", "checkout", "src")]
    envs = [dict(os.environ, TZ="UTC", LC_ALL="C"),
            dict(os.environ, TZ="Asia/Shanghai", LC_ALL="zh_CN.UTF-8")]
    for e in envs:
        e.pop("SOURCE_DATE_EPOCH", None)
    failures = []
    times = []
    for i, (tree, env) in enumerate(zip(trees, envs)):
        clone_working_tree(REPO, tree)
        old = os.umask(0o022 if i == 0 else 0o077)
        t0 = time.monotonic()
        try:
            r = release(tree, "--update-host", HOST, "--unsigned-updates", env=env)
        finally:
            os.umask(old)
        times.append(time.monotonic() - t0)
        if r.returncode != 0:
            print(r.stdout)
            print("FAILED: scripts/release in %s exited %d" % (tree, r.returncode))
            return 1
        print("build %d: %s, %.0f s" % (i + 1, tree, times[-1]))

    dists = [os.path.join(t, "dist") for t in trees]
    exes = [os.path.join(d, "pavonix-unsigned.exe") for d in dists]
    sums = [sha256(e) for e in exes]
    print("SHA-256 %s  %s\nSHA-256 %s  %s" % (sums[0], exes[0], sums[1], exes[1]))
    if sums[0] != sums[1]:
        with open(exes[0], "rb") as fa, open(exes[1], "rb") as fb:
            lines = pe_sections.describe(fa.read(), fb.read())
        failures.append("the unsigned programs differ; PE parts that differ:\n" +
                        "\n".join(lines or ["  (none: the difference is outside the PE parts)"]))
    infos = []
    for d in dists:
        with open(os.path.join(d, "BUILDINFO")) as f:
            infos.append(f.read())
    if infos[0] != infos[1]:
        failures.append("BUILDINFO differs:\n" + infos[0] + "---\n" + infos[1])

    # The first build, in detail.
    with open(exes[0], "rb") as f:
        data = f.read()
    pe = pe_sections.parse(data)
    if pe["machine"] != 0x14C:
        failures.append("not an i386 program (machine 0x%x)" % pe["machine"])
    commit_time = int(git(trees[0], "log", "-1", "--format=%ct", "HEAD"))
    if pe["stamp"] != commit_time:
        failures.append("PE time stamp %d is not the commit time %d" % (pe["stamp"], commit_time))
    for needle in [work] + trees + [os.path.join(t, "build") for t in trees]:
        if needle.encode() in data:
            failures.append("the program names the folder %s" % needle)
    for line in infos[0].splitlines():
        if line.startswith("source commit: ") and line != "source commit: " + git(
                REPO, "rev-parse", "HEAD").strip():
            failures.append("BUILDINFO names another commit: " + line)
    build = os.path.join(trees[0], "build", "release")
    for lib, symbol in HOOKS.items():
        path = os.path.join(build, lib)
        nm = run([TRIPLET + "-nm", path])
        if nm.returncode != 0:
            failures.append("nm %s failed: %s" % (path, nm.stdout))
        elif symbol in nm.stdout:
            failures.append("test hook %s is in the release library %s" % (symbol, lib))
        ar = run([TRIPLET + "-ar", "tv", path], env=dict(os.environ, TZ="UTC", LC_ALL="C"))
        for member in ar.stdout.splitlines():
            if not re.match(r"^rw-r--r-- 0/0 +\d+ Jan  1 00:00 1970 ", member):
                failures.append("archive member not deterministic: %s: %s" % (lib, member))
    if not os.path.exists(os.path.join(build, "ui", "CMakeFiles", "pavonix.dir")):
        failures.append("no pavonix target in %s" % build)
    for exe in os.listdir(os.path.join(build, "ui")):
        if exe.endswith(".exe") and exe != "pavonix.exe":
            failures.append("the release build made another program: " + exe)

    print("release build times: %.0f s and %.0f s" % tuple(times))
    print("program size: %d bytes" % len(data))
    for f in failures:
        print("FAILED: " + f)
    if not failures:
        print("ok: the two builds are identical (%s)" % sums[0])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main())
