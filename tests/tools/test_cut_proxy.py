import os
import sys
import threading
import time
import unittest

import support
from pavsvc.package_server import PackageServer

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import cut_proxy  # noqa: E402

SIZE = 100003


class CutProxyTest(support.TempDirCase):
    def setUp(self):
        super().setUp()
        self.data = os.urandom(SIZE)
        self.write("pkg/setup.exe", self.data)
        self.server = PackageServer(self.path("pkg"), port=0).start()
        self.addCleanup(self.server.stop)

    def start_proxy(self, n):
        proxy = cut_proxy.CutProxy(self.server.port, n, stats_path=self.path("stats.json"))
        thread = threading.Thread(target=proxy.serve, args=(time.monotonic() + 60,), daemon=True)
        thread.start()
        self.addCleanup(thread.join, 5)
        self.addCleanup(proxy.stopped.set)
        return proxy

    def get(self, port, first=None):
        extra = "" if first is None else "Range: bytes=%d-\r\n" % first
        raw = support.raw_exchange(port, ("GET /setup.exe HTTP/1.1\r\nHost: x\r\nConnection: close\r\n%s\r\n"
                                          % extra).encode(), timeout=10)
        return raw

    def test_each_connection_carries_at_most_n_bytes_and_ranges_rebuild_the_file(self):
        # (cut every, connections needed): a cut larger than the answer
        # passes it whole.
        for n, least in ((30000, 4), (SIZE * 2, 1)):
            with self.subTest(n=n):
                proxy = self.start_proxy(n)
                got, answers = b"", 0
                while len(got) < SIZE and answers < 20:
                    raw = self.get(proxy.port, got and len(got) or None)
                    self.assertLessEqual(len(raw), n)
                    _, _, body = support.split_response(raw)
                    got += body
                    answers += 1
                self.assertEqual(got, self.data)
                self.assertGreaterEqual(answers, least)
                cut = answers - 1 if n < SIZE else 0
                support.wait_for(lambda: proxy.stats["cut"] >= cut and os.path.exists(self.path("stats.json")))
                self.assertEqual((proxy.stats["connections"], proxy.stats["cut"]), (answers, cut))
                self.assertGreaterEqual(proxy.stats["to_client"], SIZE)


if __name__ == "__main__":
    unittest.main()
