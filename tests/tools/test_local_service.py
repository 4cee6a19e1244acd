import json
import shutil
import socket
import ssl
import tempfile
import unittest

import support
from support import CLIENT_HEADERS, http_request
from pavsvc import faults
from pavsvc.local_service import DEFAULT_VERSION, LocalService

BODY = b"crosFlag=0"


def setUpModule():
    global CA_DIR, CA, CERT, KEY, OTHER_CA, OTHER_CERT, OTHER_KEY, WRONG_NAME
    CA_DIR = tempfile.mkdtemp(prefix="pavonix-ca-")
    CA = support.TestCA(CA_DIR + "/")
    CERT, KEY = CA.issue("local")
    WRONG_NAME = CA.issue("wrongname", san="DNS:localhost.invalid")
    other_dir = CA_DIR + "/other"
    import os
    os.makedirs(other_dir)
    OTHER_CA = support.TestCA(other_dir)
    OTHER_CERT, OTHER_KEY = OTHER_CA.issue("local")


def tearDownModule():
    shutil.rmtree(CA_DIR, True)


class LocalCase(support.TempDirCase):
    mode = None
    cert = None

    def setUp(self):
        super().setUp()
        self.log_path = self.path("local.jsonl")
        mode = faults.parse_fault(self.mode, faults.LOCAL_MODES) if self.mode else None
        cert, key = self.cert or (CERT, KEY)
        self.service = LocalService(cert, key, port=0, mode=mode, log_path=self.log_path).start()
        self.addCleanup(self.service.stop)
        self.port = self.service.port
        self.ctx = CA.client_context()

    def query(self, body=BODY, path="/api/getVersion", method="POST"):
        return http_request(self.port, method, path, body, dict(CLIENT_HEADERS), context=self.ctx)


class HealthyTest(LocalCase):
    def test_answer_over_verified_tls(self):
        reply = self.query()
        self.assertEqual(reply.status, 200)
        self.assertEqual(reply.header("Content-Length"), str(len(reply.body)))
        self.assertEqual(reply.body, ('{"code":0,"msg":"成功","version":"%s"}' % DEFAULT_VERSION).encode("utf-8"))
        answer = reply.json()
        self.assertIsInstance(answer["code"], int)

    def test_request_is_logged_with_its_form(self):
        self.query()
        entry = support.read_log(self.log_path)[-1]
        self.assertEqual((entry["path"], entry["body"], entry["form"], entry["status"]),
                         ("/api/getVersion", "crosFlag=0", {"crosFlag": "0"}, 200))
        self.assertEqual(entry["mode"], "ok")

    def test_bad_requests_get_json_errors_and_the_service_lives_on(self):
        for body, path, method, status in ((b"", "/api/getVersion", "POST", 400),
                                           (b"crosflag=0", "/api/getVersion", "POST", 400),
                                           (b"crosFlag=%G", "/api/getVersion", "POST", 400),
                                           (BODY, "/api/getversion", "POST", 404),
                                           (None, "/api/getVersion", "GET", 405)):
            with self.subTest(body=body, path=path, method=method):
                reply = self.query(body, path, method)
                self.assertEqual(reply.status, status)
                self.assertEqual(reply.json()["code"], status)
        self.assertEqual(self.query().json()["code"], 0)

    def test_client_that_does_not_trust_the_ca_fails_and_is_logged(self):
        with self.assertRaises(ssl.SSLCertVerificationError):
            http_request(self.port, "POST", "/api/getVersion", BODY, dict(CLIENT_HEADERS),
                         context=OTHER_CA.client_context())
        self.assertTrue(support.wait_for(
            lambda: any(e.get("event") == "tls-error" for e in support.read_log(self.log_path))))
        self.assertEqual(self.query().status, 200)

    def test_plain_http_on_the_tls_port_does_not_hang_the_service(self):
        raw = support.raw_exchange(self.port, b"POST /api/getVersion HTTP/1.1\r\nHost: x\r\n\r\n", timeout=5)
        self.assertNotIn(b"200 OK", raw)
        self.assertEqual(self.query().status, 200)

    def test_silent_client_is_dropped_after_the_handshake_timeout(self):
        self.service.server.limits.tls_handshake_timeout = 0.3
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            self.assertEqual(s.recv(10), b"")


class WrongNameTest(LocalCase):
    cert = None

    def setUp(self):
        self.cert = WRONG_NAME
        super().setUp()

    def test_certificate_for_another_name_fails_verification(self):
        with self.assertRaises(ssl.SSLCertVerificationError):
            self.query()


class ModeTest(support.TempDirCase):
    """Every mode, each against a service of its own."""

    def answer(self, mode_text):
        mode = faults.parse_fault(mode_text, faults.LOCAL_MODES)
        service = LocalService(CERT, KEY, port=0, mode=mode).start()
        self.addCleanup(service.stop)
        return service, http_request(service.port, "POST", "/api/getVersion", BODY,
                                     dict(CLIENT_HEADERS), context=CA.client_context())

    def test_code1(self):
        _, reply = self.answer("code1")
        self.assertEqual(reply.status, 200)
        self.assertEqual(reply.json()["code"], 1)
        self.assertIsInstance(reply.json()["msg"], str)

    def test_notjson(self):
        _, reply = self.answer("notjson")
        self.assertEqual(reply.status, 200)
        self.assertRaises(ValueError, json.loads, reply.body)

    def test_status_modes(self):
        for mode, status in (("404", 404), ("500", 500)):
            _, reply = self.answer(mode)
            self.assertEqual(reply.status, status)

    def test_noversion(self):
        _, reply = self.answer("noversion")
        self.assertEqual(set(reply.json()), {"code", "msg"})
        self.assertEqual(reply.json()["code"], 0)

    def test_empty(self):
        _, reply = self.answer("empty")
        self.assertEqual((reply.status, reply.body, reply.header("Content-Length")), (200, b"", "0"))

    def test_chunked(self):
        _, reply = self.answer("chunked")
        self.assertEqual(reply.header("Transfer-Encoding"), "chunked")
        self.assertIsNone(reply.header("Content-Length"))
        self.assertEqual(reply.json()["version"], DEFAULT_VERSION)

    def test_slow(self):
        import time
        start = time.monotonic()
        _, reply = self.answer("slow=300")
        self.assertGreaterEqual(time.monotonic() - start, 0.3)
        self.assertEqual(reply.json()["code"], 0)

    def test_close(self):
        import http.client
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError, ssl.SSLError)):
            self.answer("close")

    def test_down_is_not_a_service(self):
        with self.assertRaises(ValueError):
            LocalService(CERT, KEY, port=0, mode=faults.parse_fault("down", faults.LOCAL_MODES))


if __name__ == "__main__":
    unittest.main()
