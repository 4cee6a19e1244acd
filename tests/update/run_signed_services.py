#!/usr/bin/env python3
"""Runs a test command against a signing update service behind the test proxy.

    run_signed_services.py [--timeout S] -- COMMAND [ARGS...]

Starts the bundled services (update service signing with
tests/support/keys/update-test.pem, package server) on free loopback ports
and tests/support/mitm_proxy.py in front of the update service, then runs
the command with:

  PAVONIX_SIGNED_BASE   http://127.0.0.1:<proxy port>  (add /mode/<mode>//softServer/req)
  PAVONIX_SIGNED_KEY    the service's public key (hexadecimal)
  PAVONIX_OTHER_KEY     an unrelated public key

Everything is stopped afterwards; the exit code is the command's (124 on
time-out).
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SERVICES = os.path.join(REPO, "tools", "services", "pavonix_services.py")
PROXY = os.path.join(REPO, "tests", "support", "mitm_proxy.py")
KEYS = os.path.join(REPO, "tests", "support", "keys")


def wait_file(path, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return json.load(open(path))
        time.sleep(0.1)
    raise SystemExit("run_signed_services: %s did not appear" % path)


def main():
    argv = sys.argv[1:]
    timeout = 240.0
    if argv[:1] == ["--timeout"]:
        timeout = float(argv[1])
        argv = argv[2:]
    if argv[:1] != ["--"] or len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    command = argv[1:]
    work = tempfile.mkdtemp(prefix="pavonix-signed-")
    os.makedirs(os.path.join(work, "packages"))
    with open(os.path.join(work, "signed_data.bin"), "wb") as f:
        f.write(b"signed package data\n" * 100)
    # Published as a vendor would: the signing service lists recorded hashes only.
    subprocess.run([sys.executable, SERVICES, "publish", os.path.join(work, "signed_data.bin"),
                    "--catalogue", os.path.join(work, "catalogue.json"), "--folder",
                    os.path.join(work, "packages"), "--soft", "levyDesk", "--version", "*",
                    "--package-version", "V1.0", "--no-run"],
                   check=True, timeout=60, stdout=subprocess.DEVNULL)
    json.dump({"package_server": {"port": 0, "folder": "packages", "log": "package-server.jsonl"},
               "update_service": {"port": 0, "catalogue": "catalogue.json", "log": "update-service.jsonl",
                                  "signing_key": {"1": os.path.join(KEYS, "update-test.pem"),
                                                  "2": os.path.join(KEYS, "update-test-v2.pem")}}},
              open(os.path.join(work, "serve.json"), "w"))
    state = os.path.join(work, "state")
    proxy = None
    try:
        subprocess.run([sys.executable, SERVICES, "start", "--config", os.path.join(work, "serve.json"),
                        "--state", state, "--max-seconds", str(timeout + 60)],
                       check=True, timeout=60, stdout=subprocess.DEVNULL)
        ready = json.load(open(os.path.join(state, "ready.json")))
        proxy_ready = os.path.join(work, "proxy.json")
        proxy = subprocess.Popen([sys.executable, PROXY, "--upstream", str(ready["update-service"]["port"]),
                                  "--ask-version", "V0.9", "--ready-file", proxy_ready, "--log", os.path.join(work, "proxy.jsonl"),
                                  "--max-seconds", str(timeout + 60)])
        port = wait_file(proxy_ready, 20)["port"]
        env = dict(os.environ)
        env["PAVONIX_SIGNED_BASE"] = "http://127.0.0.1:%d" % port
        def key(version, name):
            return version + ":" + open(os.path.join(KEYS, name)).read().strip()
        env["PAVONIX_SIGNED_KEY"] = key("1", "update-test.pub")
        env["PAVONIX_SIGNED_KEY_V2"] = key("2", "update-test-v2.pub")
        env["PAVONIX_OTHER_KEY"] = key("1", "update-other.pub")
        try:
            return subprocess.run(command, env=env, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            print("run_signed_services: the command took longer than %.0f s" % timeout, file=sys.stderr)
            return 124
    finally:
        if proxy is not None:
            proxy.terminate()
            try:
                proxy.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proxy.kill()
        subprocess.run([sys.executable, SERVICES, "stop", "--state", state], timeout=60,
                       stdout=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
