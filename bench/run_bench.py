#!/usr/bin/env python3
"""Runs the benchmarks under Wine and prints one table (scripts/bench).

    run_bench.py --build DIR [--work DIR] [--runs N] [--quick | --check] [--only NAME ...]

DIR is a win64 build with the benchmark programs, pavonix.exe and the test
installer. Everything runs in a Wine prefix of its own (WORK/wine-prefix)
with its own wineserver and Xvfb display, all ended at the end.

  download  the program's DownloadFile with its progress path, the same
            without a progress callback (to tell where the time goes), a bare
            10240-byte InternetReadFile loop, and native curl, on files of
            1 MiB and 256 MiB served by the bundled package server on a free
            loopback port; every downloaded file's size and SHA-256 checked;
            the program's peak working set per size; then the progress
            message alone: N SendMessageA round trips from a worker thread to
            a window of the pumping main thread, to a no-op window, the
            visible page (ShowDownloadPercent's repaint) with the same
            percent each time and with the percent changing each time, and
            the hidden page, and the download time they predict
  install   whole InstallWorkerProc runs against the bundled services (local
            service on 127.0.0.1:28000 over HTTPS, test CA trusted), one 1 MiB
            package that is the test installer; a run counts only when it
            ended with WM_INSTALL_DONE and the installer recorded its run.
            Each such run fetches: the prefix's package cache is emptied
            before it, and the package server must send the package once.
            Each is followed by a run served from the cache it left (no
            package request), timed in a row of its own. With --check two
            of each
  startup   pavonix.exe from CreateProcess to its visible main page, after
            one warm-up start

Each figure is the median of N runs (default 5). Exit status 0 when every
benchmark ran (goals missed or not), 1 when one could not run, 2 for usage.
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchlib  # noqa: E402
from benchlib import MIB, BenchError  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "support"))
from portlock import port_free  # noqa: E402
import cut_proxy  # noqa: E402
import threading  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVICES = os.path.join(REPO, "tools", "services", "pavonix_services.py")
TESTCA = os.path.join(REPO, "tests", "support", "testca.sh")
# PAVONIX_WINE_DIR=scripts/lib/wow64 runs the 32-bit build in the WoW64 root.
WINE_DIR = os.environ.get("PAVONIX_WINE_DIR") or "/usr/lib/wine"
WINE = os.path.join(WINE_DIR, "wine64")
WINESERVER = os.path.join(WINE_DIR, "wineserver64")

PORT_LOCK = "/tmp/pavonix-loopback-ports.lock"
PORT_LOCK_WAIT = 600        # seconds
LOCAL_PORT = 28000          # the local service address the worker asks
PAUSE_MS = 3000             # the worker's fixed pause before the vendor product (app/worker.cpp)
INSTALL_PACKAGE = "harbolt_setup.exe"
INSTALL_PACKAGE_SIZE = MIB
VENDOR = "ZYN-HARBOLT"      # the vendor product code of the configuration
SKFP_KEY = r"HKLM\Software\skfpkprj\skfpkprj"

GOAL_RATIO = 0.9
GOAL_MEMORY_DIFF = 2 * MIB
GOAL_INSTALL_MS = 500
GOAL_STARTUP_MS = 500
INSTALL_ROW = "install run minus pause ms"
INSTALL_CACHED_ROW = "install run from the package cache minus pause ms"

# Messages per round-trip run (a quarter with --quick, a fortieth with --check); fewer of the slow
# moving percent, to keep within the time budget.
ROUNDTRIP_MESSAGES = {"noop": 20000, "page": 20000, "moving": 5000, "hidden": 20000}
RUN_TIMEOUT = 180           # one Wine program, seconds
TOTAL_BUDGET = 900          # all benchmarks, seconds, the wait for the port lock not counted
# The program's package cache in the prefix: the common application data
# folder (CSIDL_COMMON_APPDATA, C:\ProgramData under Wine) + Pavonix\PackageCache.
CACHE = r"C:\ProgramData\Pavonix\PackageCache"
INSTALL_CHECK_RUNS = 2      # --check: the second run is the one a cache left by the first could break


def log(msg):
    print("bench: " + msg, file=sys.stderr, flush=True)


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def host_path(prefix, win):
    """Host path of a C:\\ path of the prefix, components matched without case."""
    if len(win) < 3 or win[1] != ":":
        raise BenchError("not a drive path: %r" % win)
    if win[0].upper() == "Z":
        return "/" + "/".join(p for p in win[3:].split("\\") if p)
    cur = os.path.join(prefix, "drive_" + win[0].lower())
    for part in [p for p in win[3:].split("\\") if p]:
        match = None
        if os.path.isdir(cur):
            for name in os.listdir(cur):
                if name.lower() == part.lower():
                    match = name
                    break
        cur = os.path.join(cur, match or part)
    return cur


def empty_package_cache(prefix):
    """Removes the program's package cache from the prefix (the program makes
    it again), so that the next download fetches. Returns its host path."""
    path = host_path(prefix, CACHE)
    shutil.rmtree(path, ignore_errors=True)
    if os.path.lexists(path):
        raise BenchError("the package cache %s could not be emptied" % path)
    return path


def wait_for(pred, timeout, what, step=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise BenchError("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(step)


def read_jsonl(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


# -- Wine: a prefix, a wineserver and a display of our own ----------------------

class Wine:
    def __init__(self, work):
        self.work = work
        self.prefix = os.path.join(work, "wine-prefix")
        self.out = os.path.join(work, "out")
        self.display = None
        self.xvfb = None
        self.server = None
        os.makedirs(self.out, exist_ok=True)

    def env(self, extra=None):
        e = dict(os.environ)
        for k in ("PAVONIX_INSTALLER_SLEEP_MS", "PAVONIX_INSTALLER_EXIT", "PAVONIX_INSTALLER_RECORD"):
            e.pop(k, None)
        e.update({"WINEPREFIX": self.prefix, "WINEARCH": "win64", "WINEDEBUG": "-all",
                  "WINEDLLOVERRIDES": "mscoree=;mshtml=;winemenubuilder.exe=d",
                  "WINESERVER": WINESERVER, "LANG": "zh_CN.UTF-8", "LC_ALL": "zh_CN.UTF-8",
                  "DISPLAY": self.display or ""})
        e.update(extra or {})
        return e

    def start(self):
        if not os.path.exists(WINE):
            raise BenchError("%s missing; run scripts/setup" % WINE)
        os.makedirs(self.prefix, exist_ok=True)
        self._stop_server()     # a server left by an interrupted run of ours
        for n in range(150, 250):
            if os.path.exists("/tmp/.X11-unix/X%d" % n) or os.path.exists("/tmp/.X%d-lock" % n):
                continue
            proc = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, start_new_session=True)
            deadline = time.monotonic() + 10
            while proc.poll() is None and not os.path.exists("/tmp/.X11-unix/X%d" % n):
                if time.monotonic() > deadline:
                    break
                time.sleep(0.05)
            if proc.poll() is None and os.path.exists("/tmp/.X11-unix/X%d" % n):
                self.xvfb = proc
                self.display = ":%d" % n
                break
            self._end(proc)     # lost the number to another server
        if self.xvfb is None:
            raise BenchError("no Xvfb display could be started")
        self.server = subprocess.Popen([WINESERVER, "-f", "-p600"], env=self.env(), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       start_new_session=True)
        time.sleep(0.2)
        if self.server.poll() is not None:
            raise BenchError("wineserver for %s ended at start (%s)" % (self.prefix, self.server.returncode))
        ready = os.path.join(self.prefix, ".pavonix-bench-ready")
        if not os.path.exists(ready):
            log("preparing the Wine prefix %s (once, about a minute)" % self.prefix)
            self.command(["wineboot", "-i"], timeout=600)
            # Unmanaged windows: without a window manager Wine would wait 2 s
            # for one at every window it hides or destroys.
            self.command(["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/t", "REG_SZ",
                          "/d", "N", "/f"])
            with open(ready, "w") as f:
                f.write("1\n")
        else:
            self.command(["wineboot"], timeout=120)   # Wine's helper processes, started now

    def command(self, args, timeout=120, check=True):
        r = subprocess.run([WINE] + args, env=self.env(), timeout=timeout, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if check and r.returncode != 0:
            raise BenchError("wine %s failed (%d)" % (" ".join(args), r.returncode))
        return r.returncode

    def run(self, exe, args, timeout=RUN_TIMEOUT, extra=None):
        """Runs a Windows program; returns (exit code, stdout, stderr). The
        output goes through files: Wine's helper processes may inherit the
        handles and outlive the program."""
        out_path = os.path.join(self.out, "stdout.txt")
        err_path = os.path.join(self.out, "stderr.txt")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            try:
                rc = subprocess.run([WINE, exe] + list(args), env=self.env(extra), timeout=timeout,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err).returncode
            except subprocess.TimeoutExpired:
                raise BenchError("%s did not end within %d s" % (os.path.basename(exe), timeout))
        with open(out_path, encoding="utf-8", errors="replace") as f:
            stdout = f.read()
        with open(err_path, encoding="utf-8", errors="replace") as f:
            stderr = f.read()
        return rc, stdout, stderr

    def _stop_server(self):
        subprocess.run([WINESERVER, "-k"], env=self.env(), timeout=60, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=self.env(), timeout=60, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @staticmethod
    def _end(proc):
        if proc is not None and proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=10)

    def stop(self):
        # The prefix is ours alone: its server ends every process left in it.
        try:
            self._stop_server()
        except (OSError, subprocess.TimeoutExpired):
            pass
        self._end(self.server)
        self._end(self.xvfb)


# -- the bundled services --------------------------------------------------------

class Services:
    """`pavonix_services.py serve` with a configuration, until stop()."""

    def __init__(self, folder, config):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.config_path = os.path.join(folder, "serve.json")
        with open(self.config_path, "w") as f:
            json.dump(config, f)
        self.ready = os.path.join(folder, "ready.json")
        self.proc = None

    def start(self, lifetime):
        if os.path.exists(self.ready):
            os.remove(self.ready)
        with open(os.path.join(self.folder, "serve.log"), "w") as out:
            self.proc = subprocess.Popen([sys.executable, SERVICES, "serve", "--config", self.config_path,
                                          "--ready-file", self.ready, "--max-seconds", str(lifetime)],
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                         start_new_session=True)

        def up():
            if self.proc.poll() is not None:
                raise BenchError("the services ended at start: see %s/serve.log" % self.folder)
            return os.path.exists(self.ready)

        wait_for(up, 30, "the services to listen")
        with open(self.ready) as f:
            return json.load(f)

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=15)


# -- the benchmarks ----------------------------------------------------------------

class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.work = os.path.abspath(args.work)
        self.runs = args.runs
        # The install rows run at least twice when checked: from the second
        # run on a cache left by the one before is there to be dealt with.
        self.install_runs = max(self.runs, INSTALL_CHECK_RUNS) if getattr(args, "check", False) else self.runs
        self.wine = Wine(self.work)
        self.deadline = time.monotonic() + TOTAL_BUDGET
        self.exe = {name: os.path.join(self.build, "bench", name + ".exe")
                    for name in ("pavonix_bench_download", "pavonix_bench_install", "pavonix_bench_startup")}
        self.exe["pavonix"] = os.path.join(self.build, "ui", "pavonix.exe")
        self.exe["installer"] = os.path.join(self.build, "tools", "pavonix_testinstaller.exe")

    def check_time(self):
        if time.monotonic() > self.deadline:
            raise BenchError("out of time (%d s for all benchmarks)" % TOTAL_BUDGET)

    def check_programs(self, names):
        for name in names:
            if not os.path.isfile(self.exe[name]):
                raise BenchError("%s is not built" % self.exe[name])

    # Download ----------------------------------------------------------------

    def download(self, sizes, messages=None):
        """Medians per size, and of the round trips when `messages` (the
        count per variant) is given."""
        self.check_programs(["pavonix_bench_download"])
        files = os.path.join(self.work, "files")
        dl = os.path.join(self.work, "downloads")
        os.makedirs(files, exist_ok=True)
        os.makedirs(dl, exist_ok=True)
        digests = {}
        for size in sizes:
            name = "bench_%d.bin" % size
            digests[size] = (name, benchlib.random_file(os.path.join(files, name), size))
        services = Services(os.path.join(self.work, "download-services"),
                            {"host": "127.0.0.1", "package_server": {"port": 0, "folder": files}})
        report = services.start(lifetime=TOTAL_BUDGET + 120)
        base = report["package-server"]["url"]
        rates = {size: {"program": [], "quiet": [], "bare": [], "curl": []} for size in sizes}
        times = {size: {"program": [], "bare": []} for size in sizes}
        peaks = {size: [] for size in sizes}
        us = {v: [] for v in benchlib.ROUNDTRIP_VARIANTS}
        try:
            # Interleaved, so that the machine's moods fall on all of them alike:
            # each run downloads every size in every mode, then times the
            # progress message alone.
            for i in range(self.runs):
                for size in sizes:
                    self.one_download_run(i, size, digests[size], base, dl, rates[size], times[size], peaks[size])
                if messages:
                    for variant in benchlib.ROUNDTRIP_VARIANTS:
                        self.check_time()
                        us[variant].append(self.one_roundtrip(variant, messages[variant]))
                    each = ", ".join("%s %.1f (%d)" % (v, us[v][-1], messages[v]) for v in benchlib.ROUNDTRIP_VARIANTS)
                    log("round trip run %d: %s µs per message" % (i + 1, each))
        finally:
            services.stop()
        results = {size: ({m: benchlib.median(v) for m, v in rates[size].items()}, benchlib.median(peaks[size]),
                          {m: benchlib.median(v) for m, v in times[size].items()}) for size in sizes}
        return results, ({v: benchlib.median(t) for v, t in us.items()} if messages else None)

    def one_download_run(self, i, size, named, base, dl, rates, times, peaks):
        name, digest = named
        url = "%s/%s" % (base, name)
        target = os.path.join(dl, name)
        for mode in ("program", "quiet", "bare", "curl"):
            self.check_time()
            if os.path.exists(target):
                os.remove(target)
            nbytes, ms, peak, messages = self.one_download(mode, url, dl, target)
            benchlib.verify_file(target, size, digest)
            if nbytes != size:
                raise BenchError("%s download reported %d bytes, want %d" % (mode, nbytes, size))
            if mode == "program" and messages != benchlib.blocks(size):
                # The expected time of the table counts one message per block.
                raise BenchError("program download: %d progress messages for %d blocks"
                                 % (messages, benchlib.blocks(size)))
            rates[mode].append(benchlib.mib_per_s(size, ms))
            if mode in times:
                times[mode].append(ms)
            if mode == "program":
                peaks.append(peak)
        os.remove(target)
        log("download %s run %d: program %.1f, without progress %.1f, bare %.1f, curl %.1f MiB/s, "
            "peak %.1f MiB" % (benchlib.size_label(size), i + 1, rates["program"][-1],
                               rates["quiet"][-1], rates["bare"][-1], rates["curl"][-1], peaks[-1] / MIB))

    def one_download(self, mode, url, folder, target):
        """(bytes, ms, peak working set, progress messages) of one download."""
        if mode == "curl":
            r = subprocess.run(["curl", "-sS", "--noproxy", "*", "--max-time", "120", "-o", target,
                                "-w", "%{http_code} %{size_download} %{time_total}", url],
                               stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=150)
            parts = r.stdout.split()
            if r.returncode != 0 or len(parts) != 3 or parts[0] != "200":
                raise BenchError("curl failed (%d): %s %s" % (r.returncode, r.stdout, r.stderr.strip()))
            return int(float(parts[1])), float(parts[2]) * 1000.0, 0, 0
        where = winpath(target) if mode == "bare" else winpath(folder) + "\\"
        rc, out, err = self.wine.run(self.exe["pavonix_bench_download"], [mode, url, where])
        if rc != 0:
            raise BenchError("%s download exited %d: %s" % (mode, rc, (err or out).strip()[-300:]))
        f = benchlib.parse_record(out, "download", 8)
        if f[0] != mode or f[1] != "0":
            raise BenchError("%s download returned %s" % (mode, f[1]))
        if mode == "program":
            # The progress path really ran: messages sent, the text repainted, 100% shown.
            if int(f[5]) < 1 or int(f[6]) < 1 or f[7] != "100%":
                raise BenchError("program download: %s progress messages, %s paints, text %r" % (f[5], f[6], f[7]))
        return int(f[2]), float(f[3]), int(f[4]), int(f[5])

    # Resume and cache ------------------------------------------------------------

    def resume(self, size, cut):
        """Medians of the four promises of resumable, cached downloads:
        (a) on a link cut every `cut` bytes the unhashed download fails and the
        hashed one succeeds, with the server's bytes over the package's;
        (b) after a run that stopped at 90 %, the bytes the next one fetches
        over the package's; (c) the package bytes a fully cached run fetches;
        (d) on a good link, the hashed and cached download's time over the
        plain one's."""
        self.check_programs(["pavonix_bench_download"])
        files = os.path.join(self.work, "resume-files")
        dl = os.path.join(self.work, "resume-downloads")
        os.makedirs(files, exist_ok=True)
        os.makedirs(dl, exist_ok=True)
        name = "resume_%d.bin" % size
        digest = benchlib.random_file(os.path.join(files, name), size)
        log_path = os.path.join(self.work, "resume-services", "packages.jsonl")
        services = Services(os.path.join(self.work, "resume-services"),
                            {"host": "127.0.0.1", "package_server": {"port": 0, "folder": files,
                                                                     "log": log_path}})
        base = services.start(lifetime=TOTAL_BUDGET + 120)["package-server"]["url"]
        port = int(base.rsplit(":", 1)[1])
        target = os.path.join(dl, name)
        out = {"plain_cut": [], "sent": [], "rest": [], "cached": [], "ratio": []}

        def served():
            return sum(e.get("bytes", 0) for e in read_jsonl(log_path) if e.get("file") == name)

        def fetch(mode, url):
            self.check_time()
            if os.path.exists(target):
                os.remove(target)
            args = [mode, url, winpath(dl) + "\\"] + ([digest] if mode == "hashed" else [])
            rc, text, err = self.wine.run(self.exe["pavonix_bench_download"], args)
            if rc != 0:
                raise BenchError("%s download exited %d: %s" % (mode, rc, (err or text).strip()[-300:]))
            f = benchlib.parse_record(text, "download", 8)
            return int(f[1]), float(f[3])

        def clear_cache():
            empty_package_cache(self.wine.prefix)

        try:
            cut_url = "%s/fault/cutevery=%d/%s" % (base, cut, name)
            for i in range(self.runs):
                # (a) the cut link, without and with the digest
                clear_cache()
                rc, _ = fetch("quiet", cut_url)
                out["plain_cut"].append(rc)
                clear_cache()
                before = served()
                rc, _ = fetch("hashed", cut_url)
                if rc != 0:
                    raise BenchError("the hashed download on the cut link returned %d" % rc)
                benchlib.verify_file(target, size, digest)
                out["sent"].append((served() - before) / size)
                # (b) a run stopped at 90 %: one connection carries 90 %, the
                # link is then gone; the next run on a good link fetches the rest
                clear_cache()
                proxy = cut_proxy.CutProxy(port, size * 9 // 10, max_connections=1)
                thread = threading.Thread(target=proxy.serve, args=(time.monotonic() + 120,), daemon=True)
                thread.start()
                try:
                    rc, _ = fetch("hashed", "http://127.0.0.1:%d/%s" % (proxy.port, name))
                finally:
                    proxy.stopped.set()
                    thread.join(10)
                if rc == 0:
                    raise BenchError("the download through the link that went away succeeded")
                before = served()
                rc, _ = fetch("hashed", "%s/%s" % (base, name))
                if rc != 0:
                    raise BenchError("the rerun returned %d" % rc)
                benchlib.verify_file(target, size, digest)
                out["rest"].append((served() - before) / size)
                # (c) everything cached
                before = served()
                rc, _ = fetch("hashed", "%s/%s" % (base, name))
                if rc != 0:
                    raise BenchError("the cached run returned %d" % rc)
                benchlib.verify_file(target, size, digest)
                out["cached"].append(served() - before)
                # (d) a good link: plain against hashed and cached (fetched anew)
                rc, plain_ms = fetch("quiet", "%s/%s" % (base, name))
                whole = rc == 0 and benchlib.sha256_file(target) == digest
                clear_cache()
                rc, hashed_ms = fetch("hashed", "%s/%s" % (base, name))
                if rc != 0:
                    raise BenchError("the hashed download on a good link returned %d" % rc)
                if not whole or benchlib.sha256_file(target) != digest:
                    raise BenchError("a download on a good link did not leave the package in the run folder")
                out["ratio"].append(hashed_ms / plain_ms)
                log("resume run %d: unhashed on the cut link %d, sent %.3f x, rerun %.3f x, cached %d bytes, "
                    "hashed / plain time %.2f (%.0f / %.0f ms)"
                    % (i + 1, out["plain_cut"][-1], out["sent"][-1], out["rest"][-1], out["cached"][-1],
                       out["ratio"][-1], hashed_ms, plain_ms))
        finally:
            services.stop()
            clear_cache()
        return {k: (v if k == "plain_cut" else benchlib.median(v)) for k, v in out.items()}

    # The progress message alone ---------------------------------------------------

    def one_roundtrip(self, variant, messages):
        rc, out, err = self.wine.run(self.exe["pavonix_bench_download"], ["roundtrip", variant, str(messages)])
        if rc != 0:
            raise BenchError("roundtrip %s exited %d: %s" % (variant, rc, (err or out).strip()[-300:]))
        return benchlib.roundtrip_us(benchlib.parse_record(out, "roundtrip", 7), variant, messages)

    # Install -------------------------------------------------------------------

    def install(self, cached=True):
        """Medians of whole install runs minus the worker's pause:
        {"fetched": ms, "cached": ms or None}. Every fetched run starts with
        the prefix's package cache emptied, so that its package comes from
        the package server; with `cached` each one is followed by a run
        served from the cache entry it left (no package request)."""
        self.check_programs(["pavonix_bench_install", "installer"])
        folder = os.path.join(self.work, "install")
        packages = os.path.join(folder, "packages")
        logs = os.path.join(folder, "logs")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(packages)
        os.makedirs(logs)
        package = os.path.join(packages, INSTALL_PACKAGE)
        shutil.copyfile(self.exe["installer"], package)
        have = os.path.getsize(package)
        if have > INSTALL_PACKAGE_SIZE:
            raise BenchError("the test installer has %d bytes, more than the 1 MiB package" % have)
        with open(package, "ab") as f:   # data after the image: the program still runs
            f.write(b"\0" * (INSTALL_PACKAGE_SIZE - have))
        digest = benchlib.sha256_file(package)
        ca = os.path.join(self.work, "ca")
        subprocess.run(["bash", TESTCA, "trust", ca, self.wine.prefix], env=self.wine.env(), check=True,
                       timeout=300, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        # An invoicing PC to the worker's probes (the 32-bit registry view).
        self.wine.command(["reg", "add", SKFP_KEY, "/v", "installdir", "/t", "REG_SZ", "/d", r"C:\skfpkprj",
                           "/f", "/reg:32"])
        catalogue = {"products": {VENDOR: {"*": [{"address": "{packages}/" + INSTALL_PACKAGE,
                                                  "version": "V1.0-20200902", "soft": VENDOR,
                                                  "excuteExe": True}]}}}
        with open(os.path.join(folder, "catalogue.json"), "w") as f:
            json.dump(catalogue, f)
        config = {"host": "127.0.0.1",
                  "update_service": {"port": 0, "catalogue": "catalogue.json", "log": "logs/update.jsonl"},
                  "package_server": {"port": 0, "folder": "packages", "log": "logs/packages.jsonl"},
                  "local_service": {"port": LOCAL_PORT, "cert": os.path.join(ca, "server.pem"),
                                    "key": os.path.join(ca, "server.key"), "mode": "ok",
                                    "log": "logs/local.jsonl"}}
        services = Services(folder, config)
        record = os.path.join(folder, "installer-record.txt")
        times = {"fetched": [], "cached": []}
        log("waiting for the loopback port lock %s" % PORT_LOCK)
        t0 = time.monotonic()
        lock = benchlib.acquire_lock(PORT_LOCK, PORT_LOCK_WAIT)
        waited = time.monotonic() - t0
        self.deadline += waited     # waiting for others is not our time
        if waited >= 1:
            log("had the port lock after %.0f s" % waited)
        try:
            wait_for(lambda: port_free(LOCAL_PORT), 120, "127.0.0.1:%d to come free" % LOCAL_PORT, step=0.5)
            report = services.start(lifetime=TOTAL_BUDGET + 120)
            url = report["update-service"]["url"]
            for i in range(self.install_runs):
                for kind in ("fetched", "cached") if cached else ("fetched",):
                    self.check_time()
                    what = "install run %d%s" % (i + 1, " from the cache" if kind == "cached" else "")
                    if kind == "fetched":
                        cache = empty_package_cache(self.wine.prefix)
                    ms = self.one_install(url, folder, record, what, kind == "fetched")
                    try:
                        # What the next run from the cache takes, and the proof
                        # that this one went through the cache.
                        benchlib.check_cache_entry(cache, digest, INSTALL_PACKAGE_SIZE)
                    except BenchError as exc:
                        raise BenchError("%s: %s" % (what, exc))
                    times[kind].append(ms - PAUSE_MS)
                    log("%s: %.0f ms, %.0f ms without the pause" % (what, ms, ms - PAUSE_MS))
        finally:
            services.stop()
            os.close(lock)
        return {"fetched": benchlib.median(times["fetched"]),
                "cached": benchlib.median(times["cached"]) if cached else None}

    def one_install(self, url, folder, record, what, fetched):
        """The worker's time of one whole install run, in ms. `fetched`: the
        package must come from the package server, else from the cache."""
        if os.path.exists(record):
            os.remove(record)
        logs = os.path.join(folder, "logs")
        before = {name: len(read_jsonl(os.path.join(logs, name))) for name in
                  ("local.jsonl", "update.jsonl", "packages.jsonl")}
        # The installers get the machine's environment: their settings lie
        # beside the program that starts them.
        with open(os.path.join(os.path.dirname(self.exe["pavonix_bench_install"]),
                               "pavonix-installer-settings.txt"), "w", newline="") as fh:
            fh.write("PAVONIX_INSTALLER_RECORD=%s\r\n" % winpath(record))
        rc, out, err = self.wine.run(self.exe["pavonix_bench_install"], ["--update-url", url],
                                     extra={"PAVONIX_INSTALLER_RECORD": winpath(record)})
        if rc != 0:
            raise BenchError("%s exited %d: %s" % (what, rc, (err or out).strip()[-300:]))
        f = benchlib.parse_record(out, "install", 9)
        try:
            ms = benchlib.check_install_record(f)
        except BenchError as exc:
            raise BenchError("%s: %s" % (what, exc))
        new = {name: read_jsonl(os.path.join(logs, name))[n:] for name, n in before.items()}
        asks = [e for e in new["local.jsonl"] if e.get("path") == "/api/getVersion" and e.get("status") == 200]
        if len(asks) != 1:
            raise BenchError("%s: the local service answered %d times" % (what, len(asks)))
        try:
            benchlib.check_package_transfers(new["packages.jsonl"], INSTALL_PACKAGE_SIZE, fetched)
        except BenchError as exc:
            raise BenchError("%s: %s" % (what, exc))
        text = ""
        if os.path.exists(record):
            with open(record, encoding="latin-1") as fh:
                text = fh.read()
        try:
            # Where the program put the package and ran it from: its run folder.
            ran = benchlib.check_installer_runs(text, INSTALL_PACKAGE)
        except BenchError as exc:
            raise BenchError("%s: %s" % (what, exc))
        local = host_path(self.wine.prefix, ran)
        if not os.path.isfile(local) or os.path.getsize(local) != INSTALL_PACKAGE_SIZE:
            raise BenchError("%s: no 1 MiB package at %s" % (what, local))
        # The prefix is the bench's own: its run folders would pile up.
        shutil.rmtree(os.path.dirname(local), ignore_errors=True)
        return ms

    # Start-up --------------------------------------------------------------------

    def startup(self):
        self.check_programs(["pavonix_bench_startup", "pavonix"])
        self.check_time()
        rc, out, err = self.wine.run(self.exe["pavonix_bench_startup"],
                                     [winpath(self.exe["pavonix"]), str(self.runs), "30000"],
                                     timeout=60 + 45 * (self.runs + 1))
        times = benchlib.startup_times(out, self.runs)
        if rc != 0:
            raise BenchError("the launcher exited %d: %s" % (rc, err.strip()[-300:]))
        log("start-up: %s ms" % ", ".join("%.0f" % t for t in times))
        return benchlib.median(times)


def run_all(args):
    bench = Bench(args)
    only = set(args.only or ["download", "resume", "install", "startup"])
    sizes = [MIB, (4 if args.check else 32 if args.quick else 256) * MIB]
    labels = [benchlib.size_label(s) for s in sizes]
    rows = []
    ok = True
    try:
        bench.wine.start()
    except (BenchError, OSError, subprocess.SubprocessError) as exc:
        bench.wine.stop()
        print(benchlib.format_table([benchlib.Row("Wine", "", error=str(exc))]))
        return 1
    try:
        if "download" in only:
            messages = {v: n // (40 if args.check else 4 if args.quick else 1)
                        for v, n in ROUNDTRIP_MESSAGES.items()}
            try:
                results, us = bench.download(sizes, messages)
                for size, label in zip(sizes, labels):
                    m = results[size][0]
                    rows.append(benchlib.download_row(label, m["program"], m["bare"], m["curl"], GOAL_RATIO))
                for size, label in zip(sizes, labels):
                    m = results[size][0]
                    rows.append(benchlib.info_row("download %s DownloadFile without progress MiB/s, ratio" % label,
                                                  "%.1f, ratio %.2f" % (m["quiet"], m["quiet"] / m["bare"])))
                rows.append(benchlib.memory_row(labels[0], labels[1], results[sizes[0]][1], results[sizes[1]][1],
                                                GOAL_MEMORY_DIFF))
                rows.append(benchlib.roundtrip_row(us))
                for size, label in zip(sizes, labels):
                    t = results[size][2]
                    rows.append(benchlib.expected_row(label, size, t["bare"], t["program"], us["page"], us["moving"]))
            except (BenchError, OSError, subprocess.SubprocessError, ValueError) as exc:
                ok = False
                rows.append(benchlib.Row("download program / bare / curl MiB/s, SendMessageA round trips", "",
                                         "ratio >= %.2f" % GOAL_RATIO, error=str(exc)))
        if args.emulated:
            # The 32-bit program under qemu-user: its figures say what the
            # emulation costs, not what users see; no goals.
            for key, name, measure in (("install", INSTALL_ROW, lambda: bench.install(cached=False)["fetched"]),
                                       ("startup", "start-up ms", bench.startup)):
                if key not in only:
                    continue
                name += " (32-bit, emulated)"
                try:
                    rows.append(benchlib.info_row(name, "%.0f" % measure()))
                except (BenchError, OSError, subprocess.SubprocessError, ValueError) as exc:
                    ok = False
                    rows.append(benchlib.Row(name, "", error=str(exc)))
            only = set()
        if "resume" in only:
            size, cut = (4 * MIB, MIB // 2) if args.check else (64 * MIB, 8 * MIB)
            try:
                rows.extend(benchlib.resume_rows(bench.resume(size, cut), size, cut))
            except (BenchError, OSError, subprocess.SubprocessError, ValueError) as exc:
                ok = False
                rows.append(benchlib.Row("resume and cache", "", error=str(exc)))
        if "install" in only:
            try:
                m = bench.install()
                rows.append(benchlib.below_row(INSTALL_ROW, m["fetched"], GOAL_INSTALL_MS))
                rows.append(benchlib.info_row(INSTALL_CACHED_ROW, "%.0f" % m["cached"]))
            except (BenchError, OSError, subprocess.SubprocessError, ValueError) as exc:
                ok = False
                rows.append(benchlib.Row(INSTALL_ROW + ", and from the package cache", "",
                                         "< %d" % GOAL_INSTALL_MS, error=str(exc)))
        if "startup" in only:
            try:
                rows.append(benchlib.below_row("start-up ms", bench.startup(), GOAL_STARTUP_MS))
            except (BenchError, OSError, subprocess.SubprocessError, ValueError) as exc:
                ok = False
                rows.append(benchlib.Row("start-up ms", "", "< %d" % GOAL_STARTUP_MS, error=str(exc)))
    finally:
        bench.wine.stop()
    runs = "%d runs" % args.runs
    if "install" in only and bench.install_runs != args.runs:
        runs += ", of the install rows %d" % bench.install_runs
    print("medians of %s%s" % (runs, " (check: every row must yield a figure, goals not judged)"
                               if args.check else " (quick)" if args.quick else ""))
    print(benchlib.format_table(rows), flush=True)
    missing = benchlib.missing_figures(rows)
    if missing:
        log("no figure for: %s" % "; ".join(missing))
    return 0 if ok and not missing else 1


def on_term(signum, _frame):
    # Leaves through the finally clauses, which stop Wine and the services.
    raise SystemExit(128 + signum)


def main():
    signal.signal(signal.SIGTERM, on_term)
    ap = argparse.ArgumentParser(description="Runs the Pavonix benchmarks under Wine; prints one table.")
    ap.add_argument("--build", required=True, help="win64 build folder (win32 with --emulated)")
    ap.add_argument("--emulated", action="store_true",
                    help="a win32 build in the WoW64 root (PAVONIX_WINE_DIR): install and start-up, no goals")
    ap.add_argument("--work", default=os.path.join(REPO, "build", "bench-work"), help="work folder")
    ap.add_argument("--runs", type=int, default=None, help="runs per benchmark (default 5, 3 with --quick)")
    ap.add_argument("--quick", action="store_true", help="3 runs, 32 MiB instead of 256 MiB")
    ap.add_argument("--check", action="store_true",
                    help="one run, 1 and 4 MiB, few messages: fails when a row yields no figure")
    ap.add_argument("--only", action="append", choices=["download", "resume", "install", "startup"],
                    help="run only this benchmark (repeatable)")
    args = ap.parse_args()
    if args.check and (args.quick or args.runs is not None):
        ap.error("--check runs once; not with --quick or --runs")
    if args.runs is None:
        args.runs = 1 if args.check else 3 if args.quick else 5
    if not 1 <= args.runs <= 50:
        ap.error("--runs must be 1..50")
    return run_all(args)


if __name__ == "__main__":
    sys.exit(main())
