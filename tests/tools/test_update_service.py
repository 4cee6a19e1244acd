import json
import os
import socket
import time
import unittest

import support
from support import CLIENT_HEADERS, http_request, update_body
from pavsvc import faults
from pavsvc.httpcore import Limits
from pavsvc.update_service import Catalogue, CatalogueError, UpdateService, parse_catalogue

PKG = "http://127.0.0.1:9007"

CATALOGUE = {
    "_comment": "test catalogue",
    "products": {
        "levyDesk": {
            "V1.0": [
                {"address": "{packages}/levydesk_setup.exe", "version": "V1.0",
                 "soft": "levyDesk", "excuteExe": True},
                {"address": "{packages}/readme.txt", "version": "V1.0",
                 "soft": "levyDesk", "excuteExe": False, "_note": "not sent"},
            ],
            "*": [{"address": "{packages}/levydesk_any.exe", "version": "V0",
                   "soft": "levyDesk", "excuteExe": True}],
        },
        "ZYN-HARBOLT": {
            "V1.0-20200902": {"packages": [{"address": "{packages}/harbolt.exe",
                                            "version": "V1.0-20200902", "soft": "ZYN-HARBOLT",
                                            "excuteExe": "false", "size": 12}],
                              "msg": "ok"},
        },
        "broken": {"*": {"packages": [{"address": "{packages}/b.exe"}], "fault": "500"}},
        "busy": {"*": {"packages": [], "code": "7", "msg": "try later"}},
        "exitnine": {"V9": []},
    },
}


class UpdateServiceCase(support.TempDirCase):
    fault = None
    limits = None

    def setUp(self):
        super().setUp()
        self.catalogue_path = self.write("catalogue.json", json.dumps(CATALOGUE))
        self.log_path = self.path("update.jsonl")
        self.service = UpdateService(Catalogue(self.catalogue_path, PKG), port=0, fault=self.fault,
                                     log_path=self.log_path, limits=self.limits).start()
        self.addCleanup(self.service.stop)
        self.port = self.service.port

    def post(self, body, path="//softServer/req", headers=None):
        return http_request(self.port, "POST", path, body, headers or dict(CLIENT_HEADERS))

    def ask(self, soft="levyDesk", version="V1.0", **kw):
        return self.post(update_body(soft, version), **kw)


class AnswerTest(UpdateServiceCase):
    def test_answer_is_byte_exact_with_content_length(self):
        reply = self.ask()
        expected = ('{"code":"0","data":{"softList":['
                    '{"address":"http://127.0.0.1:9007/levydesk_setup.exe","version":"V1.0",'
                    '"soft":"levyDesk","excuteExe":true},'
                    '{"address":"http://127.0.0.1:9007/readme.txt","version":"V1.0",'
                    '"soft":"levyDesk","excuteExe":false}]}}').encode("ascii")
        self.assertEqual(reply.status, 200)
        self.assertEqual(reply.body, expected)
        self.assertEqual(reply.header("Content-Length"), str(len(expected)))
        self.assertIsNone(reply.header("Transfer-Encoding"))
        self.assertTrue(reply.header("Content-Type").startswith("application/json"))

    def test_both_paths_answer_the_same(self):
        self.assertEqual(self.ask(path="/softServer/req").body, self.ask(path="//softServer/req").body)
        self.assertEqual(self.ask(path="/softServer/req/").status, 404)
        self.assertEqual(self.ask(path="///softServer/req").status, 404)

    def test_exact_version_wins_over_the_fallback(self):
        self.assertEqual([p["address"] for p in self.ask(version="V2.0").json()["data"]["softList"]],
                         [PKG + "/levydesk_any.exe"])
        self.assertEqual(len(self.ask(version="V1.0").json()["data"]["softList"]), 2)

    def test_entries_are_sent_as_written(self):
        answer = self.ask("ZYN-HARBOLT", "V1.0-20200902").json()
        self.assertEqual(answer, {"code": "0", "msg": "ok", "data": {"softList": [
            {"address": PKG + "/harbolt.exe", "version": "V1.0-20200902",
             "soft": "ZYN-HARBOLT", "excuteExe": "false", "size": 12}]}})

    def test_entry_code_and_empty_list(self):
        self.assertEqual(self.ask("busy").body, b'{"code":"7","msg":"try later","data":{"softList":[]}}')
        self.assertEqual(self.ask("exitnine", "V9").body, b'{"code":"0","data":{"softList":[]}}')

    def test_unknown_product_and_unknown_version(self):
        reply = self.ask("nosuch")
        self.assertEqual((reply.status, reply.json()), (200, {"code": "2", "msg": "unknown product: nosuch"}))
        reply = self.ask("ZYN-HARBOLT", "V0")
        self.assertEqual(reply.status, 200)
        self.assertEqual(reply.json()["code"], "3")

    def test_several_products_in_one_request(self):
        text = ('{"data":{"softList":[{"soft":"nosuch","upgrade":"false","version":"1"},'
                '{"soft":"ZYN-HARBOLT","upgrade":"false","version":"V1.0-20200902"},'
                '{"soft":"levyDesk","upgrade":"false","version":"V7"}]},'
                '"pid":"PROTOCOL_99","uid":"U"}')
        answer = self.post(b"requestStr=" + support.client_encode(text.encode())).json()
        self.assertEqual([p["address"] for p in answer["data"]["softList"]],
                         [PKG + "/harbolt.exe", PKG + "/levydesk_any.exe"])

    def test_other_form_fields_are_ignored(self):
        body = b"a=1&" + update_body() + b"&requestStr=ignored"
        self.assertEqual(self.post(body).json()["code"], "0")

    def test_gbk_request_text_is_understood(self):
        text = '{"data":{"softList":[{"soft":"levyDesk","upgrade":"false","version":"V1.0"}]},' \
               '"pid":"PROTOCOL_99","uid":"开票机"}\n'
        self.post(b"requestStr=" + support.client_encode(text.encode("gbk")))
        entry = support.read_log(self.log_path)[-1]
        self.assertEqual(entry["encoding"], "gbk")
        self.assertEqual(entry["request"]["uid"], "开票机")


class RequestLogTest(UpdateServiceCase):
    def test_each_request_is_one_line_with_what_arrived(self):
        uid = "0A1B2C3D-0000-4000-8000-00000000ABCD"
        body = update_body("levyDesk", "V1.0", uid)
        reply = self.post(body)
        self.post(b"requestStr=%7Bx")
        entries = support.read_log(self.log_path)
        self.assertEqual(len(entries), 2)
        first = entries[0]
        self.assertEqual(first["service"], "update-service")
        self.assertEqual(first["method"], "POST")
        self.assertEqual(first["path"], "//softServer/req")
        self.assertTrue(first["client"].startswith("127.0.0.1:"))
        headers = {k: v for k, v in first["headers"]}
        for name in ("User-Agent", "Cache-Control", "Content-Type"):
            self.assertEqual(headers[name], CLIENT_HEADERS[name])
        self.assertEqual(headers["Content-Length"], str(len(body)))
        self.assertEqual(first["body"], body.decode("ascii"))
        self.assertEqual(first["requestStr"], support.request_text("levyDesk", "V1.0", uid))
        self.assertEqual(first["request"], {"pid": "PROTOCOL_99", "uid": uid, "softList": [
            {"soft": "levyDesk", "version": "V1.0", "upgrade": "false"}]})
        self.assertEqual(first["status"], 200)
        self.assertEqual(first["answer"].encode("utf-8"), reply.body)
        self.assertRegex(first["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        second = entries[1]
        self.assertEqual((second["status"], second["request"]), (400, None))
        self.assertIn("not JSON", second["error"])


class BadRequestTest(UpdateServiceCase):
    CASES = [
        # (name, body, content type, status, code)
        ("bad escape", b"requestStr=%7", None, 400, "10"),
        ("no requestStr", b"requeststr=%7B%7D", None, 400, "11"),
        ("empty body", b"", None, 400, "11"),
        ("not JSON", b"requestStr=%7Bnot+json", None, 400, "12"),
        ("NUL inside", b"requestStr=%7B%00%7D", None, 400, "12"),
        ("top level array", b"requestStr=%5B%5D", None, 400, "13"),
        ("wrong pid", b"requestStr=" + support.client_encode(
            b'{"data":{"softList":[{"soft":"a","version":"b"}]},"pid":"P1","uid":"U"}'), None, 400, "14"),
        ("no uid", b"requestStr=" + support.client_encode(
            b'{"data":{"softList":[{"soft":"a","version":"b"}]},"pid":"PROTOCOL_99"}'), None, 400, "13"),
        ("empty softList", b"requestStr=" + support.client_encode(
            b'{"data":{"softList":[]},"pid":"PROTOCOL_99","uid":"U"}'), None, 400, "13"),
        ("soft a number", b"requestStr=" + support.client_encode(
            b'{"data":{"softList":[{"soft":1,"version":"b"}]},"pid":"PROTOCOL_99","uid":"U"}'),
         None, 400, "13"),
        ("softList not objects", b"requestStr=" + support.client_encode(
            b'{"data":{"softList":[null]},"pid":"PROTOCOL_99","uid":"U"}'), None, 400, "13"),
        ("deep nesting", b"requestStr=" + b"%5B" * 100000, None, 400, "12"),
        ("neither UTF-8 nor GBK", b"requestStr=%FF%FF%FF", None, 400, "10"),
        ("JSON body", b'{"pid":"PROTOCOL_99"}', "application/json", 415, "10"),
    ]

    def test_each_bad_request_gets_a_defined_json_error(self):
        for name, body, ctype, status, code in self.CASES:
            with self.subTest(name):
                headers = dict(CLIENT_HEADERS)
                if ctype:
                    headers["Content-Type"] = ctype
                reply = self.post(body, headers=headers)
                self.assertEqual(reply.status, status)
                answer = reply.json()
                self.assertEqual(answer["code"], code)
                self.assertIsInstance(answer["msg"], str)
        # and the service still answers properly afterwards
        self.assertEqual(self.ask().json()["code"], "0")
        self.assertEqual(len(support.read_log(self.log_path)), len(self.CASES) + 1)

    def test_wrong_method_and_path(self):
        reply = http_request(self.port, "GET", "//softServer/req")
        self.assertEqual((reply.status, reply.header("Allow"), reply.json()["code"]), (405, "POST", "405"))
        reply = self.ask(path="/other")
        self.assertEqual((reply.status, reply.json()["code"]), (404, "404"))

    def test_post_without_content_length_gets_411(self):
        raw = support.raw_exchange(self.port, b"POST //softServer/req HTTP/1.1\r\nHost: x\r\n"
                                   b"Content-Type: application/x-www-form-urlencoded\r\n\r\n")
        status, headers, body = support.split_response(raw)
        self.assertEqual(status, 411)
        self.assertEqual(json.loads(body)["code"], "411")


class CapTest(UpdateServiceCase):
    limits = Limits(max_body=4096)

    def test_body_over_the_cap_gets_413_and_at_the_cap_is_read(self):
        padding = b"&pad=" + b"x" * 4096
        reply = self.post(update_body() + padding)
        self.assertEqual((reply.status, reply.json()["code"]), (413, "413"))
        body = update_body()
        body += b"&p=" + b"y" * (4096 - len(body) - 3)
        self.assertEqual(len(body), 4096)
        self.assertEqual(self.post(body).json()["code"], "0")
        rejected = [e for e in support.read_log(self.log_path) if e.get("event") == "rejected"]
        self.assertEqual([e["status"] for e in rejected], [413])


class DefaultCapTest(UpdateServiceCase):
    def test_one_mebibyte_is_the_default_cap(self):
        base = update_body() + b"&p="
        at_cap = base + b"z" * (1024 * 1024 - len(base))
        self.assertEqual(self.post(at_cap).status, 200)
        self.assertEqual(self.post(at_cap + b"z").status, 413)


class GlobalFaultCase(UpdateServiceCase):
    fault_text = None

    def setUp(self):
        self.fault = faults.parse_fault(self.fault_text, faults.UPDATE_FAULTS)
        super().setUp()


class Fault404Test(GlobalFaultCase):
    fault_text = "404"

    def test_404_for_every_request(self):
        reply = self.ask()
        self.assertEqual(reply.status, 404)
        self.assertEqual(reply.header("Content-Length"), str(len(reply.body)))
        self.assertEqual(support.read_log(self.log_path)[-1]["fault"], "404")


class Fault500Test(GlobalFaultCase):
    fault_text = "500"

    def test_500_even_for_bad_requests(self):
        self.assertEqual(self.ask().status, 500)
        self.assertEqual(self.post(b"x=%").status, 500)


class FaultEmptyTest(GlobalFaultCase):
    fault_text = "empty"

    def test_200_with_content_length_zero(self):
        reply = self.ask()
        self.assertEqual((reply.status, reply.body, reply.header("Content-Length")), (200, b"", "0"))


class FaultChunkedTest(GlobalFaultCase):
    fault_text = "chunked"

    def test_chunked_without_content_length(self):
        body = update_body()
        raw = support.raw_exchange(self.port, b"POST //softServer/req HTTP/1.1\r\nHost: x\r\n"
                                   b"Content-Type: application/x-www-form-urlencoded\r\n"
                                   b"Connection: close\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
        status, headers, payload = support.split_response(raw)
        self.assertEqual(status, 200)
        self.assertEqual(headers.get("transfer-encoding"), "chunked")
        self.assertNotIn("content-length", headers)
        self.assertTrue(payload.endswith(b"0\r\n\r\n"))
        # http.client undoes the chunking: the payload is the normal answer
        self.assertEqual(self.ask().json()["data"]["softList"][0]["address"],
                         PKG + "/levydesk_setup.exe")

    def test_http10_client_gets_a_close_delimited_body(self):
        body = update_body()
        raw = support.raw_exchange(self.port, b"POST //softServer/req HTTP/1.0\r\n"
                                   b"Content-Type: application/x-www-form-urlencoded\r\n"
                                   b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
        status, headers, payload = support.split_response(raw)
        self.assertNotIn("content-length", headers)
        self.assertNotIn("transfer-encoding", headers)
        self.assertEqual(json.loads(payload)["code"], "0")


class FaultNotJsonTest(GlobalFaultCase):
    fault_text = "notjson"

    def test_200_with_html(self):
        reply = self.ask()
        self.assertEqual(reply.status, 200)
        self.assertTrue(reply.body.startswith(b"<html>"))
        self.assertRaises(ValueError, reply.json)


class FaultCode1Test(GlobalFaultCase):
    fault_text = "code1"

    def test_code_1_still_carries_the_packages(self):
        answer = self.ask().json()
        self.assertEqual(answer["code"], "1")
        self.assertEqual(len(answer["data"]["softList"]), 2)


class FaultListTest(GlobalFaultCase):
    fault_text = "list=20"

    def test_twenty_packages_cycled_from_the_entry(self):
        packages = self.ask().json()["data"]["softList"]
        self.assertEqual(len(packages), 20)
        self.assertEqual([p["address"].rsplit("/", 1)[1] for p in packages[:3]],
                         ["levydesk_setup.exe", "readme.txt", "levydesk_setup.exe"])
        self.assertEqual(self.ask("exitnine", "V9").json()["data"]["softList"], [])


class FaultSlowTest(GlobalFaultCase):
    fault_text = "slow=400"

    def test_answer_comes_after_the_wait(self):
        start = time.monotonic()
        reply = self.ask()
        self.assertGreaterEqual(time.monotonic() - start, 0.4)
        self.assertEqual(reply.json()["code"], "0")


class FaultCloseTest(GlobalFaultCase):
    fault_text = "close"

    def test_connection_closed_without_an_answer(self):
        body = update_body()
        raw = support.raw_exchange(self.port, b"POST //softServer/req HTTP/1.1\r\nHost: x\r\n"
                                   b"Content-Type: application/x-www-form-urlencoded\r\n"
                                   b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
        self.assertEqual(raw, b"")


class EntryFaultTest(UpdateServiceCase):
    def test_fault_of_one_entry_leaves_others_alone(self):
        self.assertEqual(self.ask("broken", "V1").status, 500)
        self.assertEqual(self.ask().status, 200)


class CatalogueReloadTest(UpdateServiceCase):
    def _rewrite(self, text):
        # a different size makes the change visible even within one mtime tick
        with open(self.catalogue_path, "w") as f:
            f.write(text)
        st = os.stat(self.catalogue_path)
        os.utime(self.catalogue_path, ns=(st.st_atime_ns, st.st_mtime_ns + 1000000))

    def test_changed_file_is_read_again_and_a_broken_one_is_ignored(self):
        self.assertEqual(self.ask("fresh").json()["code"], "2")
        self._rewrite(json.dumps({"products": {"fresh": {"*": [{"address": "{packages}/f.exe"}]}}}))
        self.assertEqual(self.ask("fresh").json(),
                         {"code": "0", "data": {"softList": [{"address": PKG + "/f.exe"}]}})
        self._rewrite("{broken")
        self.assertEqual(self.ask("fresh").json()["code"], "0")


class CatalogueValidationTest(unittest.TestCase):
    def test_bad_catalogues_are_refused_with_a_reason(self):
        bad = [
            ([], "products"),
            ({"products": []}, "products"),
            ({"products": {"a": []}}, "versions"),
            ({"products": {"a": {"1": "x"}}}, "list of packages"),
            ({"products": {"a": {"1": {"packages": {}}}}}, "must be a list"),
            ({"products": {"a": {"1": {"pakages": []}}}}, "unknown keys"),
            ({"products": {"a": {"1": {"fault": "nope"}}}}, "unknown fault"),
            ({"products": {"a": {"1": {"fault": "refuse"}}}}, "whole service"),
            ({"products": {"a": {"1": {"msg": 5}}}}, "msg"),
            ({"products": {"a": {"1": [{"address": "{packages}/x"}]}}}, "no package server URL"),
        ]
        for doc, reason in bad:
            with self.subTest(doc=doc):
                with self.assertRaisesRegex(CatalogueError, reason):
                    parse_catalogue(doc)

    def test_odd_package_values_pass_through(self):
        products = parse_catalogue({"products": {"a": {"*": [None, 5, {"address": ["x"]}]}}})
        self.assertEqual(products["a"]["*"].packages, [None, 5, {"address": ["x"]}])

    def test_trailing_slash_of_the_package_url_is_dropped(self):
        products = parse_catalogue({"products": {"a": {"*": [{"address": "{packages}/x"}]}}},
                                   "http://h:1/")
        self.assertEqual(products["a"]["*"].packages[0]["address"], "http://h:1/x")


class ConcurrencyTest(UpdateServiceCase):
    def test_parallel_clients_all_get_their_answer(self):
        import concurrent.futures
        softs = ["levyDesk", "ZYN-HARBOLT", "nosuch", "busy"] * 10
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            codes = list(pool.map(lambda s: self.ask(s, "V1.0-20200902" if s == "ZYN-HARBOLT" else "V1.0")
                                  .json()["code"], softs))
        self.assertEqual(codes, ["0", "0", "2", "7"] * 10)
        self.assertEqual(len(support.read_log(self.log_path)), 40)


if __name__ == "__main__":
    unittest.main()
