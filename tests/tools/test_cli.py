import json
import os
import signal
import socket
import time
import urllib.request

import support
from support import CLIENT_HEADERS, CliProcess, http_request, run_cli, update_body
from pavsvc import daemon


class HelpTest(support.TempDirCase):
    def test_every_command_documents_itself(self):
        top = run_cli(["--help"])
        self.assertEqual(top.returncode, 0)
        for command, words in (("update-service", ["refuse", "chunked", "list=N", "--catalogue"]),
                               ("package-server", ["short", "cut", "stall=MS", "/fault/"]),
                               ("local-service", ["noversion", "down", "--cert"]),
                               ("serve", ["--config"])):
            self.assertIn(command, top.stdout)
            result = run_cli([command, "--help"])
            self.assertEqual(result.returncode, 0)
            for word in words:
                self.assertIn(word, result.stdout, command)

    def test_usage_errors_exit_2_with_a_message(self):
        cat = self.write("cat.json", '{"products":{"a":{"*":[{"address":"{packages}/x"}]}}}')
        cases = [
            (["update-service", "--catalogue", self.path("missing.json"), "--port", "0"], "missing.json"),
            (["update-service", "--catalogue", cat, "--port", "0"], "package server URL"),
            (["update-service", "--catalogue", cat, "--fault", "bogus"], "unknown fault"),
            (["package-server", "--folder", self.path("nope"), "--port", "0"], "does not exist"),
            (["local-service", "--port", "0"], "--cert and --key"),
            (["local-service", "--cert", cat, "--key", cat, "--port", "0"], ""),
            (["serve", "--config", self.write("bad.json", '{"update":{}}')], "unknown configuration keys"),
            (["serve", "--config", self.write("bad2.json", '{"package_server":{"port":0}}')], "folder missing"),
            (["serve", "--config", self.write("bad3.json", "{nope")], "not a UTF-8 JSON file"),
            (["package-server", "--folder", self.dir, "--port", "70000"], "port out of range"),
            (["package-server", "--folder", self.dir, "--port", "0", "--alias", "a=../cat.json"],
             "plain file name"),
            (["serve", "--config", self.write("bad4.json", '{"package_server":{"port":0,"folder":".",'
                                                          '"aliases":{"x":"a/b"}}}')], "plain file name"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = run_cli(args + ["--max-seconds", "5"])
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)

    def test_port_in_use_is_an_error(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            s.listen(1)
            result = run_cli(["package-server", "--folder", self.dir, "--port", str(s.getsockname()[1]),
                              "--max-seconds", "5"])
        self.assertEqual(result.returncode, 2)

    def test_max_seconds_ends_the_process_by_itself(self):
        start = time.monotonic()
        result = run_cli(["package-server", "--folder", self.dir, "--port", "0", "--max-seconds", "0.5"])
        self.assertEqual(result.returncode, 0)
        self.assertLess(time.monotonic() - start, 10)
        self.assertIn("package-server: listening on http://127.0.0.1:", result.stdout)


class ServeTest(support.TempDirCase):
    def setUp(self):
        super().setUp()
        ca = support.TestCA(self.dir)
        self.ctx = ca.client_context()
        cert, key = ca.issue("local")
        self.installer = b"MZ" + bytes(range(256)) * 40
        self.write("packages/client_setup.exe", self.installer)
        self.write("catalogue.json", json.dumps({"products": {
            "levyDesk": {"V1.0": [{"address": "{packages}/client_setup.exe", "version": "V1.0",
                                   "soft": "levyDesk", "excuteExe": True}]},
            "ZYN-HARBOLT": {"*": [{"address": "{packages}/fault/short/client_setup.exe",
                                   "version": "V1.0-20200902", "soft": "ZYN-HARBOLT",
                                   "excuteExe": True}]}}}))
        self.write("serve.json", json.dumps({
            "host": "127.0.0.1",
            "update_service": {"port": 0, "catalogue": "catalogue.json", "log": "logs-update.jsonl"},
            "package_server": {"port": 0, "folder": "packages", "log": "logs-packages.jsonl"},
            "local_service": {"port": 0, "cert": cert, "key": key, "version": "9.9", "log": "local.jsonl"},
        }))

    def start(self):
        proc = CliProcess(["serve", "--config", self.path("serve.json")], cwd=self.dir)
        self.addCleanup(proc.stop)
        return proc, proc.wait_ready()

    def test_demo_run_end_to_end_and_clean_stop(self):
        proc, report = self.start()
        self.assertEqual({k: v["state"] for k, v in report.items()},
                         {"update-service": "listening", "package-server": "listening",
                          "local-service": "listening"})
        up = report["update-service"]
        self.assertTrue(up["url"].endswith("//softServer/req"))
        reply = http_request(up["port"], "POST", "//softServer/req", update_body(), dict(CLIENT_HEADERS))
        address = reply.json()["data"]["softList"][0]["address"]
        self.assertEqual(address, report["package-server"]["url"] + "/client_setup.exe")
        with urllib.request.urlopen(address, timeout=10) as r:
            self.assertEqual(r.read(), self.installer)
        short = http_request(up["port"], "POST", "//softServer/req",
                             update_body("ZYN-HARBOLT", "V1.0-20200902"), dict(CLIENT_HEADERS))
        self.assertIn("/fault/short/", short.json()["data"]["softList"][0]["address"])
        local = http_request(report["local-service"]["port"], "POST", "/api/getVersion", b"crosFlag=0",
                             dict(CLIENT_HEADERS), context=self.ctx)
        self.assertEqual(local.json()["version"], "9.9")

        start = time.monotonic()
        code, out, err = proc.stop(signal.SIGTERM)
        self.assertEqual(code, 0, err)
        self.assertLess(time.monotonic() - start, 8)
        for name in ("update-service", "package-server", "local-service"):
            self.assertIn(name + ": listening on", out)
            self.assertTrue(support.port_refuses(report[name]["port"]), name)
        self.assertEqual(len(support.read_log(self.path("logs-update.jsonl"))), 2)
        self.assertEqual(len(support.read_log(self.path("local.jsonl"))), 1)
        self.assertEqual(support.read_log(self.path("logs-packages.jsonl"))[0]["complete"], True)

    def test_sigint_stops_as_well(self):
        proc, report = self.start()
        code, out, err = proc.stop(signal.SIGINT)
        self.assertEqual(code, 0, err)
        self.assertTrue(support.port_refuses(report["update-service"]["port"]))

    def test_refuse_and_down_do_not_listen(self):
        with open(self.path("serve.json")) as f:
            cfg = json.load(f)
        cfg["update_service"]["fault"] = "refuse"
        cfg["local_service"]["mode"] = "down"
        self.write("serve.json", json.dumps(cfg))
        proc, report = self.start()
        self.assertEqual(report["update-service"], {"url": None, "port": None, "state": "down"})
        self.assertEqual(report["local-service"]["state"], "down")
        self.assertEqual(report["package-server"]["state"], "listening")
        code, out, _ = proc.stop()
        self.assertEqual(code, 0)
        self.assertIn("update-service: refusing connections (not listening)", out)


class StandaloneTest(support.TempDirCase):
    def test_refuse_leaves_the_port_closed(self):
        cat = self.write("cat.json", '{"products":{}}')
        port = support.free_port()
        proc = CliProcess(["update-service", "--catalogue", cat, "--port", str(port), "--fault", "refuse"],
                          cwd=self.dir)
        self.addCleanup(proc.stop)
        proc.wait_ready()
        self.assertTrue(support.port_refuses(port))

    def test_update_service_with_fault_and_log_from_the_command_line(self):
        cat = self.write("cat.json", '{"products":{"levyDesk":{"*":[{"address":"{packages}/a.exe"}]}}}')
        port = support.free_port()
        proc = CliProcess(["update-service", "--catalogue", cat, "--port", str(port),
                           "--packages-url", "http://127.0.0.1:1", "--fault", "list=3",
                           "--log", self.path("u.jsonl")], cwd=self.dir)
        self.addCleanup(proc.stop)
        report = proc.wait_ready()
        self.assertEqual(report["update-service"]["url"], "http://127.0.0.1:%d//softServer/req" % port)
        reply = http_request(port, "POST", "//softServer/req", update_body(), dict(CLIENT_HEADERS))
        self.assertEqual(reply.json()["data"]["softList"], [{"address": "http://127.0.0.1:1/a.exe"}] * 3)
        self.assertEqual(support.read_log(self.path("u.jsonl"))[0]["fault"], "list=3")


class InitDemoTest(support.TempDirCase):
    def test_demo_layout_serves_both_products(self):
        installer = self.write("ti.exe", b"MZ demo installer")
        demo = self.path("demo")
        result = run_cli(["init-demo", demo, "--installer", installer])
        self.assertEqual(result.returncode, 0, result.stderr)
        again = run_cli(["init-demo", demo, "--installer", installer])
        self.assertEqual(again.returncode, 2)
        self.assertIn("--force", again.stderr)
        # the demo's fixed ports may be taken on a shared machine: any free ones
        with open(os.path.join(demo, "serve.json")) as f:
            cfg = json.load(f)
        self.assertEqual([cfg[k]["port"] for k in ("update_service", "package_server", "local_service")],
                         [9006, 9007, 28000])
        for section in ("update_service", "package_server", "local_service"):
            cfg[section]["port"] = 0
        with open(os.path.join(demo, "serve.json"), "w") as f:
            json.dump(cfg, f)
        proc = CliProcess(["serve", "--config", os.path.join(demo, "serve.json")], cwd=self.dir)
        self.addCleanup(proc.stop)
        report = proc.wait_ready()
        up = report["update-service"]["port"]
        for soft, version, count in (("levyDesk", "V1.0", 1), ("ZYN-HARBOLT", "V1.0-20200902", 2)):
            answer = http_request(up, "POST", "//softServer/req", update_body(soft, version),
                                  dict(CLIENT_HEADERS)).json()
            self.assertEqual(answer["code"], "0")
            packages = answer["data"]["softList"]
            self.assertEqual(len(packages), count)
            with urllib.request.urlopen(packages[0]["address"], timeout=10) as r:
                self.assertEqual(r.read(), b"MZ demo installer")
        self.assertEqual(http_request(up, "POST", "//softServer/req", update_body("levyDesk", "V0"),
                                      dict(CLIENT_HEADERS)).json()["code"], "3")
        import ssl
        ctx = ssl.create_default_context(cafile=os.path.join(demo, "certs", "ca.pem"))
        local = http_request(report["local-service"]["port"], "POST", "/api/getVersion", b"crosFlag=0",
                             dict(CLIENT_HEADERS), context=ctx)
        self.assertEqual(local.json()["code"], 0)
        code, _, err = proc.stop()
        self.assertEqual(code, 0, err)
        self.assertTrue(os.path.exists(os.path.join(demo, "logs", "update-service.jsonl")))


class BackgroundTest(support.TempDirCase):
    def test_start_and_stop_leave_nothing_running(self):
        self.write("pk/a.exe", b"A")
        config = self.write("serve.json", json.dumps({"package_server": {"port": 0, "folder": "pk"}}))
        state = self.path("state")
        result = run_cli(["start", "--config", config, "--state", state, "--max-seconds", "60"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.addCleanup(run_cli, ["stop", "--state", state])
        report = json.loads(result.stdout)
        port = report["package-server"]["port"]
        with open(os.path.join(state, "serve.pid")) as f:
            pid = int(f.read())
        self.assertEqual(http_request(port, "GET", "/a.exe").body, b"A")
        again = run_cli(["start", "--config", config, "--state", state])
        self.assertEqual(again.returncode, 2)
        self.assertIn("already run", again.stderr)

        result = run_cli(["stop", "--state", state])
        self.assertEqual((result.returncode, result.stdout.strip()), (0, "stopped"))
        self.assertTrue(support.port_refuses(port))
        self.assertFalse(os.path.exists(os.path.join(state, "serve.pid")))
        self.assertTrue(support.wait_for(lambda: not daemon.alive(pid)))
        result = run_cli(["stop", "--state", state])
        self.assertEqual((result.returncode, result.stdout.strip()), (0, "not running"))

    def test_start_reports_a_serve_that_fails(self):
        config = self.write("serve.json", json.dumps({"package_server": {"port": 0, "folder": "missing"}}))
        result = run_cli(["start", "--config", config, "--state", self.path("state")])
        self.assertEqual(result.returncode, 2)
        self.assertIn("does not exist", result.stderr)


if __name__ == "__main__":
    import unittest
    unittest.main()
