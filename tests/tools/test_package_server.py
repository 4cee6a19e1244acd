import hashlib
import os
import socket
import threading
import time
import unittest
import urllib.error
import urllib.request

import support
from support import http_request
from pavsvc import faults
from pavsvc.httpcore import Limits
from pavsvc.package_server import PackageServer, plain_name

SIZE = 200001          # odd, so that half and one-less differ


def pf(text):
    return faults.parse_fault(text, faults.PACKAGE_FAULTS)


class PackageCase(support.TempDirCase):
    fault = None
    file_faults = None
    limits = None

    def setUp(self):
        super().setUp()
        self.data = os.urandom(SIZE)
        self.write("pkg/setup.exe", self.data)
        self.write("pkg/other.exe", b"other")
        self.write("pkg/empty.bin", b"")
        self.write("secret.txt", b"outside the package folder")
        self.log_path = self.path("packages.jsonl")
        self.server = PackageServer(self.path("pkg"), port=0, fault=self.fault,
                                    file_faults=self.file_faults, log_path=self.log_path,
                                    limits=self.limits).start()
        self.addCleanup(self.server.stop)
        self.port = self.server.port

    def get_raw(self, path, method="GET", timeout=10):
        """(status, headers, body bytes, closed_by) using a raw socket."""
        return support.raw_exchange(self.port, ("%s %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
                                                % (method, path)).encode(), timeout=timeout)

    def log_entries(self, n):
        support.wait_for(lambda: len(support.read_log(self.log_path)) >= n)
        return support.read_log(self.log_path)


class ServeTest(PackageCase):
    def test_file_with_content_length(self):
        reply = http_request(self.port, "GET", "/setup.exe")
        self.assertEqual(reply.status, 200)
        self.assertEqual(reply.body, self.data)
        self.assertEqual(reply.header("Content-Length"), str(SIZE))
        self.assertEqual(reply.header("Content-Type"), "application/octet-stream")
        entry = self.log_entries(1)[-1]
        self.assertEqual((entry["file"], entry["size"], entry["bytes"], entry["complete"]),
                         ("setup.exe", SIZE, SIZE, True))

    def test_head_sends_no_body(self):
        raw = self.get_raw("/setup.exe", "HEAD")
        status, headers, body = support.split_response(raw)
        self.assertEqual((status, headers["content-length"], body), (200, str(SIZE), b""))

    def test_empty_file_and_query_string(self):
        reply = http_request(self.port, "GET", "/empty.bin")
        self.assertEqual((reply.status, reply.header("Content-Length"), reply.body), (200, "0", b""))
        self.assertEqual(http_request(self.port, "GET", "/other.exe?v=1").body, b"other")

    def test_percent_escapes_in_names(self):
        self.write("pkg/with space.exe", b"spaced")
        self.assertEqual(http_request(self.port, "GET", "/with%20space.exe").body, b"spaced")

    def test_nothing_outside_the_folder_is_served(self):
        os.symlink(self.path("secret.txt"), self.path("pkg", "link.txt"))
        os.makedirs(self.path("pkg", "sub"))
        self.write("pkg/sub/inner.exe", b"inner")
        for path in ("/../secret.txt", "/..%2Fsecret.txt", "/%2e%2e%2fsecret.txt", "/%2E%2E/secret.txt",
                     "/..%5Csecret.txt", "/link.txt", "/sub/inner.exe", "/sub", "/", "//setup.exe",
                     "/.", "/%00setup.exe", "/setup.exe%00", "/%FF.exe", "/a:b"):
            with self.subTest(path=path):
                raw = self.get_raw(path)
                status, _, body = support.split_response(raw)
                self.assertEqual(status, 404)
                self.assertNotIn(b"outside", body)

    def test_only_get_and_head(self):
        reply = http_request(self.port, "POST", "/setup.exe", b"x")
        self.assertEqual((reply.status, reply.header("Allow")), (405, "GET, HEAD"))

    def test_large_file_streams_intact(self):
        big = os.urandom(8 * 1024 * 1024 + 3)
        self.write("pkg/big.bin", big)
        with urllib.request.urlopen("http://127.0.0.1:%d/big.bin" % self.port, timeout=30) as r:
            got = r.read()
        self.assertEqual(hashlib.sha256(got).digest(), hashlib.sha256(big).digest())

    def test_keep_alive_serves_several_files_on_one_connection(self):
        import http.client
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            for name, data in (("other.exe", b"other"), ("setup.exe", self.data), ("other.exe", b"other")):
                conn.request("GET", "/" + name)
                self.assertEqual(conn.getresponse().read(), data)
        finally:
            conn.close()
        clients = {e["client"] for e in self.log_entries(3)}
        self.assertEqual(len(clients), 1)


class PlainNameTest(unittest.TestCase):
    def test_plain_names(self):
        for name in ("setup.exe", "a b.exe", "中文.exe", "x..y"):
            self.assertTrue(plain_name(name), name)
        for name in ("", ".", "..", "a/b", "a\\b", "a:b", "a*b", "a?b", 'a"b', "a<b", "a>b",
                     "a|b", "a\x00b", "a\x1fb", "a\x7fb", "x" * 256):
            self.assertFalse(plain_name(name), repr(name))


class PrefixFaultTest(PackageCase):
    def test_short_sends_one_byte_less_than_announced(self):
        status, headers, body = support.split_response(self.get_raw("/fault/short/setup.exe"))
        self.assertEqual((status, headers["content-length"]), (200, str(SIZE)))
        self.assertEqual(body, self.data[:SIZE - 1])
        status, headers, body = support.split_response(self.get_raw("/fault/short/empty.bin"))
        self.assertEqual((headers["content-length"], body), ("1", b""))
        entry = self.log_entries(2)[0]
        self.assertEqual((entry["fault"], entry["bytes"], entry["complete"]), ("short", SIZE - 1, False))

    def test_short_seen_by_a_client_as_incomplete(self):
        import http.client
        with self.assertRaises(http.client.IncompleteRead):
            http_request(self.port, "GET", "/fault/short/setup.exe")

    def test_cut_sends_half_then_closes(self):
        status, headers, body = support.split_response(self.get_raw("/fault/cut/setup.exe"))
        self.assertEqual((status, headers["content-length"], headers["connection"]), (200, str(SIZE), "close"))
        self.assertEqual(body, self.data[:SIZE // 2])

    def test_reset_sends_half_then_resets(self):
        raw = self.get_raw("/fault/reset/setup.exe")
        self.assertTrue(raw.endswith(b"<RST>"), raw[-20:])
        status, headers, body = support.split_response(raw[:-len(b"<RST>")])
        self.assertEqual((status, headers["content-length"]), (200, str(SIZE)))
        self.assertEqual(body, self.data[:SIZE // 2])

    def test_chunked_has_no_content_length(self):
        status, headers, body = support.split_response(self.get_raw("/fault/chunked/setup.exe"))
        self.assertEqual(headers.get("transfer-encoding"), "chunked")
        self.assertNotIn("content-length", headers)
        self.assertEqual(http_request(self.port, "GET", "/fault/chunked/setup.exe").body, self.data)

    def test_status_faults(self):
        for fault, status in (("404", 404), ("500", 500)):
            self.assertEqual(http_request(self.port, "GET", "/fault/%s/setup.exe" % fault).status, status)
        reply = http_request(self.port, "GET", "/fault/empty/setup.exe")
        self.assertEqual((reply.status, reply.header("Content-Length"), reply.body), (200, "0", b""))

    def test_close_answers_nothing(self):
        self.assertEqual(self.get_raw("/fault/close/setup.exe"), b"")

    def test_unknown_fault_or_missing_file_is_404(self):
        for path in ("/fault/nope/setup.exe", "/fault/slow=x/setup.exe", "/fault/short/missing.exe",
                     "/fault/short/../secret.txt"):
            self.assertEqual(support.split_response(self.get_raw(path))[0], 404, path)

    def test_slow_sends_head_at_once_and_body_after_the_wait(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            start = time.monotonic()
            s.sendall(b"GET /fault/slow=600/other.exe HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            head = s.recv(4096)
            head_at = time.monotonic() - start
            rest = b""
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                rest += chunk
            body_at = time.monotonic() - start
        self.assertIn(b"200 OK", head)
        self.assertLess(head_at, 0.4)
        self.assertGreaterEqual(body_at, 0.6)
        self.assertTrue((head + rest).endswith(b"\r\n\r\nother"))

    def test_stall_sends_nothing_until_the_wait_is_over(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            start = time.monotonic()
            s.sendall(b"GET /fault/stall=500/other.exe HTTP/1.1\r\nHost: x\r\n\r\n")
            first = s.recv(1)
            self.assertGreaterEqual(time.monotonic() - start, 0.5)
            self.assertEqual(first, b"H")


class FileFaultTest(PackageCase):
    fault = pf("404")
    file_faults = {"setup.exe": pf("short")}

    def test_prefix_beats_file_fault_beats_server_fault(self):
        self.assertEqual(http_request(self.port, "GET", "/other.exe").status, 404)
        status, headers, body = support.split_response(self.get_raw("/setup.exe"))
        self.assertEqual(len(body), SIZE - 1)
        self.assertEqual(http_request(self.port, "GET", "/fault/chunked/other.exe").body, b"other")


class AliasTest(PackageCase):
    def test_a_name_that_is_not_plain_serves_the_aliased_file_only(self):
        server = PackageServer(self.path("pkg"), port=0, log_path=self.path("alias.jsonl"),
                               aliases={"..\\..\\evil.exe": "other.exe"},
                               file_faults={"other.exe": pf("short")}).start()
        self.addCleanup(server.stop)
        raw = support.raw_exchange(server.port, b"GET /..%5C..%5Cevil.exe HTTP/1.1\r\nHost: x\r\n\r\n")
        status, headers, body = support.split_response(raw)
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-length"], "5")
        # The served file's own fault applies: all but the last byte.
        self.assertEqual(body, b"othe")
        self.assertTrue(support.wait_for(lambda: support.read_log(self.path("alias.jsonl")), 5))
        entry = support.read_log(self.path("alias.jsonl"))[0]
        self.assertEqual((entry["alias"], entry["file"]), ("..\\..\\evil.exe", "other.exe"))
        # Unaliased names that are not plain stay refused; a near miss is no alias.
        for path in ("/..%5Csecret.txt", "/..%5C..%5Cevil.ex", "/../secret.txt"):
            self.assertEqual(http_request(server.port, "GET", path).status, 404, path)

    def test_targets_must_be_plain_names_of_the_folder(self):
        for target in ("../secret.txt", "", "a\\b", None):
            with self.assertRaises(ValueError, msg=repr(target)):
                PackageServer(self.path("pkg"), port=0, aliases={"x": target})


class BoundedStallTest(PackageCase):
    fault = pf("slow=600000")
    limits = Limits(max_stall=0.5)

    def test_stall_is_capped(self):
        start = time.monotonic()
        reply = http_request(self.port, "GET", "/other.exe", timeout=10)
        self.assertEqual(reply.body, b"other")
        self.assertLess(time.monotonic() - start, 3)

    def test_client_leaving_ends_the_stall(self):
        server = PackageServer(self.path("pkg"), port=0, fault=pf("stall=600000"),
                               log_path=self.path("stall.jsonl"), limits=Limits(max_stall=30)).start()
        self.addCleanup(server.stop)
        with socket.create_connection(("127.0.0.1", server.port), timeout=5) as s:
            s.sendall(b"GET /other.exe HTTP/1.1\r\nHost: x\r\n\r\n")
            time.sleep(0.2)
        start = time.monotonic()
        self.assertTrue(support.wait_for(lambda: support.read_log(self.path("stall.jsonl")), 5))
        self.assertLess(time.monotonic() - start, 3)
        self.assertEqual(support.read_log(self.path("stall.jsonl"))[0]["status"], None)

    def test_stop_ends_a_stall_at_once(self):
        server = PackageServer(self.path("pkg"), port=0, fault=pf("stall=600000"),
                               limits=Limits(max_stall=30)).start()
        result = {}

        def fetch():
            result["raw"] = support.raw_exchange(server.port, b"GET /other.exe HTTP/1.1\r\nHost: x\r\n\r\n",
                                                 timeout=20)
        t = threading.Thread(target=fetch)
        t.start()
        time.sleep(0.3)
        start = time.monotonic()
        server.stop()
        t.join(10)
        self.assertFalse(t.is_alive())
        self.assertLess(time.monotonic() - start, 3)
        self.assertEqual(result["raw"], b"")


if __name__ == "__main__":
    unittest.main()


class RangeTest(PackageCase):
    def get(self, path, headers):
        extra = "".join("%s: %s\r\n" % kv for kv in headers)
        raw = support.raw_exchange(self.port, ("GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n%s\r\n"
                                               % (path, extra)).encode(), timeout=10)
        return support.split_response(raw)

    def test_ranges_and_validators(self):
        _, whole, _ = self.get("/setup.exe", [])
        etag, date = whole["etag"], whole["last-modified"]
        self.assertEqual(whole["accept-ranges"], "bytes")
        self.assertRegex(etag, r'^"[0-9a-f]+-[0-9a-f]+"$')
        # (headers, status, first byte, bytes, Content-Range)
        cases = [
            ([("Range", "bytes=1000-")], 206, 1000, SIZE - 1000, "bytes 1000-%d/%d" % (SIZE - 1, SIZE)),
            ([("Range", "bytes=10-19")], 206, 10, 10, "bytes 10-19/%d" % SIZE),
            ([("Range", "bytes=%d-" % (SIZE - 1))], 206, SIZE - 1, 1, "bytes %d-%d/%d" % (SIZE - 1, SIZE - 1, SIZE)),
            ([("Range", "bytes=5-"), ("If-Range", etag)], 206, 5, SIZE - 5, None),
            ([("Range", "bytes=5-"), ("If-Range", date)], 206, 5, SIZE - 5, None),
            ([("Range", "bytes=5-"), ("If-Range", '"other"')], 200, 0, SIZE, None),
            ([("Range", "bytes=5-"), ("If-Range", etag.strip('"'))], 200, 0, SIZE, None),
            ([("Range", "bytes=0-1,5-9")], 200, 0, SIZE, None),
            ([("Range", "bytes=-100")], 200, 0, SIZE, None),
            ([("Range", "bytes=9-5")], 200, 0, SIZE, None),
            ([("Range", "bytes=1-"), ("Range", "bytes=2-")], 200, 0, SIZE, None),
            ([("Range", "bytes=%d-" % SIZE)], 416, 0, 0, "bytes */%d" % SIZE),
        ]
        for headers, status, first, count, content_range in cases:
            with self.subTest(headers=headers):
                got, hdrs, body = self.get("/setup.exe", headers)
                self.assertEqual(got, status)
                if status == 416:
                    self.assertEqual(hdrs["content-range"], content_range)
                    continue
                self.assertEqual(body, self.data[first:first + count])
                self.assertEqual(hdrs["content-length"], str(count))
                self.assertEqual(hdrs["etag"], etag)
                if content_range:
                    self.assertEqual(hdrs["content-range"], content_range)
                if status == 200:
                    self.assertNotIn("content-range", hdrs)
        entries = self.log_entries(len(cases) + 1)
        self.assertEqual(entries[1]["range"], [1000, SIZE - 1])
        self.assertTrue(entries[1]["complete"])

    def test_a_changed_file_has_another_etag(self):
        _, before, _ = self.get("/setup.exe", [])
        self.write("pkg/setup.exe", self.data[::-1])
        status, after, body = self.get("/setup.exe", [("Range", "bytes=7-"), ("If-Range", before["etag"])])
        self.assertNotEqual(after["etag"], before["etag"])
        self.assertEqual((status, body), (200, self.data[::-1]))

    def test_cutevery_closes_each_answer_after_n_body_bytes(self):
        n = 65536
        got, first = b"", True
        for _ in range(SIZE // n + 1):
            headers = [] if first else [("Range", "bytes=%d-" % len(got))]
            status, hdrs, body = self.get("/fault/cutevery=%d/setup.exe" % n, headers)
            self.assertEqual(status, 200 if first else 206)
            self.assertEqual(hdrs["connection"], "close")
            self.assertLessEqual(len(body), n)
            got += body
            first = False
        self.assertEqual(got, self.data)
        entries = self.log_entries(SIZE // n + 1)
        self.assertEqual([e["complete"] for e in entries], [False] * (SIZE // n) + [True])
        self.assertEqual(sum(e["bytes"] for e in entries), SIZE)
        with self.assertRaises(ValueError):
            pf("cutevery=0")
