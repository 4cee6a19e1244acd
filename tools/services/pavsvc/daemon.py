"""`start` and `stop`: `serve` in the background, for scripts and test fixtures.

start: launches `serve` as a detached process whose state lives in one
folder (serve.pid, ready.json, serve.log), waits until it listens and
prints ready.json. The process still stops by itself after --max-seconds.
stop: ends the process of that folder with SIGTERM (SIGKILL after a grace
time) and removes serve.pid and ready.json.
"""

import json
import os
import signal
import subprocess
import sys
import time

ENTRY = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                     "pavonix_services.py")


def _files(state):
    return (os.path.join(state, "serve.pid"), os.path.join(state, "ready.json"),
            os.path.join(state, "serve.log"))


def _ours(pid):
    """True when `pid` runs this entry point (so a reused pid is left alone)."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            args = f.read().split(b"\0")
    except OSError:
        return False
    return any(a.endswith(b"pavonix_services.py") for a in args) and b"serve" in args


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # a zombie child of ours counts as gone
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return True


def start(config, state, max_seconds=900.0, timeout=20.0, extra=()):
    os.makedirs(state, exist_ok=True)
    pid_file, ready_file, log_file = _files(state)
    if os.path.exists(pid_file):
        with open(pid_file) as f:
            old = f.read().strip()
        if old.isdigit() and alive(int(old)) and _ours(int(old)):
            raise RuntimeError("services of %s already run as process %s" % (state, old))
    for path in (pid_file, ready_file):
        if os.path.exists(path):
            os.unlink(path)
    with open(log_file, "ab") as log:
        proc = subprocess.Popen([sys.executable, ENTRY, "serve", "--config", os.path.abspath(config),
                                 "--ready-file", ready_file, "--max-seconds", str(max_seconds)]
                                + list(extra),
                                stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                start_new_session=True, close_fds=True)
    with open(pid_file, "w") as f:
        f.write("%d\n" % proc.pid)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(ready_file):
            with open(ready_file) as f:
                return json.load(f)
        if proc.poll() is not None:
            os.unlink(pid_file)
            with open(log_file, "rb") as f:
                tail = f.read()[-2000:].decode("utf-8", "replace")
            raise RuntimeError("serve exited with %d:\n%s" % (proc.returncode, tail))
        time.sleep(0.05)
    proc.terminate()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
    os.unlink(pid_file)
    raise RuntimeError("serve did not get ready within %.0f s (see %s)" % (timeout, log_file))


def stop(state, grace=10.0):
    """True when a running process was stopped, False when none ran."""
    pid_file, ready_file, _ = _files(state)
    try:
        with open(pid_file) as f:
            text = f.read().strip()
    except FileNotFoundError:
        return False
    stopped = False
    if text.isdigit():
        pid = int(text)
        if alive(pid) and _ours(pid):
            os.kill(pid, signal.SIGTERM)
            deadline = time.monotonic() + grace
            while alive(pid) and time.monotonic() < deadline:
                time.sleep(0.05)
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
            stopped = True
    for path in (pid_file, ready_file):
        if os.path.exists(path):
            os.unlink(path)
    return stopped
