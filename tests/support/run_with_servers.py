#!/usr/bin/env python3
"""Runs a test command with loopback servers around it, everything bounded.

    run_with_servers.py [--ca-dir DIR] [--wine-run SCRIPT] [--timeout S]
                        --server NAME=KIND[:ROUTES] ... -- COMMAND [ARGS...]

KIND is "http", "https" (certificate from the test CA in --ca-dir),
"https-self" (self-signed certificate for the same name) or "closed" (a free
port on which nothing listens, for refused connections). ROUTES is an
optional routes file for loopback_server.py. Each server's port reaches the
command as the environment variable PAVONIX_TEST_PORT_<NAME> (upper case).

With --wine-run, the test CA is trusted in that wrapper's Wine prefix before
the command runs (testca.sh trust). The command gets --timeout seconds
(default 240); the servers are stopped afterwards in every case. The exit
code is the command's (124 on time-out).
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    argv = sys.argv[1:]
    if "--" not in argv:
        print("run_with_servers: missing -- before the command", file=sys.stderr)
        return 2
    split = argv.index("--")
    ap = argparse.ArgumentParser()
    ap.add_argument("--ca-dir")
    ap.add_argument("--wine-run")
    ap.add_argument("--timeout", type=float, default=240.0)
    ap.add_argument("--server", action="append", default=[])
    args = ap.parse_args(argv[:split])
    command = argv[split + 1:]
    if not command:
        print("run_with_servers: no command", file=sys.stderr)
        return 2

    kinds = [item.split("=", 1)[-1].split(":")[0] for item in args.server]
    needs_ca = any(k.startswith("https") for k in kinds)
    if needs_ca or args.wine_run:
        if not args.ca_dir:
            print("run_with_servers: HTTPS servers need --ca-dir", file=sys.stderr)
            return 2
        subprocess.run(["bash", os.path.join(HERE, "testca.sh"), "make", args.ca_dir], check=True, timeout=120)
    if args.wine_run:
        script = 'eval "$("$1" --env)" && exec bash "$2" trust "$3" "$WINEPREFIX"'
        subprocess.run(["bash", "-c", script, "trust", args.wine_run, os.path.join(HERE, "testca.sh"), args.ca_dir],
                       check=True, timeout=300)

    work = tempfile.mkdtemp(prefix="pavonix-servers-")
    servers = []
    env = dict(os.environ)
    try:
        for item in args.server:
            name, kind = item.split("=", 1)
            routes = None
            if ":" in kind:
                kind, routes = kind.split(":", 1)
            if kind == "closed":
                probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                probe.bind(("127.0.0.1", 0))
                env["PAVONIX_TEST_PORT_" + name.upper()] = str(probe.getsockname()[1])
                probe.close()
                continue
            port_file = os.path.join(work, name + ".port")
            cmd = [sys.executable, os.path.join(HERE, "loopback_server.py"), "--port-file", port_file,
                   "--lifetime", str(args.timeout + 60), "--log", os.path.join(work, name + ".jsonl")]
            if kind == "https":
                cmd += ["--tls", os.path.join(args.ca_dir, "server.pem"), os.path.join(args.ca_dir, "server.key")]
            elif kind == "https-self":
                cmd += ["--tls", os.path.join(args.ca_dir, "self.pem"), os.path.join(args.ca_dir, "self.key")]
            elif kind != "http":
                raise SystemExit("run_with_servers: unknown server kind " + kind)
            if routes:
                cmd += ["--routes", routes]
            proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL)
            servers.append(proc)
            deadline = time.time() + 20
            while not os.path.exists(port_file):
                if proc.poll() is not None or time.time() > deadline:
                    raise SystemExit("run_with_servers: server %s did not start" % name)
                time.sleep(0.05)
            with open(port_file) as f:
                env["PAVONIX_TEST_PORT_" + name.upper()] = f.read().strip()
            env["PAVONIX_TEST_LOG_" + name.upper()] = os.path.join(work, name + ".jsonl")
        try:
            return subprocess.run(command, env=env, timeout=args.timeout).returncode
        except subprocess.TimeoutExpired:
            print("run_with_servers: command timed out after %g s" % args.timeout, file=sys.stderr)
            return 124
    finally:
        for proc in servers:
            proc.terminate()
        for proc in servers:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
