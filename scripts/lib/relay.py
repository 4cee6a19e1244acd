#!/usr/bin/env python3
"""Runs a command with its stdout and stderr on pipes of our own and copies
them to ours; returns when the command itself has ended.

Wine starts helper processes (services, rpcss, the desktop) that inherit the
first program's output handles and outlive it. Given ctest's pipes directly,
they would keep every test open until its timeout. Through this relay they
only ever hold our pipes, which we stop reading once the command has exited
and its last output is drained.

usage: relay.py COMMAND [ARGS...]   exit status: the command's (128+N on signal N)
"""
import os
import select
import signal
import subprocess
import sys


def main(argv):
    if not argv:
        sys.stderr.write("usage: relay.py COMMAND [ARGS...]\n")
        return 2
    child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def forward(signum, _frame):
        try:
            child.send_signal(signum)
        except ProcessLookupError:
            pass

    for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(s, forward)

    sinks = {child.stdout.fileno(): sys.stdout.fileno(), child.stderr.fileno(): sys.stderr.fileno()}
    for fd in sinks:
        os.set_blocking(fd, False)

    def pump(fd):
        """Copies what is readable now; False once the pipe is at its end."""
        while True:
            try:
                data = os.read(fd, 65536)
            except BlockingIOError:
                return True
            except InterruptedError:
                continue
            if not data:
                return False
            view = memoryview(data)
            while view:
                try:
                    n = os.write(sinks[fd], view)
                except InterruptedError:
                    continue
                except BlockingIOError:
                    select.select([], [sinks[fd]], [])
                    continue
                view = view[n:]

    open_fds = set(sinks)
    while open_fds and child.poll() is None:
        try:
            ready, _, _ = select.select(list(open_fds), [], [], 0.05)
        except InterruptedError:
            continue
        for fd in ready:
            if not pump(fd):
                open_fds.discard(fd)
    child.wait()
    # Everything the command wrote is in the pipes now; helpers that still
    # hold them open must not keep us waiting.
    for fd in list(open_fds):
        pump(fd)
    sys.stdout.flush()
    rc = child.returncode
    return 128 - rc if rc < 0 else rc


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
