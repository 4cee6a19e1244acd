#!/usr/bin/env python3
"""Tests of the benchmark programs under Wine: a good run is measured, a
broken one is refused (a short or missing download, a round trip with a
message lost or the wrong count, a program that never shows its page, an
install run that fails).

    PAVONIX_BENCH_BUILD=build/win64 python3 bench/test_programs.py

Uses the benchmark's Wine prefix (PAVONIX_BENCH_WORK, default
build/bench-work) and a package server on a free loopback port; about 20 s.
"""

import argparse
import os
import shutil
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchlib  # noqa: E402
import run_bench  # noqa: E402
from benchlib import BenchError  # noqa: E402

GOOD = "good.bin"
SHORT = "short.bin"
SIZE = 300 * 1024 + 17      # not a whole number of 10240-byte blocks


def free_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Programs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        build = os.environ.get("PAVONIX_BENCH_BUILD", os.path.join(run_bench.REPO, "build", "win64"))
        work = os.environ.get("PAVONIX_BENCH_WORK", os.path.join(run_bench.REPO, "build", "bench-work"))
        if not os.path.isabs(build):
            build = os.path.join(run_bench.REPO, build)
        if not os.path.isabs(work):
            work = os.path.join(run_bench.REPO, work)
        cls.bench = run_bench.Bench(argparse.Namespace(build=build, work=work, runs=1))
        cls.bench.check_programs(["pavonix_bench_download", "pavonix_bench_install", "pavonix_bench_startup",
                                  "installer"])
        cls.dir = os.path.join(work, "selftest")
        shutil.rmtree(cls.dir, ignore_errors=True)
        files = os.path.join(cls.dir, "files")
        os.makedirs(files)
        cls.digest = benchlib.make_random_file(os.path.join(files, GOOD), SIZE)
        shutil.copyfile(os.path.join(files, GOOD), os.path.join(files, SHORT))
        cls.downloads = os.path.join(cls.dir, "downloads")
        os.makedirs(cls.downloads)
        cls.services = run_bench.Services(os.path.join(cls.dir, "services"), {
            "host": "127.0.0.1",
            "package_server": {"port": 0, "folder": files, "file_faults": {SHORT: "short"}}})
        cls.base = cls.services.start(lifetime=300)["package-server"]["url"]
        try:
            cls.bench.wine.start()
        except BaseException:
            cls.services.stop()
            cls.bench.wine.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.services.stop()
        cls.bench.wine.stop()

    def download(self, mode, name):
        target = os.path.join(self.downloads, name)
        if os.path.exists(target):
            os.remove(target)
        return self.bench.one_download(mode, "%s/%s" % (self.base, name), self.downloads, target), target

    def test_whole_downloads_are_measured_and_verified(self):
        for mode in ("program", "quiet", "bare", "curl"):
            (nbytes, ms, peak, messages), target = self.download(mode, GOOD)
            self.assertEqual(nbytes, SIZE, mode)
            # One progress message per block, and none without the callback.
            self.assertEqual(messages, benchlib.blocks(SIZE) if mode == "program" else 0, mode)
            self.assertGreater(ms, 0, mode)
            benchlib.verify_file(target, SIZE, self.digest)
            if mode in ("program", "quiet"):
                self.assertGreater(peak, 1024 * 1024, mode)

    def test_a_short_download_is_refused(self):
        for mode in ("program", "quiet", "bare", "curl"):
            # The program's own result says so...
            with self.assertRaises(BenchError, msg=mode):
                self.download(mode, SHORT)
            # ...and so does the file, had it been taken as whole.
            with self.assertRaises(BenchError, msg=mode):
                benchlib.verify_file(os.path.join(self.downloads, SHORT), SIZE, self.digest)

    def test_a_missing_file_is_refused(self):
        for mode in ("program", "bare", "curl"):
            with self.assertRaises(BenchError, msg=mode):
                self.download(mode, "missing.bin")

    def test_round_trips_are_measured_with_every_message_handled(self):
        for variant in benchlib.ROUNDTRIP_VARIANTS:
            us = self.bench.one_roundtrip(variant, 300)
            self.assertGreater(us, 0, variant)
            self.assertLess(us, 100000, variant)

    def test_a_round_trip_off_its_measurement_is_refused(self):
        rc, out, _ = self.bench.wine.run(self.bench.exe["pavonix_bench_download"], ["roundtrip", "noop", "300"])
        self.assertEqual(rc, 0)
        fields = benchlib.parse_record(out, "roundtrip", 7)
        benchlib.roundtrip_us(fields, "noop", 300)
        with self.assertRaises(BenchError):
            benchlib.roundtrip_us(fields, "noop", 301)      # not the count asked for
        with self.assertRaises(BenchError):
            benchlib.roundtrip_us(fields, "page", 300)      # no page, no repaint
        short = fields[:3] + [str(int(fields[3]) - 1)] + fields[4:]
        with self.assertRaises(BenchError):
            benchlib.roundtrip_us(short, "noop", 300)       # a message lost
        for variant, messages in (("bogus", "300"), ("noop", "0"), ("page", "12x"), ("page", "")):
            with self.assertRaises(BenchError, msg="%s %r" % (variant, messages)):
                self.bench.one_roundtrip(variant, messages)     # refused by the program: usage

    def test_startup_of_a_program_without_the_main_page_fails(self):
        # The test installer ends at once without a window.
        rc, out, _ = self.bench.wine.run(self.bench.exe["pavonix_bench_startup"],
                                         [run_bench.winpath(self.bench.exe["installer"]), "1", "10000"],
                                         timeout=60)
        self.assertEqual(rc, 1)
        self.assertIn("the program ended first", out)
        with self.assertRaises(BenchError):
            benchlib.startup_times(out, 1)

    def test_install_run_that_fails_is_not_counted(self):
        # Not an invoicing PC: the worker stops at its probes and asks no
        # service (127.0.0.1:28000 may belong to another suite just now).
        self.bench.wine.command(["reg", "delete", run_bench.SKFP_KEY, "/f", "/reg:32"], check=False)
        url = "http://127.0.0.1:%d//softServer/req" % free_port()
        rc, out, _ = self.bench.wine.run(self.bench.exe["pavonix_bench_install"], ["--update-url", url],
                                         timeout=120)
        self.assertEqual(rc, 0)
        fields = benchlib.parse_record(out, "install", 9)
        self.assertEqual((fields[0], fields[2], fields[3], fields[7]), ("-2", "0", "1", "1"))
        with self.assertRaises(BenchError):
            benchlib.check_install_record(fields)


if __name__ == "__main__":
    unittest.main()
