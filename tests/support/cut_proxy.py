#!/usr/bin/env python3
"""A loopback TCP relay that cuts every connection after N bytes towards the
client, as a link that breaks every few megabytes does.

    cut_proxy.py --upstream 8080 --cut-every 1048576 [--port 0] [--delay-ms 0] \\
        [--ready-file ready.json] [--stats stats.json] [--max-seconds 300]

Binds 127.0.0.1 only; relays to 127.0.0.1:UPSTREAM. Each connection carries
at most N bytes from the upstream to the client (head and body alike), then
both sides are closed. --delay-ms holds each connection that long before
relaying (a slow link, so that a download takes a while). The ready file names the port; the stats file, written
after every connection, counts connections and the bytes relayed each way.
Ends on SIGTERM, after --max-seconds, or after --max-connections.
"""

import argparse
import json
import os
import signal
import socket
import sys
import threading
import time

BUFFER = 64 * 1024
IDLE_SECONDS = 30


class CutProxy:
    def __init__(self, upstream, cut_every, port=0, stats_path=None, max_connections=1000, delay_ms=0):
        self.upstream = upstream
        self.delay = delay_ms / 1000.0
        self.cut_every = cut_every
        self.stats_path = stats_path
        self.max_connections = max_connections
        self.lock = threading.Lock()
        self.stats = {"connections": 0, "cut": 0, "to_client": 0, "to_upstream": 0}
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.stopped = threading.Event()

    def serve(self, deadline):
        self.listener.settimeout(0.2)
        while not self.stopped.is_set() and time.monotonic() < deadline:
            with self.lock:
                if self.stats["connections"] >= self.max_connections:
                    break
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            with self.lock:
                self.stats["connections"] += 1
            threading.Thread(target=self._relay, args=(client,), daemon=True).start()
        self.listener.close()

    def _relay(self, client):
        if self.delay and self.stopped.wait(self.delay):
            client.close()
            return
        try:
            upstream = socket.create_connection(("127.0.0.1", self.upstream), timeout=10)
        except OSError:
            client.close()
            return
        up = threading.Thread(target=self._pump, args=(client, upstream, "to_upstream", None), daemon=True)
        up.start()
        cut = self._pump(upstream, client, "to_client", self.cut_every)
        for s in (client, upstream):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        up.join(5)
        client.close()
        upstream.close()
        with self.lock:
            self.stats["cut"] += 1 if cut else 0
        self._write_stats()

    def _pump(self, src, dst, counter, limit):
        """Copies src to dst until either ends or `limit` bytes went; True
        when the limit cut the stream."""
        sent = 0
        src.settimeout(IDLE_SECONDS)
        try:
            while limit is None or sent < limit:
                data = src.recv(BUFFER if limit is None else min(BUFFER, limit - sent))
                if not data:
                    return False
                dst.sendall(data)
                sent += len(data)
                with self.lock:
                    self.stats[counter] += len(data)
            return True
        except OSError:
            return False
        finally:
            if limit is None:
                try:
                    dst.shutdown(socket.SHUT_WR)
                except OSError:
                    pass

    def _write_stats(self):
        if not self.stats_path:
            return
        with self.lock:
            text = json.dumps(self.stats)
        tmp = self.stats_path + ".tmp"
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, self.stats_path)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--upstream", type=int, required=True, help="port of the server on 127.0.0.1")
    ap.add_argument("--cut-every", type=int, required=True, metavar="N", help="bytes per connection to the client")
    ap.add_argument("--port", type=int, default=0, help="port to listen on (0: any free one)")
    ap.add_argument("--ready-file", help="written with {\"port\": P} once listening")
    ap.add_argument("--stats", help="JSON counts, rewritten after every connection")
    ap.add_argument("--max-seconds", type=float, default=600.0)
    ap.add_argument("--max-connections", type=int, default=1000)
    ap.add_argument("--delay-ms", type=int, default=0, help="wait before relaying each connection (at most 10 s)")
    args = ap.parse_args(argv)
    if args.cut_every < 1 or not 0 < args.max_seconds <= 3600 or not 0 <= args.delay_ms <= 10000:
        ap.error("--cut-every must be at least 1, --max-seconds within 1 hour, --delay-ms within 10 s")
    proxy = CutProxy(args.upstream, args.cut_every, args.port, args.stats, args.max_connections, args.delay_ms)
    signal.signal(signal.SIGTERM, lambda *_: proxy.stopped.set())
    proxy._write_stats()
    if args.ready_file:
        with open(args.ready_file + ".tmp", "w") as f:
            json.dump({"port": proxy.port}, f)
        os.replace(args.ready_file + ".tmp", args.ready_file)
    print("cut-proxy: 127.0.0.1:%d -> 127.0.0.1:%d, cut every %d bytes" % (proxy.port, args.upstream,
                                                                          args.cut_every), flush=True)
    proxy.serve(time.monotonic() + args.max_seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
