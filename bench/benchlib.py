"""Helpers of the benchmark driver (run_bench.py): medians, rates, the
records the benchmark programs print, checks of downloaded files, the shared
port lock and the one table scripts/bench prints."""

import errno
import fcntl
import hashlib
import os
import re
import time

MIB = 1024 * 1024
# The folder a run downloads its packages into and runs them from.
RUN_FOLDER = re.compile(r"^pavonix-[0-9a-f]{32}$", re.IGNORECASE)


class BenchError(Exception):
    """A benchmark could not run, or a run did not do what it was timed for."""


def median(values):
    values = sorted(values)
    if not values:
        raise BenchError("no values to take the median of")
    mid = len(values) // 2
    if len(values) % 2:
        return values[mid]
    return (values[mid - 1] + values[mid]) / 2.0


def mib_per_s(nbytes, ms):
    if ms <= 0:
        raise BenchError("a transfer of %d bytes took %r ms" % (nbytes, ms))
    return nbytes / MIB / (ms / 1000.0)


def parse_record(text, kind, nfields):
    """The fields after `kind` of the last line of `text` that starts with it
    (tab-separated, CR ignored). At least nfields of them, else BenchError."""
    found = None
    for line in text.splitlines():
        fields = line.rstrip("\r").split("\t")
        if fields[0] == kind:
            found = fields[1:]
    if found is None:
        raise BenchError("no %r record in the output: %r" % (kind, text[-300:]))
    if len(found) < nfields:
        raise BenchError("%r record with %d fields, want %d: %r" % (kind, len(found), nfields, found))
    return found


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(4 * MIB)
            if not block:
                break
            h.update(block)
    return h.hexdigest()


def verify_file(path, size, sha256):
    """The file is there with exactly `size` bytes and the given SHA-256."""
    if not os.path.isfile(path):
        raise BenchError("%s was not written" % path)
    got = os.path.getsize(path)
    if got != size:
        raise BenchError("%s has %d bytes, want %d" % (path, got, size))
    digest = sha256_file(path)
    if digest != sha256:
        raise BenchError("%s has the right size but SHA-256 %s, want %s" % (path, digest[:16], sha256[:16]))


def make_random_file(path, size):
    """Writes `size` random bytes to path; returns their SHA-256."""
    h = hashlib.sha256()
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        left = size
        while left > 0:
            block = os.urandom(min(4 * MIB, left))
            f.write(block)
            h.update(block)
            left -= len(block)
    os.replace(tmp, path)
    return h.hexdigest()


def random_file(path, size):
    """A file of `size` random bytes at path, reused when it is already there
    with the hash noted beside it; returns its SHA-256."""
    note = path + ".sha256"
    if os.path.isfile(path) and os.path.isfile(note) and os.path.getsize(path) == size:
        with open(note) as f:
            parts = f.read().split()
        st = os.stat(path)
        if len(parts) == 3 and parts[0] == str(size) and parts[1] == str(st.st_mtime_ns):
            return parts[2]
    digest = make_random_file(path, size)
    with open(note, "w") as f:
        f.write("%d %d %s\n" % (size, os.stat(path).st_mtime_ns, digest))
    return digest


def acquire_lock(path, timeout, poll=0.5):
    """An exclusive flock on path, waited for at most `timeout` seconds.
    Returns the open descriptor (closing it releases the lock)."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
    deadline = time.monotonic() + timeout
    while True:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return fd
        except OSError as exc:
            if exc.errno not in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                os.close(fd)
                raise
        if time.monotonic() >= deadline:
            os.close(fd)
            raise BenchError("%s stayed locked for %.0f s" % (path, timeout))
        time.sleep(poll)


def check_install_record(fields):
    """The fields of an "install" record of a run that succeeded: worker
    exit 0, one WM_INSTALL_DONE, no failure, one product started, result 0,
    the percent shown and repainted. Returns the worker's time in ms."""
    if len(fields) < 9:
        raise BenchError("install record with %d fields: %r" % (len(fields), fields))
    exit_code, ms, done, failed, started, progress, paints, result = fields[:8]
    if (exit_code, done, failed, started, result) != ("0", "1", "0", "1", "0"):
        raise BenchError("the run did not succeed: exit %s, done %s, failed %s, started %s, result %s"
                         % (exit_code, done, failed, started, result))
    if int(progress) < 1 or int(paints) < 1:
        raise BenchError("the run showed no progress (%s messages, %s paints)" % (progress, paints))
    return float(ms)


def check_installer_runs(text, package):
    """The test installer's record file text holds exactly one run, of the
    package (by file name, any case), that exited 0, from a run folder
    "pavonix-<32 hex digits>" that the program made. Returns the Windows
    path the installer ran from."""
    lines = [line.split("\t") for line in text.splitlines() if line.strip()]
    if len(lines) != 1:
        raise BenchError("%d installer runs recorded, want 1" % len(lines))
    fields = lines[0]
    if len(fields) < 5 or not fields[0].lower().endswith("\\" + package.lower()) or fields[4] != "0":
        raise BenchError("installer record %r" % fields)
    parts = fields[0].split("\\")
    if len(parts) < 3 or not RUN_FOLDER.match(parts[-2]):
        raise BenchError("installer ran from %r, not from a run folder" % fields[0])
    return fields[0]


def check_package_transfers(entries, size, fetched):
    """The package server's log entries of one install run. A run that
    fetches asked once and got the whole package (`size` bytes, status 200,
    not cut); a run served from the package cache asked for nothing."""
    if not fetched:
        if entries:
            raise BenchError("%d package requests of a run served from the package cache, want none"
                             % len(entries))
        return
    whole = [e for e in entries if e.get("complete") and e.get("status") == 200 and e.get("bytes") == size]
    if len(whole) != 1 or len(entries) != 1:
        raise BenchError("%d complete package transfers in %d package requests, want 1 in 1"
                         % (len(whole), len(entries)))


def check_cache_entry(folder, sha256, size):
    """The package cache folder holds the whole package (its size and
    SHA-256) under its digest, no longer marked partial: what a run served
    from the cache takes."""
    entry = os.path.join(folder, sha256.lower())
    verify_file(entry, size, sha256.lower())
    if os.path.lexists(entry + ".state"):
        raise BenchError("package cache entry %s is still marked partial" % entry)


def missing_figures(rows):
    """Names of the rows that yield no figure: could not run, or empty."""
    return [r.name for r in rows if r.error is not None or not str(r.value).strip()]


ROUNDTRIP_VARIANTS = ("noop", "page", "moving", "hidden")
READ_BLOCK = 10240          # the program's read size: one progress message per block


def roundtrip_us(fields, variant, messages):
    """Microseconds per message of a "roundtrip" record, refused unless it
    measured what was asked: the variant, `messages` timed sends, every sent
    message handled by the window; the visible page (page, moving) repainted
    its text at each one and the hidden page at none, all ending at "100%"."""
    if len(fields) < 7:
        raise BenchError("roundtrip record with %d fields: %r" % (len(fields), fields))
    got, timed, sent, handled, ms, paints, text = fields[:7]
    if got != variant:
        raise BenchError("roundtrip record of %r, want %r" % (got, variant))
    try:
        timed, sent, handled, paints, ms = int(timed), int(sent), int(handled), int(paints), float(ms)
    except ValueError:
        raise BenchError("roundtrip record with a field that is not a number: %r" % (fields,))
    if timed != messages or sent < timed:
        raise BenchError("roundtrip %s: %d timed of %d sent, want %d timed" % (variant, timed, sent, messages))
    if handled != sent:
        raise BenchError("roundtrip %s: %d messages handled of %d sent" % (variant, handled, sent))
    if not ms > 0 or ms == float("inf"):
        raise BenchError("roundtrip %s: %d messages in %r ms" % (variant, timed, ms))
    if variant != "noop" and text != "100%":
        raise BenchError("roundtrip %s: the page ended at %r" % (variant, text))
    if variant in ("page", "moving") and paints < sent:
        raise BenchError("roundtrip %s: %d text paints for %d messages" % (variant, paints, sent))
    if variant == "hidden" and paints != 0:
        raise BenchError("roundtrip hidden: %d text paints of a hidden page" % paints)
    return ms * 1000.0 / timed


def blocks(nbytes, block=READ_BLOCK):
    """Reads (and so progress messages) of a download of nbytes."""
    return -(-nbytes // block)


def percent_changes(nbytes, block=READ_BLOCK):
    """Blocks of a download of nbytes after which ReportDownloadProgress
    sends another percent than the one before (the first one included: the
    page shows no percent before it)."""
    changes, last, done = 0, None, 0
    for _ in range(blocks(nbytes, block)):
        done = min(done + block, nbytes)
        percent = int(done / nbytes * 100.0)
        if percent != last:
            changes += 1
            last = percent
    return changes


def expected_ms(nbytes, bare_ms, same_us, moving_us):
    """The bare loop's time plus one message per block: moving_us for each
    block that changes the percent, same_us for each other one."""
    changes = percent_changes(nbytes)
    return bare_ms + (changes * moving_us + (blocks(nbytes) - changes) * same_us) / 1000.0


def startup_times(text, runs):
    """The timed starts of the launcher's output (the warm-up, start 0, left
    out); exactly `runs` of them, else BenchError."""
    times = []
    for line in text.splitlines():
        f = line.rstrip("\r").split("\t")
        if f[0] == "failed":
            raise BenchError("start %s: %s" % (f[1] if len(f) > 1 else "?", f[2] if len(f) > 2 else ""))
        if f[0] == "startup" and len(f) >= 3 and f[1] != "0":
            times.append(float(f[2]))
    if len(times) != runs:
        raise BenchError("%d timed starts, want %d: %r" % (len(times), runs, text[-300:]))
    return times


# -- the table ---------------------------------------------------------------

class Row:
    """One line of the table. `met` is True, False, or None for a row
    without a goal; `error` marks a benchmark that could not run."""

    def __init__(self, name, value, goal="-", met=None, error=None):
        self.name = name
        self.value = value
        self.goal = goal
        self.met = met
        self.error = error

    def cells(self):
        if self.error is not None:
            return [self.name, "could not run: " + self.error, self.goal, "-"]
        met = "-" if self.met is None else ("yes" if self.met else "no")
        return [self.name, self.value, self.goal, met]


def format_table(rows):
    lines = [["benchmark", "median", "goal", "met"]] + [r.cells() for r in rows]
    widths = [max(len(line[i]) for line in lines) for i in range(4)]
    out = []
    for n, line in enumerate(lines):
        out.append("  ".join(cell.ljust(widths[i]) for i, cell in enumerate(line)).rstrip())
        if n == 0:
            out.append("  ".join("-" * w for w in widths))
    return "\n".join(out)


def download_row(label, program, bare, curl, min_ratio):
    """Medians in MiB/s of the three downloads of one size, and whether the
    program keeps to min_ratio of the bare loop."""
    ratio = program / bare
    value = "%.1f / %.1f / %.1f, ratio %.2f" % (program, bare, curl, ratio)
    return Row("download %s program / bare / curl MiB/s, ratio" % label, value,
               "ratio >= %.2f" % min_ratio, ratio >= min_ratio)


def roundtrip_row(us):
    """us: microseconds per message by variant (ROUNDTRIP_VARIANTS)."""
    value = " / ".join("%.1f" % us[v] for v in ROUNDTRIP_VARIANTS)
    return Row("SendMessageA round trip no-op / page repaint / percent moving / hidden page µs per message",
               value)


def expected_row(label, nbytes, bare_ms, program_ms, same_us, moving_us):
    """The download of nbytes expected from the bare loop and one message
    with the page's repaint per block, beside the program's measured time."""
    changes = percent_changes(nbytes)
    want = expected_ms(nbytes, bare_ms, same_us, moving_us)
    value = "%.0f + %d x %.0f + %d x %.0f µs = %.0f / %.0f, ratio %.2f" % (
        bare_ms, changes, moving_us, blocks(nbytes) - changes, same_us, want, program_ms, program_ms / want)
    return Row("download %s bare + one message per block = expected / program ms, ratio" % label, value)


def info_row(name, value):
    return Row(name, value)


def memory_row(small_label, big_label, small_bytes, big_bytes, max_diff_bytes):
    diff = abs(big_bytes - small_bytes)
    value = "%.1f / %.1f / %.1f" % (small_bytes / MIB, big_bytes / MIB, diff / MIB)
    return Row("peak working set %s / %s / difference MiB" % (small_label, big_label), value,
               "difference <= %.0f MiB" % (max_diff_bytes / MIB), diff <= max_diff_bytes)


def below_row(name, ms, limit_ms):
    return Row(name, "%.0f" % ms, "< %.0f" % limit_ms, ms < limit_ms)


def size_label(nbytes):
    if nbytes % MIB == 0:
        return "%d MiB" % (nbytes // MIB)
    return "%d bytes" % nbytes


def resume_rows(m, size, cut):
    """The rows of the resume benchmark: m holds the unhashed results on the
    cut link (one per run) and the medians of the others."""
    label, every = size_label(size), size_label(cut)
    failed = all(rc != 0 for rc in m["plain_cut"])
    return [
        Row("resume (a) %s cut every %s: unhashed / hashed, server bytes per package byte" % (label, every),
            "%s / %.3f" % ("fails" if failed else "succeeded", m["sent"]),
            "fails / <= 1.05", failed and m["sent"] <= 1.05),
        Row("resume (b) %s rerun after a stop at 90 %%: bytes fetched per package byte" % label,
            "%.3f" % m["rest"], "<= 0.15", m["rest"] <= 0.15),
        Row("resume (c) %s all cached: package bytes fetched" % label, "%d" % m["cached"], "0", m["cached"] == 0),
        Row("resume (d) %s good link: hashed and cached / plain download time" % label, "%.2f" % m["ratio"],
            "<= 1.05", m["ratio"] <= 1.05),
    ]
