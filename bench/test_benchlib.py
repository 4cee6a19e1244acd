#!/usr/bin/env python3
"""Unit tests of the benchmark driver's helpers (python3 bench/test_benchlib.py)."""

import argparse
import os
import socket
import sys
import tempfile
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchlib  # noqa: E402
import run_bench  # noqa: E402
from benchlib import MIB, BenchError  # noqa: E402


class MedianAndRates(unittest.TestCase):
    def test_median_of_odd_and_even_counts_unsorted(self):
        self.assertEqual(benchlib.median([5, 1, 3]), 3)
        self.assertEqual(benchlib.median([4, 1, 3, 2]), 2.5)
        self.assertEqual(benchlib.median([7.5]), 7.5)

    def test_median_is_not_swayed_by_one_outlier(self):
        self.assertEqual(benchlib.median([100, 101, 99, 5000, 102]), 101)

    def test_median_of_nothing_is_an_error(self):
        with self.assertRaises(BenchError):
            benchlib.median([])

    def test_mib_per_s(self):
        self.assertAlmostEqual(benchlib.mib_per_s(256 * MIB, 1000.0), 256.0)
        self.assertAlmostEqual(benchlib.mib_per_s(MIB, 250.0), 4.0)
        with self.assertRaises(BenchError):
            benchlib.mib_per_s(MIB, 0)


class Records(unittest.TestCase):
    def test_last_record_of_its_kind_with_cr_stripped(self):
        text = "noise\r\ndownload\tbare\t0\t10\r\ndownload\tprogram\t0\t20\r\nother\tx\r\n"
        self.assertEqual(benchlib.parse_record(text, "download", 3), ["program", "0", "20"])

    def test_missing_or_short_record(self):
        with self.assertRaises(BenchError):
            benchlib.parse_record("install\t0\n", "download", 1)
        with self.assertRaises(BenchError):
            benchlib.parse_record("download\tbare\t0\n", "download", 8)

    def install_fields(self, **change):
        f = {"exit": "0", "ms": "3412.5", "done": "1", "failed": "0", "started": "1", "progress": "103",
             "paints": "104", "result": "0", "temp": "C:\\users\\root\\Temp\\"}
        f.update(change)
        return [f[k] for k in ("exit", "ms", "done", "failed", "started", "progress", "paints", "result", "temp")]

    def test_install_record_of_a_good_run(self):
        self.assertEqual(benchlib.check_install_record(self.install_fields()), 3412.5)

    def test_install_record_of_failed_runs(self):
        for change in ({"exit": "-1"}, {"done": "0"}, {"failed": "1"}, {"started": "0"}, {"result": "3"},
                       {"progress": "0"}, {"paints": "0"}):
            with self.assertRaises(BenchError, msg=str(change)):
                benchlib.check_install_record(self.install_fields(**change))
        with self.assertRaises(BenchError):
            benchlib.check_install_record(self.install_fields()[:5])

    def test_installer_runs(self):
        run = "C:\\users\\root\\Temp\\pavonix-0123456789abcdef0123456789ABCDEF\\HARBOLT_setup.exe"
        good = run + "\t2026-12-09 11:00:00.000\t2026-12-09 11:00:00.100\t42\t0\r\n"
        self.assertEqual(benchlib.check_installer_runs(good, "harbolt_setup.exe"), run)
        # Run from C:\Windows\Temp's run folder: as good.
        other = good.replace("users\\root\\Temp", "windows\\temp")
        self.assertTrue(benchlib.check_installer_runs(other, "harbolt_setup.exe").startswith("C:\\windows"))
        for bad in ("", good + good, good.replace("\t0\r\n", "\t3\r\n"),
                    good.replace("HARBOLT_setup.exe", "other.exe"), "C:\\x\\harbolt_setup.exe\t0\n",
                    good.replace("\\pavonix-0123456789abcdef0123456789ABCDEF", ""),
                    good.replace("pavonix-0123", "pavonix-x123"), good.replace("CDEF\\", "CDE\\")):
            with self.assertRaises(BenchError, msg=repr(bad)):
                benchlib.check_installer_runs(bad, "harbolt_setup.exe")

    def test_startup_times_leave_out_the_warm_up(self):
        out = "startup\t0\t900.0\tclosed\r\nstartup\t1\t210.5\tclosed\r\nstartup\t2\t190.0\tterminated\r\n"
        self.assertEqual(benchlib.startup_times(out, 2), [210.5, 190.0])
        with self.assertRaises(BenchError):
            benchlib.startup_times(out, 3)
        with self.assertRaises(BenchError):
            benchlib.startup_times(out + "failed\t3\tno main page within 30000 ms\r\n", 2)


class InstallTransfers(unittest.TestCase):
    WHOLE = {"file": "harbolt_setup.exe", "status": 200, "bytes": MIB, "complete": True}

    def test_fetching_runs_got_the_package_in_one_request_and_cached_runs_asked_nothing(self):
        benchlib.check_package_transfers([self.WHOLE], MIB, fetched=True)
        benchlib.check_package_transfers([], MIB, fetched=False)
        cut = dict(self.WHOLE, bytes=MIB // 2, complete=False)
        for fetched, entries in ((True, []),                              # served from the cache
                                 (True, [cut]), (True, [dict(self.WHOLE, bytes=MIB - 1)]),
                                 (True, [dict(self.WHOLE, status=206)]),  # only a range
                                 (True, [cut, self.WHOLE]), (True, [self.WHOLE, self.WHOLE]),
                                 (False, [self.WHOLE]), (False, [dict(cut, bytes=0, status=304)])):
            with self.assertRaises(BenchError, msg="%s %r" % (fetched, entries)):
                benchlib.check_package_transfers(entries, MIB, fetched=fetched)


class PackageCache(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.prefix = self.tmp.name
        self.cache = os.path.join(self.prefix, "drive_c", "ProgramData", "Pavonix", "PackageCache")
        os.makedirs(self.cache)

    def tearDown(self):
        self.tmp.cleanup()

    def test_emptied_cache_is_gone_and_nothing_beside_it(self):
        sibling = os.path.join(self.prefix, "drive_c", "ProgramData", "Other")
        os.makedirs(sibling)
        benchlib.make_random_file(os.path.join(self.cache, "ab" * 32), 100)
        for _ in range(2):      # the second time there is no cache: no error either
            self.assertEqual(run_bench.empty_package_cache(self.prefix), self.cache)
            self.assertFalse(os.path.lexists(self.cache))
            self.assertTrue(os.path.isdir(sibling))

    def test_cache_entry_is_the_whole_package_under_its_digest(self):
        entry = os.path.join(self.cache, "x")
        digest = benchlib.make_random_file(entry, 5000)
        os.rename(entry, os.path.join(self.cache, digest))
        entry = os.path.join(self.cache, digest)
        with open(entry, "rb") as f:
            good = f.read()
        benchlib.check_cache_entry(self.cache, digest.upper(), 5000)
        for data, state in ((good[:4000], True), (good, True),     # still marked partial
                            (good[:4999], False), (bytes([good[0] ^ 1]) + good[1:], False), (None, False)):
            if os.path.exists(entry):
                os.remove(entry)
            if data is not None:
                with open(entry, "wb") as f:
                    f.write(data)
            if state:
                with open(entry + ".state", "w") as f:
                    f.write("5000\n\n")
            with self.assertRaises(BenchError, msg="%s bytes, state %s" % (data and len(data), state)):
                benchlib.check_cache_entry(self.cache, digest, 5000)
            if state:
                os.remove(entry + ".state")

    def test_checked_install_rows_run_at_least_twice(self):
        for runs, check, want in ((1, True, 2), (3, True, 3), (1, False, 1), (5, False, 5), (1, None, 1)):
            args = argparse.Namespace(build=self.prefix, work=self.prefix, runs=runs)
            if check is not None:       # the benchmark programs' own tests give no check option
                args.check = check
            self.assertEqual(run_bench.Bench(args).install_runs, want, (runs, check))


class RoundTrip(unittest.TestCase):
    def fields(self, kind="page", **change):
        f = {"variant": kind, "timed": "20000", "sent": "20064", "handled": "20064", "ms": "12000.0",
             "paints": "20064" if kind in ("page", "moving") else "0", "text": "-" if kind == "noop" else "100%"}
        f.update(change)
        return [f[k] for k in ("variant", "timed", "sent", "handled", "ms", "paints", "text")]

    def test_microseconds_per_timed_message(self):
        self.assertAlmostEqual(benchlib.roundtrip_us(self.fields(), "page", 20000), 600.0)
        self.assertAlmostEqual(benchlib.roundtrip_us(self.fields("noop", ms="5000"), "noop", 20000), 250.0)
        self.assertAlmostEqual(benchlib.roundtrip_us(self.fields("hidden", ms="8000"), "hidden", 20000), 400.0)
        self.assertAlmostEqual(benchlib.roundtrip_us(self.fields("moving", ms="30000"), "moving", 20000), 1500.0)

    def test_a_record_off_its_measurement_is_refused(self):
        bad = [("page", {"handled": "20063"}),          # a message the window never handled
               ("noop", {"handled": "0"}),
               ("page", {"handled": "20065"}),
               ("page", {"timed": "19999"}),            # not the count asked for
               ("page", {"sent": "19000"}),
               ("page", {"ms": "0"}),
               ("page", {"paints": "20063"}),           # a message without its repaint
               ("moving", {"paints": "0"}),
               ("moving", {"text": "1%"}),
               ("page", {"text": "99%"}),
               ("hidden", {"paints": "1"}),             # the hidden page painted: it was not hidden
               ("hidden", {"text": ""}),
               ("page", {"variant": "noop"})]
        for variant, change in bad:
            with self.assertRaises(BenchError, msg="%s %s" % (variant, change)):
                benchlib.roundtrip_us(self.fields(variant, **change), variant, 20000)
        with self.assertRaises(BenchError):
            benchlib.roundtrip_us(self.fields()[:6], "page", 20000)
        for change in ({"ms": "x"}, {"handled": ""}, {"ms": "nan"}):
            with self.assertRaises(BenchError, msg=str(change)):
                benchlib.roundtrip_us(self.fields(**change), "page", 20000)

    def test_record_from_program_output(self):
        out = "roundtrip\tnoop\t500\t564\t564\t150.5\t0\t-\r\n"
        fields = benchlib.parse_record(out, "roundtrip", 7)
        self.assertAlmostEqual(benchlib.roundtrip_us(fields, "noop", 500), 301.0)

    def test_blocks_and_expected_time(self):
        self.assertEqual(benchlib.blocks(256 * MIB), 26215)      # 268435456 / 10240 = 26214.4
        self.assertEqual(benchlib.blocks(MIB), 103)
        self.assertEqual(benchlib.blocks(10240), 1)
        self.assertEqual(benchlib.blocks(10241), 2)
        self.assertEqual(benchlib.blocks(0), 0)
        # Same-percent messages at 600 µs, the 101 that change it at 1500.
        self.assertAlmostEqual(benchlib.expected_ms(256 * MIB, 2400.0, 600.0, 1500.0),
                               2400.0 + 101 * 1.5 + 26114 * 0.6)
        self.assertAlmostEqual(benchlib.expected_ms(MIB, 15.0, 600.0, 1500.0), 15.0 + 101 * 1.5 + 2 * 0.6)
        self.assertAlmostEqual(benchlib.expected_ms(MIB, 15.0, 0.0, 0.0), 15.0)

    def test_percent_changes_as_the_program_computes_them(self):
        # 0..100 each once when there are at least 100 blocks.
        self.assertEqual(benchlib.percent_changes(256 * MIB), 101)
        self.assertEqual(benchlib.percent_changes(MIB), 101)           # 103 blocks, two repeat a percent
        self.assertEqual(benchlib.percent_changes(10240), 1)           # 100 at once
        self.assertEqual(benchlib.percent_changes(3 * 10240), 3)       # 33, 66, 100
        self.assertEqual(benchlib.percent_changes(50 * 10240 + 1), 51)
        self.assertEqual(benchlib.percent_changes(0), 0)

    def test_rows(self):
        row = benchlib.roundtrip_row({"noop": 294.4, "page": 609.7, "moving": 1500.25, "hidden": 409.5})
        self.assertEqual(row.value, "294.4 / 609.7 / 1500.2 / 409.5")
        self.assertEqual(row.cells()[2:], ["-", "-"])
        row = benchlib.expected_row("256 MiB", 256 * MIB, 2400.0, 16000.0, 600.0, 1500.0)
        self.assertEqual(row.value, "2400 + 101 x 1500 + 26114 x 600 µs = 18220 / 16000, ratio 0.88")
        self.assertTrue(row.name.startswith("download 256 MiB "))
        self.assertEqual(row.cells()[2:], ["-", "-"])


class Files(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.tmp.name, "f.bin")

    def tearDown(self):
        self.tmp.cleanup()

    def test_verify_accepts_the_same_bytes_only(self):
        digest = benchlib.make_random_file(self.path, 100000)
        self.assertEqual(digest, benchlib.sha256_file(self.path))
        benchlib.verify_file(self.path, 100000, digest)
        with self.assertRaises(BenchError):
            benchlib.verify_file(self.path, 99999, digest)
        # Same size, one byte changed: only the hash can tell.
        with open(self.path, "r+b") as f:
            f.seek(50000)
            b = f.read(1)
            f.seek(50000)
            f.write(bytes([b[0] ^ 1]))
        with self.assertRaises(BenchError):
            benchlib.verify_file(self.path, 100000, digest)
        os.remove(self.path)
        with self.assertRaises(BenchError):
            benchlib.verify_file(self.path, 100000, digest)

    def test_random_file_is_reused_until_it_changes(self):
        first = benchlib.random_file(self.path, 5000)
        mtime = os.stat(self.path).st_mtime_ns
        self.assertEqual(benchlib.random_file(self.path, 5000), first)
        self.assertEqual(os.stat(self.path).st_mtime_ns, mtime)
        # Another size, or a file rewritten behind the note, is made afresh.
        second = benchlib.random_file(self.path, 6000)
        self.assertEqual(os.path.getsize(self.path), 6000)
        self.assertEqual(second, benchlib.sha256_file(self.path))
        time.sleep(0.01)
        with open(self.path, "wb") as f:
            f.write(b"\0" * 6000)
        third = benchlib.random_file(self.path, 6000)
        self.assertEqual(third, benchlib.sha256_file(self.path))
        self.assertNotEqual(third, second)


class Lock(unittest.TestCase):
    def test_waits_bounded_while_held_and_takes_it_when_free(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "ports.lock")
            held = benchlib.acquire_lock(path, 1)
            t0 = time.monotonic()
            with self.assertRaises(BenchError):
                benchlib.acquire_lock(path, 0.3, poll=0.05)
            self.assertLess(time.monotonic() - t0, 3)
            os.close(held)
            fd = benchlib.acquire_lock(path, 1)
            os.close(fd)


class Table(unittest.TestCase):
    def test_rows_and_goals(self):
        row = benchlib.download_row("1 MiB", 90.0, 100.0, 500.0, 0.9)
        self.assertTrue(row.met)
        self.assertEqual(row.value, "90.0 / 100.0 / 500.0, ratio 0.90")
        self.assertFalse(benchlib.download_row("1 MiB", 89.0, 100.0, 500.0, 0.9).met)
        mem = benchlib.memory_row("1 MiB", "256 MiB", 30 * MIB, 27.5 * MIB, 2 * MIB)
        self.assertFalse(mem.met)            # 2.5 MiB apart, whichever is larger
        self.assertTrue(benchlib.memory_row("1 MiB", "256 MiB", 30 * MIB, 31.5 * MIB, 2 * MIB).met)
        self.assertTrue(benchlib.below_row("start-up ms", 499.4, 500).met)
        self.assertFalse(benchlib.below_row("start-up ms", 500.0, 500).met)

    def test_table_is_aligned_and_says_what_could_not_run(self):
        rows = [benchlib.below_row("install run minus pause ms", 386.2, 500),
                benchlib.Row("start-up ms", "", "< 500", error="no main page"),
                benchlib.info_row("download 1 MiB DownloadFile without progress MiB/s, ratio", "50.0, ratio 1.02")]
        lines = benchlib.format_table(rows).splitlines()
        self.assertEqual(len(lines), 5)
        self.assertTrue(lines[0].startswith("benchmark"))
        col = lines[0].index("median")
        self.assertEqual(lines[2][col:col + 3], "386")
        self.assertIn("could not run: no main page", lines[3])
        self.assertTrue(lines[2].rstrip().endswith("yes"))
        self.assertTrue(lines[4].rstrip().endswith("-"))

    def test_rows_without_a_figure(self):
        rows = [benchlib.below_row("install run minus pause ms", 386.2, 500),
                benchlib.Row("start-up ms", "", "< 500", error="no main page"),
                benchlib.info_row("empty", " "),
                benchlib.info_row("download 1 MiB DownloadFile without progress MiB/s, ratio", "50.0, ratio 1.02")]
        self.assertEqual(benchlib.missing_figures(rows), ["start-up ms", "empty"])
        self.assertEqual(benchlib.missing_figures(rows[:1] + rows[3:]), [])

    def test_resume_rows_and_their_goals(self):
        good = {"plain_cut": [-1, -1], "sent": 1.0, "rest": 0.1, "cached": 0, "ratio": 1.02}
        rows = benchlib.resume_rows(good, 64 * MIB, 8 * MIB)
        self.assertEqual([r.met for r in rows], [True] * 4)
        self.assertIn("64 MiB cut every 8 MiB", rows[0].name)
        self.assertEqual(rows[0].value, "fails / 1.000")
        for change, row in (({"plain_cut": [-1, 0]}, 0), ({"sent": 1.06}, 0), ({"rest": 0.16}, 1),
                            ({"cached": 1}, 2), ({"ratio": 1.06}, 3)):
            bad = dict(good, **change)
            self.assertFalse(benchlib.resume_rows(bad, 64 * MIB, 8 * MIB)[row].met, change)

    def test_size_labels(self):
        self.assertEqual(benchlib.size_label(256 * MIB), "256 MiB")
        self.assertEqual(benchlib.size_label(1000), "1000 bytes")


class Paths(unittest.TestCase):
    def test_windows_paths_of_host_files_and_back(self):
        self.assertEqual(run_bench.winpath("/work/x/y.bin"), "Z:\\work\\x\\y.bin")
        self.assertEqual(run_bench.host_path("/p", "Z:\\work\\x\\y.bin"), "/work/x/y.bin")

    def test_prefix_paths_match_without_case(self):
        with tempfile.TemporaryDirectory() as prefix:
            os.makedirs(os.path.join(prefix, "drive_c", "users", "root", "AppData", "Local", "Temp"))
            got = run_bench.host_path(prefix, "C:\\USERS\\root\\appdata\\local\\temp\\pkg.exe")
            self.assertEqual(got, os.path.join(prefix, "drive_c", "users", "root", "AppData", "Local", "Temp",
                                               "pkg.exe"))
            with self.assertRaises(BenchError):
                run_bench.host_path(prefix, "relative\\pkg.exe")


class Services(unittest.TestCase):
    def test_serves_on_a_free_port_and_ends_when_stopped(self):
        with tempfile.TemporaryDirectory() as d:
            files = os.path.join(d, "files")
            os.makedirs(files)
            with open(os.path.join(files, "a.bin"), "wb") as f:
                f.write(b"x" * 12345)
            services = run_bench.Services(os.path.join(d, "svc"), {
                "host": "127.0.0.1", "package_server": {"port": 0, "folder": files}})
            try:
                url = services.start(lifetime=60)["package-server"]["url"]
                self.assertTrue(url.startswith("http://127.0.0.1:"))
                with urllib.request.urlopen(url + "/a.bin", timeout=10) as r:
                    self.assertEqual(len(r.read()), 12345)
            finally:
                services.stop()
            self.assertIsNotNone(services.proc.poll())

    def test_a_configuration_that_does_not_start_is_reported(self):
        with tempfile.TemporaryDirectory() as d:
            services = run_bench.Services(d, {"host": "127.0.0.1", "no_such_service": {}})
            try:
                with self.assertRaises(BenchError):
                    services.start(lifetime=30)
            finally:
                services.stop()


class Waiting(unittest.TestCase):
    def test_wait_for_returns_the_value_or_gives_up_in_time(self):
        self.assertEqual(run_bench.wait_for(lambda: 7, 1, "seven"), 7)
        t0 = time.monotonic()
        with self.assertRaises(BenchError):
            run_bench.wait_for(lambda: None, 0.3, "nothing", step=0.05)
        self.assertLess(time.monotonic() - t0, 2)

    def test_port_free_sees_a_listener(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind(("127.0.0.1", 0))
        s.listen(1)
        port = s.getsockname()[1]
        try:
            self.assertFalse(run_bench.port_free(port))
        finally:
            s.close()
        self.assertTrue(run_bench.port_free(port))


if __name__ == "__main__":
    unittest.main()
