import json
import random
import socket
import threading
import time
import unittest

import support
from pavsvc.httpcore import HttpServer, Limits, RequestLog


def echo(req, resp):
    if req.path == "/boom":
        raise RuntimeError("handler failure")
    if req.path == "/hold":
        resp.stall(30)
    body = json.dumps({"method": req.method, "path": req.target, "body": req.body.decode("latin-1"),
                       "version": req.version}).encode()
    resp.send(200, body, "application/json")


class CoreCase(unittest.TestCase):
    limits = {}

    def setUp(self):
        self.events = []
        log = RequestLog()
        log.write = self.events.append
        self.server = HttpServer("test", echo, port=0, limits=Limits(**self.limits), log=log).start()
        self.addCleanup(self.server.stop)
        self.port = self.server.port

    def exchange(self, data, timeout=5):
        return support.raw_exchange(self.port, data, timeout=timeout)

    def status_of(self, data, timeout=5):
        raw = self.exchange(data, timeout)
        return support.split_response(raw)[0] if raw else None

    def assert_alive(self):
        self.assertEqual(support.http_request(self.port, "GET", "/alive").status, 200)


class ParsingTest(CoreCase):
    def test_malformed_requests_get_their_status(self):
        cases = [
            (b"GARBAGE\r\n\r\n", 400),
            (b"GET /\r\n\r\n", 400),
            (b"GET / HTTP/2.0\r\nHost: x\r\n\r\n", 505),
            (b"GET / FTP/1.0\r\n\r\n", 400),
            (b"GET noslash HTTP/1.1\r\nHost: x\r\n\r\n", 400),
            (b"G(T / HTTP/1.1\r\nHost: x\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\n\r\n", 400),                                  # no Host
            (b"GET / HTTP/1.1\r\nHost: x\r\n folded\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\nHost: x\r\nno colon\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\nHost: x\r\nBad Name: 1\r\n\r\n", 400),
            (b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n", 400),
            (b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1x\r\n\r\n", 400),
            (b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400),
            (b"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 501),
            (b"POST / HTTP/1.1\r\nHost: x\r\n\r\n", 411),
        ]
        for data, status in cases:
            with self.subTest(data=data):
                self.assertEqual(self.status_of(data), status)
        self.assertEqual([e["status"] for e in self.events], [s for _, s in cases])
        self.assert_alive()

    def test_lf_only_and_http10_are_understood(self):
        raw = self.exchange(b"GET /x HTTP/1.0\n\n")
        status, headers, body = support.split_response(raw)
        self.assertEqual((status, headers["connection"], json.loads(body)["version"]),
                         (200, "close", "HTTP/1.0"))

    def test_handler_failure_gives_500_and_the_server_lives_on(self):
        import contextlib
        import io
        with contextlib.redirect_stderr(io.StringIO()) as err:
            self.assertEqual(support.http_request(self.port, "GET", "/boom").status, 500)
        self.assertIn("handler failure", err.getvalue())
        self.assert_alive()

    def test_expect_continue(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(b"POST /e HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\n")
            self.assertEqual(s.recv(100), b"HTTP/1.1 100 Continue\r\n\r\n")
            s.sendall(b"abc")
            answer = b""
            while b"}" not in answer:
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
            self.assertIn(b'"body": "abc"', answer)

    def test_pipelined_requests_are_answered_in_order(self):
        raw = self.exchange(b"GET /1 HTTP/1.1\r\nHost: x\r\n\r\n"
                            b"POST /2 HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nhi"
                            b"GET /3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        paths = [json.loads(part.split(b"\r\n\r\n", 1)[1][:200].split(b"}")[0] + b"}")["path"]
                 for part in raw.split(b"HTTP/1.1 200 OK")[1:]]
        self.assertEqual(paths, ["/1", "/2", "/3"])

    def test_random_garbage_never_kills_the_server(self):
        rng = random.Random(20261209)
        for _ in range(150):
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300)))
            if rng.random() < 0.5:
                data = b"POST / HTTP/1.1\r\nHost: x\r\n" + data + b"\r\n\r\n"
            else:
                data += b"\r\n\r\n"
            self.exchange(data, timeout=2)
        self.assert_alive()


class SizeCapTest(CoreCase):
    limits = {"max_head_bytes": 2048, "max_headers": 10, "max_body": 1000}

    def test_head_and_header_count_caps(self):
        big = b"GET / HTTP/1.1\r\nHost: x\r\nX: " + b"a" * 3000 + b"\r\n\r\n"
        self.assertEqual(self.status_of(big), 431)
        unterminated = b"GET / HTTP/1.1\r\nHost: x\r\nX: " + b"a" * 5000
        self.assertEqual(self.status_of(unterminated), 431)
        many = b"GET / HTTP/1.1\r\nHost: x\r\n" + b"".join(b"H%d: v\r\n" % i for i in range(10)) + b"\r\n"
        self.assertEqual(self.status_of(many), 431)
        nine = b"GET / HTTP/1.1\r\nHost: x\r\n" + b"".join(b"H%d: v\r\n" % i for i in range(9)) + b"\r\n"
        self.assertEqual(self.status_of(nine), 200)

    def test_body_cap_is_announced_before_the_body_is_read(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1001\r\n\r\n")
            status, headers, _ = support.split_response(s.recv(4096))
        self.assertEqual((status, headers["connection"]), (413, "close"))

    def test_client_sending_the_whole_oversized_body_still_reads_413(self):
        reply = support.http_request(self.port, "POST", "/", b"x" * 200000)
        self.assertEqual(reply.status, 413)


class TimeoutTest(CoreCase):
    limits = {"head_timeout": 0.5, "idle_timeout": 0.5, "body_timeout": 0.5,
              "max_requests_per_connection": 3}

    def test_slow_head_gets_408(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(b"GET / HTTP/1.1\r\n")
            start = time.monotonic()
            data = s.recv(4096)
            self.assertLess(time.monotonic() - start, 3)
        self.assertEqual(support.split_response(data)[0], 408)

    def test_trickled_head_is_bounded_in_total(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            start = time.monotonic()
            answer = b""
            for ch in b"GET / HTTP/1.1\r\nHost: x\r\nX-Long: abcdefghijklmnopqrstuvwxyz\r\n":
                try:
                    s.sendall(bytes([ch]))
                except OSError:
                    break
                time.sleep(0.05)
                s.setblocking(False)
                try:
                    answer += s.recv(4096)
                except BlockingIOError:
                    pass
                s.setblocking(True)
                if answer:
                    break
            self.assertLess(time.monotonic() - start, 3)
        self.assertEqual(support.split_response(answer)[0], 408)

    def test_slow_body_gets_408(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc")
            self.assertEqual(support.split_response(s.recv(4096))[0], 408)

    def test_idle_keep_alive_connection_is_closed(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
            first = s.recv(4096)
            self.assertIn(b"200 OK", first)
            start = time.monotonic()
            self.assertEqual(s.recv(4096), b"")
            self.assertLess(time.monotonic() - start, 3)

    def test_requests_per_connection_are_capped(self):
        raw = self.exchange(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n" * 5)
        self.assertEqual(raw.count(b"HTTP/1.1 200 OK"), 3)
        self.assertEqual(raw.count(b"Connection: close"), 1)


class ConnectionCapTest(CoreCase):
    limits = {"max_connections": 2, "max_stall": 5}

    def test_connections_beyond_the_cap_get_503(self):
        holders = []
        try:
            for _ in range(2):
                s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
                s.sendall(b"GET /hold HTTP/1.1\r\nHost: x\r\n\r\n")
                holders.append(s)
            time.sleep(0.2)
            self.assertEqual(self.status_of(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"), 503)
        finally:
            for s in holders:
                s.close()
        self.assertTrue(support.wait_for(
            lambda: support.http_request(self.port, "GET", "/").status == 200, 10))

    def test_stop_with_open_connections_is_prompt(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        s.sendall(b"GET /hold HTTP/1.1\r\nHost: x\r\n\r\n")
        idle = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        time.sleep(0.2)
        start = time.monotonic()
        self.server.stop()
        self.assertLess(time.monotonic() - start, 2)
        self.assertTrue(support.port_refuses(self.port))
        s.close()
        idle.close()
        self.assertFalse([t for t in threading.enumerate() if t.name.startswith("test-")])


if __name__ == "__main__":
    unittest.main()
