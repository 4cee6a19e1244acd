#!/usr/bin/env python3
"""Whole install runs under Wine against the bundled services on loopback.

    run_flow.py --harness EXE --installer EXE --wine-run SCRIPT --services PY
                --testca SH --work DIR [--scenario NAME ...]

For each scenario it starts the bundled update service, package server and
local service (tools/services, `serve`) on 127.0.0.1, runs flow_harness.exe
(one InstallWorkerProc run with stand-in windows) through the Wine wrapper,
and checks the outcome: the messages in order, the failure code, the
packages in the Wine temporary folder, the installer runs the test installer
recorded, and what the services were asked. The local service must listen on
127.0.0.1:28000, the address the worker uses. Everything is bounded in time.
Prints one line per scenario and a closing "N passed, N failed".
"""
import argparse
import glob
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import portlock  # noqa: E402
from portlock import port_free  # noqa: E402

RUN_TIMEOUT = 240          # one harness run, seconds
SERVICE_START_TIMEOUT = 30
SERVICE_LIFETIME = 400     # the services stop by themselves after this
LOCAL_PORT = 28000
PORT_WAIT = 180            # seconds to wait for 127.0.0.1:28000 to come free

CLIENT = "levyDesk"
VENDOR = "ZYN-HARBOLT"
CLIENT_EXE = "levydesk_setup.exe"
VENDOR_EXE = "harbolt_setup.exe"
VENDOR_TXT = "harbolt_readme.txt"
BROKEN_EXE = "harbolt_broken.exe"


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def free_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


PORT_LOCK_WAIT = 600


def take_port_lock():
    """Exclusive hold of the machine-wide port lock, waited for (bounded)."""
    try:
        return portlock.acquire(PORT_LOCK_WAIT)
    except TimeoutError as exc:
        raise Failure(str(exc))


def wait_port_free(port, seconds):
    """Another program on this machine may hold the port for a while."""
    deadline = time.time() + seconds
    while not port_free(port):
        check(time.time() < deadline, "127.0.0.1:%d stayed taken for %d s; the local service needs it" % (
            port, seconds))
        time.sleep(0.5)


def wine_env(wine_run):
    out = subprocess.run(["bash", "-c", 'eval "$("$1" --env)" && env -0', "env", wine_run],
                         check=True, capture_output=True, timeout=120).stdout
    env = {}
    for item in out.split(b"\0"):
        if b"=" in item:
            k, v = item.split(b"=", 1)
            env[k.decode()] = v.decode(errors="replace")
    return env


def host_path(prefix, win_path):
    """Host path of a C:\\ path in the Wine prefix, components matched without case."""
    check(len(win_path) > 2 and win_path[1] == ":", "not a drive path: %r" % win_path)
    cur = os.path.join(prefix, "drive_" + win_path[0].lower())
    for part in [p for p in win_path[3:].split("\\") if p]:
        match = None
        if os.path.isdir(cur):
            for name in os.listdir(cur):
                if name.lower() == part.lower():
                    match = name
                    break
        cur = os.path.join(cur, match or part)
    return cur


def win_path_of_host(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def parse_harness(text):
    rec = {"msgs": [], "progress": [], "texts": []}
    for line in text.splitlines():
        f = line.rstrip("\r").split("\t")
        if f[0] == "msg":
            rec["msgs"].append((f[1], int(f[3])))
        elif f[0] == "progress":
            rec["progress"].append(int(f[1]))
        elif f[0] == "text":
            rec["texts"].append(f[1] if len(f) > 1 else "")
        elif f[0] in ("temp", "exit", "result", "bar", "elapsed_ms", "timeout", "error"):
            rec[f[0]] = f[1] if len(f) > 1 else ""
        elif f[0] == "found":
            rec["found"] = tuple(int(x) for x in f[1:4])
    return rec


def read_jsonl(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as fh:
        return [json.loads(line) for line in fh if line.strip()]


def asked_products(update_log):
    out = []
    for e in update_log:
        req = e.get("request") or {}
        for s in req.get("softList") or []:
            out.append(s.get("soft"))
    return out


class Flow:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.env = wine_env(args.wine_run)
        self.prefix = self.env["WINEPREFIX"]
        self.ca = os.path.join(self.work, "ca")
        self.packages = os.path.join(self.work, "packages")
        self.record = os.path.join(self.work, "installer-record.txt")

    def reg(self, *args):
        # Now and then Wine's launcher cannot start a program at all while
        # another suite uses the prefix: a failed change is tried again.
        for attempt in range(3):
            r = subprocess.run(["wine64", "reg"] + list(args), env=self.env, timeout=120,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if r.returncode == 0 or args[0] == "delete":
                return
            time.sleep(1 + attempt)
        check(False, "reg %s failed (exit %d, three tries)" % (" ".join(args), r.returncode))

    def setup(self):
        os.makedirs(self.work, exist_ok=True)
        subprocess.run(["bash", self.args.testca, "make", self.ca], check=True, timeout=120)
        subprocess.run(["bash", self.args.testca, "trust", self.ca, self.prefix], check=True, timeout=300,
                       env=self.env)
        shutil.rmtree(self.packages, ignore_errors=True)
        os.makedirs(self.packages)
        shutil.copyfile(self.args.installer, os.path.join(self.packages, CLIENT_EXE))
        shutil.copyfile(self.args.installer, os.path.join(self.packages, VENDOR_EXE))
        with open(os.path.join(self.packages, VENDOR_TXT), "w") as fh:
            fh.write("read me, do not run me\r\n" * 200)
        with open(os.path.join(self.packages, BROKEN_EXE), "wb") as fh:
            fh.write(b"this is not a program\r\n" * 50)
        out = subprocess.run([self.args.wine_run, self.args.harness, "--print-temp"], capture_output=True,
                             text=True, timeout=RUN_TIMEOUT, env=self.env)
        temp = parse_harness(out.stdout).get("temp")
        check(temp, "harness did not report the temporary folder: %r %r" % (out.stdout, out.stderr))
        self.temp_win = temp
        self.temp = host_path(self.prefix, temp)
        # Run folders are made under the Windows folder's Temp first.
        self.run_parents = [(host_path(self.prefix, "C:\\windows\\temp\\"), "C:\\windows\\temp\\"),
                            (self.temp, self.temp_win)]

    def catalogue(self, broken_vendor):
        vendor = [{"address": "{packages}/" + (BROKEN_EXE if broken_vendor else VENDOR_EXE),
                   "version": "V1.0-20200902", "soft": VENDOR, "excuteExe": True},
                  {"address": "{packages}/" + VENDOR_TXT, "version": "V1.0-20200902", "soft": VENDOR,
                   "excuteExe": False}]
        return {"products": {
            CLIENT: {"V1.0": [{"address": "{packages}/" + CLIENT_EXE, "version": "V1.0", "soft": CLIENT,
                               "excuteExe": True}]},
            VENDOR: {"V1.0-20200902": vendor}}}

    def clean_temp(self):
        for name in (CLIENT_EXE, VENDOR_EXE, VENDOR_TXT, BROKEN_EXE):
            p = os.path.join(self.temp, name)
            if os.path.exists(p):
                os.remove(p)
        for parent, _ in self.run_parents:
            for d in glob.glob(os.path.join(parent, "pavonix-*")):
                shutil.rmtree(d, ignore_errors=True)

    def downloaded(self, name):
        """Host and Windows path of a downloaded file: packages go into a
        download folder of their own (one per product run) under the
        temporary folder."""
        for parent, parent_win in self.run_parents:
            for d in sorted(glob.glob(os.path.join(parent, "pavonix-*"))):
                p = os.path.join(d, name)
                if os.path.exists(p):
                    return p, parent_win + os.path.basename(d) + "\\" + name
        return os.path.join(self.temp, "(not downloaded)", name), "(not downloaded) " + name

    def run(self, name, local_mode="ok", local_cert="server", update_down=False, broken_vendor=False,
            local_tls=None):
        d = os.path.join(self.work, name)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        with open(os.path.join(d, "catalogue.json"), "w") as fh:
            json.dump(self.catalogue(broken_vendor), fh)
        config = {
            "host": "127.0.0.1",
            "update_service": {"port": 0, "catalogue": "catalogue.json", "log": "update.jsonl"},
            "package_server": {"port": 0, "folder": self.packages, "log": "packages.jsonl"},
            "local_service": {"port": LOCAL_PORT, "cert": os.path.join(self.ca, local_cert + ".pem"),
                              "key": os.path.join(self.ca, local_cert + ".key"), "mode": local_mode,
                              "log": "local.jsonl"},
        }
        if update_down:
            del config["update_service"]
        with open(os.path.join(d, "serve.json"), "w") as fh:
            json.dump(config, fh)
        ready = os.path.join(d, "ready.json")
        # Scenarios without a listener need the port free as much as those with one.
        lock = take_port_lock()
        try:
            wait_port_free(LOCAL_PORT, PORT_WAIT)
        except Failure:
            lock.close()
            raise
        services_env = dict(os.environ)
        if local_tls:
            services_env["PAVONIX_LOCAL_TLS"] = local_tls
        services = subprocess.Popen(
            [sys.executable, self.args.services, "serve", "--config", os.path.join(d, "serve.json"),
             "--ready-file", ready, "--max-seconds", str(SERVICE_LIFETIME)],
            stdout=open(os.path.join(d, "services.out"), "w"), stderr=subprocess.STDOUT, env=services_env)
        try:
            deadline = time.time() + SERVICE_START_TIMEOUT
            while not os.path.exists(ready):
                check(services.poll() is None, "services ended at start: see " + os.path.join(d, "services.out"))
                check(time.time() < deadline, "services not ready in time")
                time.sleep(0.1)
            time.sleep(0.1)
            with open(ready) as fh:
                report = json.load(fh)
            if update_down:
                url = "http://127.0.0.1:%d//softServer/req" % free_port()
            else:
                url = report["update-service"]["url"]
            self.clean_temp()
            if os.path.exists(self.record):
                os.remove(self.record)
            env = dict(self.env)
            env["PAVONIX_INSTALLER_RECORD"] = win_path_of_host(self.record)
            # The installers get the machine's environment: their settings
            # lie beside the harness that starts them.
            with open(os.path.join(os.path.dirname(self.args.harness), "pavonix-installer-settings.txt"),
                      "w", newline="") as fh:
                fh.write("PAVONIX_INSTALLER_RECORD=%s\r\n" % env["PAVONIX_INSTALLER_RECORD"])
            t0 = time.time()
            log = os.path.join(d, "pavonix.log")
            out = subprocess.run([self.args.wine_run, self.args.harness, "--update-url", url, "--invoicing-pc",
                                  "--log", win_path_of_host(log)],
                                 capture_output=True, text=True, errors="replace", timeout=RUN_TIMEOUT, env=env)
            wall = time.time() - t0
            with open(os.path.join(d, "harness.out"), "w") as fh:
                fh.write(out.stdout + "\n--- stderr ---\n" + out.stderr)
        finally:
            services.terminate()
            try:
                services.wait(timeout=15)
            except subprocess.TimeoutExpired:
                services.kill()
                services.wait(timeout=15)
            lock.close()
        rec = parse_harness(out.stdout)
        rec["wall_s"] = wall
        rec["update_log"] = read_jsonl(os.path.join(d, "update.jsonl"))
        rec["local_log"] = read_jsonl(os.path.join(d, "local.jsonl"))
        rec["package_log"] = read_jsonl(os.path.join(d, "packages.jsonl"))
        rec["log"] = ""
        if os.path.exists(log):
            with open(log, encoding="gbk", errors="replace") as fh:
                rec["log"] = fh.read()
        rec["records"] = []
        if os.path.exists(self.record):
            with open(self.record, encoding="gbk", errors="replace") as fh:
                rec["records"] = [line.split("\t") for line in fh.read().splitlines() if line.strip()]
        check(out.returncode == 0, "harness exit %d (%s): see %s" % (out.returncode, rec.get("timeout") or
                                                                  rec.get("error") or "", d))
        check(rec.get("found") == (0, 1, 0), "detection: %r" % (rec.get("found"),))
        return rec

    # ---- checks shared by the scenarios -----------------------------------

    def expect_installed(self, rec, products):
        exes = {CLIENT: CLIENT_EXE, VENDOR: VENDOR_EXE}
        expected_msgs = [("WM_INSTALL_STARTED", 0)] * len(products) + [("WM_INSTALL_DONE", 0)]
        check(rec["msgs"] == expected_msgs, "messages %r" % rec["msgs"])
        check(rec.get("exit") == "0" and rec.get("result") == "0", "exit %r result %r" % (rec.get("exit"),
                                                                                      rec.get("result")))
        check(asked_products(rec["update_log"]) == products, "asked %r" % asked_products(rec["update_log"]))
        ran = [r[0] for r in rec["records"]]
        want = [self.downloaded(exes[p])[1] for p in products]
        check([r.lower() for r in ran] == [w.lower() for w in want], "installer runs %r, want %r" % (ran, want))
        for p in products:
            local = self.downloaded(exes[p])[0]
            check(os.path.exists(local), "no %s in a download folder" % exes[p])
            check(os.path.getsize(local) == os.path.getsize(self.args.installer), "%s size" % exes[p])
        if VENDOR in products:
            txt = self.downloaded(VENDOR_TXT)[0]
            check(os.path.exists(txt) and os.path.getsize(txt) == os.path.getsize(
                os.path.join(self.packages, VENDOR_TXT)), "readme not downloaded")
        check(rec["progress"] and max(rec["progress"]) == 100, "progress %r" % rec["progress"][:10])
        check(rec.get("bar") == "0", "progress bar at %r" % rec.get("bar"))
        check(rec["texts"][:1] == ["."], "dots %r" % rec["texts"][:6])

    def expect_failure(self, rec, code):
        check(rec["msgs"][-2:] == [("WM_INSTALL_FAILED", code), ("WM_SHOW_FAIL_REASON", code)],
              "messages %r" % rec["msgs"])
        check(all(m[0] == "WM_INSTALL_STARTED" for m in rec["msgs"][:-2]), "messages %r" % rec["msgs"])
        check(rec.get("exit") == "-1" and rec.get("result") == str(code), "exit %r result %r" % (
            rec.get("exit"), rec.get("result")))


def scenario_healthy_https(flow):
    rec = flow.run("healthy-https")
    flow.expect_installed(rec, [VENDOR])
    asks = [e for e in rec["local_log"] if e.get("path") == "/api/getVersion"]
    check(len(asks) == 1, "local service asked %d times" % len(asks))
    check(asks[0].get("body") == "crosFlag=0", "local request body %r" % asks[0].get("body"))
    check("[DEBUG][PAVONIX]" in rec["log"] and "https://127.0.0.1:28000/api/getVersion" in rec["log"],
          "no DEBUG line of the local query")
    check('"version":"2.3.0.1120"' in rec["log"], "the local reply was not logged")
    check("[ERROR]" not in rec["log"], "errors logged: %r" % rec["log"][-500:])
    return rec


def scenario_untrusted_certificate(flow):
    rec = flow.run("untrusted-certificate", local_cert="self")
    flow.expect_installed(rec, [CLIENT, VENDOR])
    check(not [e for e in rec["local_log"] if e.get("path") == "/api/getVersion"],
          "the untrusted service was asked all the same")
    # The query failed in the send (the certificate check), and was logged.
    errors = [line for line in rec["log"].splitlines() if "[ERROR][PAVONIX]" in line]
    check(len(errors) == 2 and errors[0].endswith("::HttpSendRequestEx failed.") and
          re.search(r"\): WinInet error 120(37|38|45|55|57|169): TLS failure \(.+\)$", errors[1]),
          "error lines %r" % errors)
    return rec


SCHANNEL_PROTOCOLS = r"HKLM\System\CurrentControlSet\Control\SecurityProviders\SCHANNEL\Protocols"


def scenario_local_service_tls10(flow):
    """A local service that speaks only TLS 1.0, and the client side as current
    Windows has it (TLS 1.0 and 1.1 off): the query fails, and the log tells
    the TLS failure and its number apart from a service that is down."""
    keys = [SCHANNEL_PROTOCOLS + "\\" + v for v in ("TLS 1.0", "TLS 1.1")]
    try:
        for key in keys:
            for name, value in (("Enabled", "0"), ("DisabledByDefault", "1")):
                flow.reg("add", key + "\\Client", "/v", name, "/t", "REG_DWORD", "/d", value, "/f")
        rec = flow.run("local-service-tls10", local_tls="1.0")
    finally:
        for key in keys:
            flow.reg("delete", key, "/f")
    flow.expect_installed(rec, [CLIENT, VENDOR])
    check(not [e for e in rec["local_log"] if e.get("path") == "/api/getVersion"],
          "the TLS 1.0 service was asked all the same")
    errors = [line for line in rec["log"].splitlines() if "[ERROR][PAVONIX]" in line]
    check(len(errors) == 2 and errors[0].endswith("::HttpSendRequestEx failed.") and
          errors[1].endswith("): WinInet error 12157: TLS failure (secure channel error)"),
          "error lines %r" % errors)
    return rec


def scenario_service_down(flow):
    rec = flow.run("service-down", local_mode="down")
    flow.expect_installed(rec, [CLIENT, VENDOR])
    return rec


def scenario_update_service_down(flow):
    rec = flow.run("update-service-down", local_mode="down", update_down=True)
    flow.expect_failure(rec, 3)
    check(rec["msgs"] == [("WM_INSTALL_FAILED", 3), ("WM_SHOW_FAIL_REASON", 3)], "messages %r" % rec["msgs"])
    check(not rec["records"], "installers ran: %r" % rec["records"])
    return rec


def scenario_vendor_installer_broken(flow):
    rec = flow.run("vendor-installer-broken", broken_vendor=True)
    flow.expect_failure(rec, 4)
    check(rec["msgs"] == [("WM_INSTALL_STARTED", 0), ("WM_INSTALL_FAILED", 4), ("WM_SHOW_FAIL_REASON", 4)],
          "messages %r" % rec["msgs"])
    check(os.path.exists(flow.downloaded(BROKEN_EXE)[0]), "broken package not downloaded")
    check(not rec["records"], "installers ran: %r" % rec["records"])
    return rec


SCENARIOS = [
    ("healthy-https", scenario_healthy_https),
    ("untrusted-certificate", scenario_untrusted_certificate),
    ("service-down", scenario_service_down),
    ("local-service-tls10", scenario_local_service_tls10),
    ("update-service-down", scenario_update_service_down),
    ("vendor-installer-broken", scenario_vendor_installer_broken),
]


def main():
    ap = argparse.ArgumentParser()
    for opt in ("--harness", "--installer", "--wine-run", "--services", "--testca", "--work"):
        ap.add_argument(opt, required=True)
    ap.add_argument("--scenario", action="append", default=[])
    args = ap.parse_args()

    flow = Flow(args)
    flow.setup()
    passed = failed = 0
    for name, fn in SCENARIOS:
        if args.scenario and name not in args.scenario:
            continue
        try:
            rec = fn(flow)
            passed += 1
            print("flow %s: ok (worker %s ms, harness under Wine %.1f s)" % (name, rec.get("elapsed_ms"),
                                                                               rec["wall_s"]), flush=True)
        except (Failure, subprocess.TimeoutExpired, OSError, ValueError, KeyError) as e:
            failed += 1
            print("flow %s: FAILED: %s" % (name, e), flush=True)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
