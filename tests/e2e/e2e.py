#!/usr/bin/env python3
"""End-to-end runs of pavonix.exe under Wine on a private Xvfb display.

The real program talks to the bundled services on loopback, runs the test
installer as its packages and is driven like a user: real pointer clicks with
xdotool on the windows' real controls, screenshots with ImageMagick. A small
Windows probe (pavonix_e2e_probe.exe) reads which page shows and its texts.

    e2e.py --bin DIR SCENARIO...      run scenarios (or "all")
    e2e.py --bin DIR --list           list them
    e2e.py --bin DIR --stop           stop this folder's Xvfb and wineserver

DIR holds pavonix.exe (built with the update host 127.0.0.1),
pavonix_testinstaller.exe and pavonix_e2e_probe.exe. Work files, the Wine
prefix and the screenshots go to --work (default build/e2e).
"""

import argparse
import hashlib
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tests", "support"))
import portlock  # noqa: E402
SERVICES = os.path.join(REPO, "tools", "services", "pavonix_services.py")
MITM_PROXY = os.path.join(REPO, "tests", "support", "mitm_proxy.py")
CUT_PROXY = os.path.join(REPO, "tests", "support", "cut_proxy.py")
# The key version 1 private key the signing services use; the release test
# names the throw-away key its release program was built with.
TEST_SIGNING_KEY = os.environ.get("PAVONIX_E2E_SIGNING_KEY") or \
    os.path.join(REPO, "tests", "support", "keys", "update-test.pem")
TEST_SIGNING_KEY_V2 = os.path.join(REPO, "tests", "support", "keys", "update-test-v2.pem")
# The offline catalogue key of the tests: signs the catalogue before the
# services start; the service gets only the signed file and the public key.
TEST_CATALOGUE_KEY = os.path.join(REPO, "tests", "support", "keys", "catalogue-test")
PROXIED_PORT = 9016
EVIL_URL = "http://127.0.0.1:9007/evil.exe"
TESTCA = os.path.join(REPO, "tests", "support", "testca.sh")
# PAVONIX_WINE_DIR=scripts/lib/wow64 runs the 32-bit build in the WoW64 root.
WINE_DIR = os.environ.get("PAVONIX_WINE_DIR") or "/usr/lib/wine"
WINE = os.path.join(WINE_DIR, "wine64")
WINESERVER = os.path.join(WINE_DIR, "wineserver64")

BLUE = (1, 140, 237)
WHITE = (255, 255, 255)
GREY = (195, 195, 195)
# Bump when configure_prefix changes: existing prefixes are configured again.
PREFIX_REV = 3
# A Song (Ming) typeface from fonts-arphic-uming and the names the pages use.
SONG_FACE = "AR PL UMing CN"
SONG_NAMES = ("宋体", "SimSun", "Microsoft Sans Serif")

# Controls (ui/res/resource.h).
IDC_PROGRESS_BAR = 1004
IDC_AGREE_CHECK = 1009
IDC_LETTER_LINK = 1010
IDC_LETTER_TEXT = 1011
IDC_ACTION_BUTTON = 1020
IDC_INSTALLING_LABEL = 1021
REASONS = {1022: "本机不是增值税发票开票电脑，请在开票机电脑上安装",
           1023: "发票控件安装失败，请到发票综合管理平台下载安装",
           1024: "网络连接异常",
           1025: "授权软件安装失败，请重新安装"}
IDC_CLOSE_BUTTON = 1029
IDC_PERCENT_TEXT = 1031
AGREE_FIRST = "请先阅读并同意《数据授权协议》"
LETTER_TITLE = "数据授权书"

SKFP_KEY = r"HKLM\Software\skfpkprj\skfpkprj"


class Failure(Exception):
    pass


# What a scenario started; everything left is ended after it.
STARTED = []


def log(msg):
    print("e2e: " + msg, flush=True)


def check(cond, what):
    if not cond:
        raise Failure(what)
    log("ok: " + what)


def wait_for(pred, timeout, step=0.25, what="condition"):
    """Polls pred until it returns a true value; bounded by timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(step)


# -- the environment: display, prefix, programs --------------------------------

class Env:
    def __init__(self, bin_dir, work):
        self.bin = os.path.abspath(bin_dir)
        self.work = os.path.abspath(work)
        self.prefix = os.path.join(self.work, "prefix")
        self.shots = os.path.join(self.work, "screenshots")
        self.exe = os.path.join(self.bin, "pavonix.exe")
        # The same program built with the test key: it wants signed update replies.
        self.signed_exe = os.path.join(self.bin, "signed", "pavonix.exe")
        # Again with the version 2 test key.
        self.signed_v2_exe = os.path.join(self.bin, "signed-v2", "pavonix.exe")
        # Signed, and with the test catalogue key: it installs only what that key signed.
        self.catalogue_exe = os.path.join(self.bin, "catalogue", "pavonix.exe")
        self.probe_exe = os.path.join(self.bin, "pavonix_e2e_probe.exe")
        self.installer = os.path.join(self.bin, "pavonix_testinstaller.exe")
        self.scanner_exe = os.path.join(self.bin, "pavonix_scanner.exe")
        self.display = None
        self.known_identity = None
        self.served_probe = None
        os.makedirs(self.shots, exist_ok=True)

    def env(self, extra=None):
        e = dict(os.environ)
        e.update({"WINEPREFIX": self.prefix, "WINEARCH": "win64", "WINEDEBUG": "-all",
                  "WINEDLLOVERRIDES": "mscoree=;mshtml=;winemenubuilder.exe=d",
                  "WINESERVER": WINESERVER, "LANG": "zh_CN.UTF-8", "LC_ALL": "zh_CN.UTF-8",
                  "DISPLAY": self.display or ""})
        e.update(extra or {})
        return e

    # Display: a private Xvfb, kept between scenarios.
    def start_display(self):
        pid_file = os.path.join(self.work, "xvfb.pid")
        disp_file = os.path.join(self.work, "xvfb.display")
        if os.path.exists(pid_file) and os.path.exists(disp_file):
            pid = int(open(pid_file).read() or 0)
            if pid and os.path.exists("/proc/%d" % pid):
                self.display = open(disp_file).read().strip()
                return
        for n in range(91, 140):
            if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
                break
        else:
            raise Failure("no free X display number")
        proc = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        wait_for(lambda: os.path.exists("/tmp/.X11-unix/X%d" % n), 20, what="Xvfb")
        open(pid_file, "w").write(str(proc.pid))
        open(disp_file, "w").write(":%d" % n)
        self.display = ":%d" % n

    def start_prefix(self):
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            log("creating the Wine prefix (a minute the first time)")
            subprocess.run([WINE, "wineboot", "-i"], env=self.env(), timeout=600,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.configure_prefix()
        # A persistent server keeps the start of each program short.
        subprocess.Popen([WINESERVER, "-p", "600"], env=self.env(),
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def configure_prefix(self):
        """Once per prefix revision: a classic desktop, as the program (no
        common-controls 6 manifest) is drawn on Windows; Wine's default theme
        would draw the progress bar in its own colours."""
        mark = os.path.join(self.prefix, ".pavonix-e2e-rev")
        if os.path.exists(mark) and open(mark).read().strip() == str(PREFIX_REV):
            return
        key = r"HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager"
        self.reg("add", key, "/v", "ThemeActive", "/t", "REG_SZ", "/d", "0", "/f")
        r = self.wine(["reg", "query", key, "/v", "ThemeActive"], timeout=120)
        check(re.search(rb"ThemeActive\s+REG_SZ\s+0\s", r.stdout) is not None,
              "the prefix's visual theme is off")
        # The pages' "宋体" and "Microsoft Sans Serif" as a Song typeface (as
        # scripts/wine-run names them), so the screenshots show what Windows shows.
        for face in SONG_NAMES:
            for key in (r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes",
                        r"HKCU\Software\Wine\Fonts\Replacements"):
                self.reg("add", key, "/v", face, "/t", "REG_SZ", "/d", SONG_FACE, "/f")
        r = self.wine(["reg", "query", r"HKCU\Software\Wine\Fonts\Replacements"], timeout=120)
        check(SONG_FACE.encode() in r.stdout, "the prefix names a Song typeface")
        open(mark, "w").write("%d\n" % PREFIX_REV)

    def set_dpi(self, dpi):
        """The display DPI programs started from now on see."""
        self.reg("add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                 "/d", str(dpi), "/f")

    def stop(self):
        subprocess.run([WINESERVER, "-k"], env=self.env(), timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pid_file = os.path.join(self.work, "xvfb.pid")
        if os.path.exists(pid_file):
            pid = int(open(pid_file).read() or 0)
            if pid:
                try:
                    os.kill(pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
            os.unlink(pid_file)

    def stop_programs(self):
        """Ends every process of this prefix (it is this suite's own)."""
        subprocess.run([WINESERVER, "-k"], env=self.env(), timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)
        subprocess.Popen([WINESERVER, "-p", "600"], env=self.env(),
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wine(self, args, timeout=120, extra=None):
        # Now and then Wine's launcher cannot start a program at all (it says
        # "ShellExecuteEx" failed): that start is tried again, a few times.
        for attempt in range(3):
            # stderr stays unread: Wine's helpers inherit it and keep it open.
            r = subprocess.run([WINE] + args, env=self.env(extra), timeout=timeout,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            if b"ShellExecuteEx" not in r.stdout:
                return r
            log("wine could not start %s; again" % args[0])
            time.sleep(1 + attempt)
        return r

    def reg(self, *args):
        self.wine(["reg"] + list(args), timeout=120)

    def set_invoicing_pc(self, on):
        # The 64-bit program reads the 32-bit registry view, as the shipped one does.
        self.reg("delete", SKFP_KEY, "/f", "/reg:32")
        if on:
            self.reg("add", SKFP_KEY, "/v", "installdir", "/t", "REG_SZ", "/d", r"C:\skfpkprj", "/f", "/reg:32")

    def winpath(self, path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def unixpath(self, winpath):
        """C:\\... of this prefix as a path here."""
        drive, _, rest = winpath.partition(":")
        return os.path.join(self.prefix, "drive_" + drive.lower(), *[p for p in rest.split("\\") if p])

    def temp_folder(self):
        """The Wine temporary folder, where the program saves its packages."""
        if getattr(self, "_temp", None) is None:
            # cmd itself can fail to start while the prefix's server restarts:
            # a few tries, then the one user's default folder of the prefix.
            out = ""
            for attempt in range(3):
                out = self.wine(["cmd", "/c", "echo", "%TEMP%"]).stdout.decode("utf-8", "replace").strip()
                if len(out) > 3 and out[1] == ":" and "\n" not in out and "%" not in out:
                    self._temp = self.unixpath(out)
                    return self._temp
                time.sleep(1 + attempt)
            users = os.path.join(self.prefix, "drive_c", "users")
            found = [os.path.join(users, u, "Temp") for u in os.listdir(users)
                     if u.lower() != "public" and os.path.isdir(os.path.join(users, u, "Temp"))]
            check(len(found) == 1, "the prefix has a temporary folder (cmd said %r; found %s)" % (out, found))
            log("temporary folder taken from the prefix (cmd said %r)" % out)
            self._temp = found[0]
        return self._temp

    def windows_temp_folder(self):
        """The Windows folder's Temp of the prefix, where the program makes its
        run folders (the user's temporary folder is only its fallback)."""
        return self.unixpath("C:\\windows\\temp")

    def download_folders(self):
        """The program's download folders (one per product run) under the
        Windows folder's Temp or the temporary folder, oldest name first."""
        out = []
        for folder in (self.windows_temp_folder(), self.temp_folder()):
            names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
            out += [os.path.join(folder, n) for n in names
                    if n.startswith("pavonix-") and os.path.isdir(os.path.join(folder, n))]
        return out

    def temp_path(self, name):
        """Where a package of that name was saved (a download folder), or
        None."""
        for d in self.download_folders():
            if os.path.isfile(os.path.join(d, name)):
                return os.path.join(d, name)
        return None

    def temp_files(self):
        """{name: size} of the package-like files in the temporary folder
        and in the download folders under it."""
        out = {}
        folder = self.temp_folder()
        for d in [folder] + self.download_folders():
            for name in os.listdir(d) if os.path.isdir(d) else []:
                path = os.path.join(d, name)
                if os.path.isfile(path) and (name.startswith(("levydesk", "harbolt", "pkg")) or "evil" in name):
                    out[name] = os.path.getsize(path)
        return out

    def clear_temp_packages(self, keep_cache=False):
        folder = self.temp_folder()
        for name in os.listdir(folder) if os.path.isdir(folder) else []:
            if name in self.temp_files():
                os.unlink(os.path.join(folder, name))
        for d in self.download_folders():
            shutil.rmtree(d, ignore_errors=True)
        if not keep_cache:
            shutil.rmtree(self.cache_folder(), ignore_errors=True)

    def cache_folder(self):
        """The machine-wide package cache of the prefix."""
        return os.path.join(self.prefix, "drive_c", "ProgramData", "Pavonix", "PackageCache")

    def log_folder(self):
        return os.path.join(self.bin, "log")

    def identity(self):
        """The installation identity as stored (REG_NONE bytes), or None."""
        r = self.wine(["reg", "query", r"HKLM\Software\ZYN\DA", "/v", "UniqueID", "/reg:32"], timeout=120)
        for line in r.stdout.decode("utf-8", "replace").splitlines():
            parts = line.split()
            if len(parts) >= 3 and parts[0] == "UniqueID":
                try:
                    return bytes.fromhex(parts[2]).decode("ascii")
                except ValueError:
                    return parts[2]
        return None

    def _ask_served_probe(self):
        """One look through the probe kept running (--serve), started on the
        first look and again after the prefix's programs were ended; None
        when it does not answer a whole line within 30 s (it is then ended)."""
        p = self.served_probe
        if p is None or p.poll() is not None:
            p = self.served_probe = subprocess.Popen(
                [WINE, self.probe_exe, "--serve", "900"], env=self.env(), stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            p.stdin.write(b"windows\n")
            p.stdin.flush()
            out = b""
            deadline = time.monotonic() + 30
            while not out.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([p.stdout], [], [], left)[0]:
                    raise OSError("no answer")
                chunk = os.read(p.stdout.fileno(), 1 << 20)
                if not chunk:
                    raise OSError("ended")
                out += chunk
            return out
        except OSError:
            p.kill()
            p.wait(timeout=30)
            self.served_probe = None
            return None

    def end_served_probe(self):
        p, self.served_probe = self.served_probe, None
        if p is not None and p.poll() is None:
            try:
                p.stdin.write(b"quit\n")
                p.stdin.close()
                p.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                p.kill()
                p.wait(timeout=30)

    # The pages, as the probe sees them.
    def probe(self):
        out = self._ask_served_probe()
        if out is None:
            out = self.wine([self.probe_exe], timeout=60).stdout
        try:
            state = json.loads(out.decode("ascii", "replace"))
        except ValueError:
            return []
        wins = []
        for w in state.get("windows", []):
            w["title"] = bytes.fromhex(w["title"]).decode("gbk", "replace")
            for c in w["controls"]:
                c["text"] = bytes.fromhex(c["text"]).decode("gbk", "replace")
            w["ids"] = {c["id"]: c for c in w["controls"]}
            w["page"] = classify(w)
            w["foreground"] = w["hwnd"] == state.get("foreground")
            wins.append(w)
        return wins

    def pages(self, name):
        return [w for w in self.probe() if w["page"] == name]

    def wait_page(self, name, timeout):
        return wait_for(lambda: (self.pages(name) or [None])[0], timeout, step=0.5, what="the %s page" % name)

    def click(self, x, y):
        e = self.env()
        subprocess.run(["xdotool", "mousemove", str(x), str(y)], env=e, timeout=20, check=True)
        time.sleep(0.2)
        subprocess.run(["xdotool", "click", "1"], env=e, timeout=20, check=True)

    def click_control(self, control):
        l, t, r, b = control["rect"]
        self.click((l + r) // 2, (t + b) // 2)

    def move_window_at(self, x, y, to_x, to_y):
        """Moves the X window under the point (what a window manager would do)."""
        e = self.env()
        subprocess.run(["xdotool", "mousemove", str(x), str(y)], env=e, timeout=20, check=True)
        out = subprocess.run(["xdotool", "getmouselocation", "--shell"], env=e, timeout=20,
                             stdout=subprocess.PIPE, check=True).stdout.decode()
        wid = dict(line.split("=", 1) for line in out.split() if "=" in line).get("WINDOW")
        subprocess.run(["xdotool", "windowmove", wid, str(to_x), str(to_y)], env=e, timeout=20, check=True)

    def key(self, keys):
        subprocess.run(["xdotool", "key"] + keys.split(), env=self.env(), timeout=20, check=True)

    def screenshot(self, name):
        path = os.path.join(self.shots, name + ".png")
        subprocess.run(["import", "-window", "root", path], env=self.env(), timeout=60, check=True)
        log("screenshot " + path)
        return path


def classify(w):
    ids = w["ids"]
    if IDC_LETTER_TEXT in ids:
        return "letter"
    if IDC_AGREE_CHECK in ids:
        return "main"
    if IDC_PROGRESS_BAR in ids:
        return "progress"
    if 1022 in ids:
        return "failure"
    if IDC_ACTION_BUTTON in ids:
        return "success"
    if w["owner"]:
        return "messagebox"
    return "other"


# -- screenshots: what can be measured -----------------------------------------

def region_colours(png, rect):
    """Fractions of blue and of white pixels of a screen rectangle."""
    l, t, r, b = rect
    w, h = r - l, b - t
    raw = subprocess.run(["convert", png, "-crop", "%dx%d+%d+%d" % (w, h, l, t), "+repage",
                          "-depth", "8", "rgb:-"], stdout=subprocess.PIPE, timeout=60, check=True).stdout
    n = len(raw) // 3
    if n == 0:
        return 0.0, 0.0
    blue = white = 0
    for i in range(0, n * 3, 3):
        px = (raw[i], raw[i + 1], raw[i + 2])
        if all(abs(a - c) <= 12 for a, c in zip(px, BLUE)):
            blue += 1
        elif px[0] >= 245 and px[1] >= 245 and px[2] >= 245:
            white += 1
    return blue / n, white / n


def bar_colours(png, page):
    """Fractions of the trough grey and the bar blue inside the progress bar
    (its border left out)."""
    l, t, r, b = page["ids"][IDC_PROGRESS_BAR]["rect"]
    l, t, r, b = l + 3, t + 3, r - 3, b - 3
    raw = subprocess.run(["convert", png, "-crop", "%dx%d+%d+%d" % (r - l, b - t, l, t), "+repage",
                          "-depth", "8", "rgb:-"], stdout=subprocess.PIPE, timeout=60, check=True).stdout
    n = len(raw) // 3
    if n == 0:
        return 0.0, 0.0
    grey = blue = 0
    for i in range(0, n * 3, 3):
        px = (raw[i], raw[i + 1], raw[i + 2])
        if all(abs(a - c) <= 4 for a, c in zip(px, GREY)):
            grey += 1
        elif all(abs(a - c) <= 4 for a, c in zip(px, BLUE)):
            blue += 1
    return grey / n, blue / n


def check_bar(png, page, want):
    """want: "grey" (nothing downloaded), "blue" (all of it) or "any" (only
    those two colours)."""
    grey, blue = bar_colours(png, page)
    label = "progress bar: grey %.2f, blue %.2f" % (grey, blue)
    if want == "grey":
        check(grey > 0.9, label + "; the empty bar is RGB(195,195,195)")
    elif want == "blue":
        check(blue > 0.9, label + "; the full bar is RGB(1,140,237)")
    else:
        check(grey + blue > 0.9, label + "; nothing but the trough grey and the bar blue")


def check_main_look(png, page):
    l, t, r, b = page["rect"]
    h = b - t
    blue, _ = region_colours(png, (l, t, r, t + h * 5 // 6 - 4))
    check(blue > 0.5, "main page: the picture's field is blue (%.2f)" % blue)
    _, white = region_colours(png, (l, b - h // 6 + 4, r, b))
    check(white > 0.6, "main page: the strip under it is white (%.2f)" % white)
    button = page["ids"][IDC_ACTION_BUTTON]["rect"]
    blue, white = region_colours(png, button)
    check(blue > 0.5 and white > 0.02, "main page: install button blue with a white caption (%.2f/%.2f)"
          % (blue, white))


def blue_ink(png, rect):
    """Fraction of pixels inside rect tinted towards the caption blue: a thin
    Song caption is smoothed, so few of its pixels are the pure blue."""
    l, t, r, b = rect
    raw = subprocess.run(["convert", png, "-crop", "%dx%d+%d+%d" % (r - l, b - t, l, t), "+repage",
                          "-depth", "8", "rgb:-"], stdout=subprocess.PIPE, timeout=60, check=True).stdout
    n = len(raw) // 3
    if n == 0:
        return 0.0
    ink = sum(1 for i in range(0, n * 3, 3) if raw[i + 2] - raw[i] >= 60 and raw[i + 1] < 235)
    return ink / n


def check_button_face(png, page, face, ink, label):
    rect = page["ids"][IDC_ACTION_BUTTON]["rect"]
    blue, white = region_colours(png, rect)
    main, text = (blue, white) if face == "blue" else (white, blue_ink(png, rect))
    check(main > 0.5 and text > 0.004, "%s: %s face with %s caption (%.2f/%.2f)" % (label, face, ink, main, text))


# -- services -------------------------------------------------------------------

PACKAGE_SIZE = 300001   # odd: half and one-less differ; a few reads of 10240 bytes


def installer_bytes(env, size=PACKAGE_SIZE):
    """The test installer padded to `size` bytes (a PE file runs with a tail)."""
    data = open(env.installer, "rb").read()
    return data + b"\0" * max(0, size - len(data))


class Services:
    """The bundled services on the program's fixed ports, one scenario's worth.

    local: "ok", "down", a local-service mode ("notjson", "code1", ...) or a
    certificate fault ("untrusted": a CA the prefix does not trust,
    "wrongname": trusted CA, another name). update: False for nothing
    listening, else True; update_fault: a fault of the whole update service.
    package_faults: {file: fault}; aliases: {requested name: file};
    vendor: the vendor product's catalogue entries (default: installer and
    readme); files: extra {name: bytes} in the package folder."""

    def __init__(self, env, folder, local="ok", update=True, client_ok=True, vendor_ok=True,
                 update_fault=None, package_faults=None, aliases=None, vendor=None, files=None,
                 signing_key=None, proxy_mode=None, hashes=None, package_port=9007, cut_proxy=None,
                 catalogue_key=None):
        self.env = env
        # signing_key: the update service signs with it. proxy_mode: the
        # update service moves to PROXIED_PORT and tests/support/mitm_proxy.py
        # answers on 9006 in that mode.
        self.proxy_mode = proxy_mode
        self.proxy = None
        # cut_proxy: arguments of tests/support/cut_proxy.py, started on 9007
        # once the services are up.
        self.cut_proxy = cut_proxy
        self.folder = folder
        self.state = os.path.join(folder, "state")
        self.lock = None
        os.makedirs(os.path.join(folder, "packages"), exist_ok=True)
        os.makedirs(os.path.join(folder, "logs"), exist_ok=True)
        not_exe = b"MZ? not a program, only a text that claims to be one.\r\n"
        self.sizes = {}

        def package(name, data):
            path = os.path.join(folder, "packages", name)
            # The same bytes keep their file, so its ETag stays (a rerun's
            # If-Range still matches).
            if not (os.path.isfile(path) and open(path, "rb").read() == data):
                open(path, "wb").write(data)
            self.sizes[name] = len(data)

        package("levydesk_setup.exe", installer_bytes(env) if client_ok else not_exe)
        package("harbolt_setup.exe", installer_bytes(env) if vendor_ok else not_exe)
        package("harbolt_readme.txt", b"readme\r\n")
        for name, data in (files or {}).items():
            package(name, data)
        if vendor is None:
            vendor = [("harbolt_setup.exe", True), ("harbolt_readme.txt", False)]
        self.vendor = vendor
        catalogue = {"products": {
            "levyDesk": {"*": [{"address": "{packages}/levydesk_setup.exe", "version": "V1.0",
                                "soft": "levyDesk", "excuteExe": True}]},
            "ZYN-HARBOLT": {"*": [{"address": "{packages}/" + name, "version": "V1.0-20200902",
                                   "soft": "ZYN-HARBOLT", "excuteExe": run} for name, run in vendor]}}}
        # hashes: {file: the "sha256" the update service lists for it}. A
        # signing service lists only hashes recorded at publishing: each
        # file's own, as `publish` records them.
        for entries in catalogue["products"].values():
            for p in entries["*"]:
                name = p["address"].rsplit("/", 1)[-1]
                if name in (hashes or {}):
                    p["sha256"] = hashes[name]
                elif signing_key and name in self.sizes:
                    data = open(os.path.join(folder, "packages", name), "rb").read()
                    p["sha256"] = hashlib.sha256(data).hexdigest()
                    p["size"] = len(data)
        json.dump(catalogue, open(os.path.join(folder, "catalogue.json"), "w"))
        if catalogue_key:
            # Signed offline, with a version above any an earlier run's
            # prefix accepted (the program refuses an older one).
            subprocess.run([sys.executable, SERVICES, "publish", "--catalogue", "catalogue.json",
                            "--folder", "packages", "--catalogue-key", catalogue_key + ".pem",
                            "--signed-catalogue", "signed.json", "--catalogue-version",
                            str(int(time.time())), "--packages-url", "http://127.0.0.1:9007"],
                           cwd=folder, check=True, timeout=60, stdout=subprocess.DEVNULL)
        cfg = {"host": "127.0.0.1",
               "package_server": {"port": package_port, "folder": "packages", "log": "logs/package-server.jsonl",
                                  "file_faults": package_faults or {}, "aliases": aliases or {}}}
        if update:
            cfg["update_service"] = {"port": 9006, "catalogue": "catalogue.json", "fault": update_fault,
                                     "log": "logs/update-service.jsonl"}
            if signing_key:
                cfg["update_service"]["signing_key"] = signing_key
            if catalogue_key:
                cfg["update_service"].update({"signed_catalogue": "signed.json",
                                              "catalogue_pubkey": catalogue_key + ".pub"})
            if package_port != 9007:
                # Something else answers on 9007 (the cutting proxy).
                cfg["update_service"]["packages_url"] = "http://127.0.0.1:9007"
            if proxy_mode:
                cfg["update_service"]["port"] = PROXIED_PORT
        if local != "down":
            certs = os.path.join(env.work, "certs")
            cert = {"untrusted": "untrusted", "wrongname": "wrongname"}.get(local, "server")
            mode = "ok" if local in ("ok", "untrusted", "wrongname") else local
            cfg["local_service"] = {"port": 28000, "cert": os.path.join(certs, cert + ".pem"),
                                    "key": os.path.join(certs, cert + ".key"), "mode": mode,
                                    "log": "logs/local-service.jsonl"}
        json.dump(cfg, open(os.path.join(folder, "serve.json"), "w"))

    def take_port_lock(self, timeout):
        """The fixed ports are machine-wide: one holder at a time (bounded wait)."""
        try:
            self.lock = portlock.acquire(timeout)
        except TimeoutError as exc:
            raise Failure(str(exc))

    def start(self):
        STARTED.append(self)
        self.take_port_lock(600)
        # Other programs on this machine may still hold the ports for a while.
        # Wait for them (bounded), then start.
        deadline = time.monotonic() + 600
        while True:
            wait_for(ports_free, max(1.0, deadline - time.monotonic()), step=1.0,
                     what="ports 9006, 9007 and 28000 to be free")
            r = subprocess.run([sys.executable, SERVICES, "start", "--config", os.path.join(self.folder, "serve.json"),
                                "--state", self.state, "--max-seconds", "600"], timeout=60,
                               stdout=subprocess.DEVNULL)
            if r.returncode == 0:
                self._start_proxy()
                return
            self._stop_services()
            if time.monotonic() >= deadline:
                raise Failure("the services did not start (see %s)" % self.state)
            time.sleep(2)

    def _start_proxy(self):
        if self.cut_proxy:
            ready = os.path.join(self.state, "cut-proxy.json")
            self.proxy = subprocess.Popen([sys.executable, CUT_PROXY, "--port", "9007", "--ready-file", ready,
                                           "--max-seconds", "600"] + self.cut_proxy,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for(lambda: os.path.exists(ready), 20, what="the cutting proxy on port 9007")
            return
        if not self.proxy_mode:
            return
        ready = os.path.join(self.state, "proxy.json")
        self.proxy = subprocess.Popen([sys.executable, MITM_PROXY, "--port", "9006", "--upstream", str(PROXIED_PORT),
                                       "--mode", self.proxy_mode, "--evil-url", EVIL_URL,
                                       "--log", os.path.join(self.folder, "logs", "proxy.jsonl"),
                                       "--ready-file", ready, "--max-seconds", "600"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(ready), 20, what="the proxy on port 9006")

    def _stop_services(self):
        if self.proxy is not None:
            self.proxy.terminate()
            try:
                self.proxy.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proxy.kill()
            self.proxy = None
        subprocess.run([sys.executable, SERVICES, "stop", "--state", self.state], timeout=60,
                       stdout=subprocess.DEVNULL)

    def stop(self):
        self._stop_services()
        if self.lock is not None:
            self.lock.close()  # releases the lock
            self.lock = None

    def requests(self, service):
        path = os.path.join(self.folder, "logs", service + ".jsonl")
        if not os.path.exists(path):
            return []
        return [json.loads(line) for line in open(path, encoding="utf-8") if line.strip()]

    def products_requested(self):
        out = []
        for entry in self.requests("update-service"):
            text = json.dumps(entry.get("requestStr") or entry.get("body") or "")
            out.append("levyDesk" if "levyDesk" in text else "ZYN-HARBOLT" if "ZYN-HARBOLT" in text else "?")
        return out


def ports_free():
    import socket
    for port in (9006, 9007, 28000):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(0.5)
        try:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return False
        finally:
            s.close()
    return True


def make_fault_certs(certs):
    """untrusted.pem: 127.0.0.1 from a CA the prefix does not trust;
    wrongname.pem: from the trusted test CA, for another name."""
    def run(*args):
        subprocess.run(["openssl"] + list(args), timeout=120, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    p = lambda name: os.path.join(certs, name)
    if all(os.path.exists(p(n)) for n in ("untrusted.pem", "untrusted.key", "wrongname.pem", "wrongname.key")):
        return
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "3650", "-keyout", p("other-ca.key"),
        "-out", p("other-ca.pem"), "-subj", "/CN=Pavonix Other CA",
        "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    for name, ca, san in (("untrusted", "other-ca", "IP:127.0.0.1,DNS:127.0.0.1"),
                          ("wrongname", "ca", "DNS:localhost.invalid")):
        ext = p(name + ".ext")
        open(ext, "w").write("subjectAltName=%s\nbasicConstraints=CA:FALSE\n"
                             "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n" % san)
        cn = "127.0.0.1" if name == "untrusted" else "localhost.invalid"
        run("req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", p(name + ".key"), "-out", p(name + ".csr"),
            "-subj", "/CN=" + cn)
        run("x509", "-req", "-in", p(name + ".csr"), "-CA", p(ca + ".pem"), "-CAkey", p(ca + ".key"),
            "-CAcreateserial", "-days", "3650", "-sha256", "-extfile", ext, "-out", p(name + ".pem"))


def trust_test_ca(env):
    certs = os.path.join(env.work, "certs")
    subprocess.run(["bash", TESTCA, "make", certs], timeout=120, check=True, stdout=subprocess.DEVNULL)
    make_fault_certs(certs)
    subprocess.run(["bash", TESTCA, "trust", certs, env.prefix], timeout=180, check=True,
                   stdout=subprocess.DEVNULL, env=env.env())


# -- the program ----------------------------------------------------------------

def write_installer_settings(folder, settings):
    """The test installer's settings beside the program that starts it: the
    program gives installers the machine's environment, never its own."""
    with open(os.path.join(folder, "pavonix-installer-settings.txt"), "w", newline="") as fh:
        for name, value in sorted(settings.items()):
            fh.write("%s=%s\r\n" % (name, value))


class Program:
    def __init__(self, env, folder, extra_env=None):
        self.env = env
        self.record = os.path.join(folder, "installer-record.txt")
        if os.path.exists(self.record):
            os.unlink(self.record)
        self.started = time.monotonic()
        STARTED.append(self)
        extra = {"PAVONIX_INSTALLER_RECORD": env.winpath(self.record), "PAVONIX_INSTALLER_SLEEP_MS": "1500"}
        extra.update(extra_env or {})
        write_installer_settings(os.path.dirname(env.exe), extra)
        self.proc = subprocess.Popen([WINE, env.exe], env=env.env(extra),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end within %d s" % timeout)

    def stop(self):
        self.kill()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=30)

    def runs(self):
        """(file name, exit code) of each installer run, in order."""
        if not os.path.exists(self.record):
            return []
        lines = open(self.record, encoding="latin-1").read().splitlines()
        fields = [line.split("\t") for line in lines if line.strip()]
        return [(f[0].rsplit("\\", 1)[-1], int(f[4])) for f in fields if len(f) == 5]

    def installers(self):
        return [name for name, _ in self.runs()]


def visible_reasons(page):
    return sorted(i for i in REASONS if page["ids"].get(i, {}).get("visible"))


# -- scenarios ------------------------------------------------------------------

def run_install(env, name, folder, expect, services_kw, invoicing=True, program_env=None, during=None,
                final_timeout=180, keep_cache=False, before=None):
    """Starts the program, clicks install, waits for the final page.

    during(prog), when given, runs once the progress page shows; before(),
    once earlier runs' packages are gone, before the program starts."""
    env.set_invoicing_pc(invoicing)
    env.clear_temp_packages(keep_cache)
    if before:
        before()
    svc = Services(env, folder, **services_kw)
    svc.start()
    prog = Program(env, folder, program_env)
    try:
        main = env.wait_page("main", 90)
        log("main page visible %.1f s after start" % (time.monotonic() - prog.started))
        shot = env.screenshot(name + "-1-main")
        # A slow start (the emulated 32-bit program) shows the window before
        # its buttons have painted: look again for a few seconds.
        deadline = time.monotonic() + 10
        while region_colours(shot, main["ids"][IDC_ACTION_BUTTON]["rect"])[0] <= 0.5 and \
                time.monotonic() < deadline:
            time.sleep(0.5)
            shot = env.screenshot(name + "-1-main")
        check_main_look(shot, main)
        check(main["ids"][IDC_AGREE_CHECK]["visible"], "agreement box shown")
        env.click_control(main["ids"][IDC_ACTION_BUTTON])
        prog.clicked = time.monotonic()
        # A short run may already be past the progress page when it is looked at.
        first = wait_for(lambda: [w for w in env.probe() if w["page"] in ("progress", expect)], 30, step=0.3,
                         what="the progress or the %s page" % expect)
        if first[0]["page"] == "progress":
            check_bar(env.screenshot(name + "-2-progress"), first[0], "any")
        check(not env.pages("main"), "main page hidden once install was pressed")
        if during is not None:
            during(prog)
        final = env.wait_page(expect, final_timeout)
        prog.ended_run = time.monotonic()
        time.sleep(0.5)
        final = env.pages(expect)[0]
        shot = env.screenshot(name + "-3-" + expect)
        check(not [w for w in env.probe() if w["page"] == "progress"], "progress page hidden at the end")
        check(prog.proc.poll() is None, "the program is still running on its final page")
        return svc, prog, final, shot
    except Exception:
        env.screenshot(name + "-error")
        prog.kill()
        svc.stop()
        raise


def check_identity(env, svc):
    """The identity in the registry is the one the program sent, and the one
    the earlier scenarios of this prefix saw."""
    now = env.identity()
    check(now is not None and len(now) == 36, "the registry holds an identity: %r" % now)
    if env.known_identity is not None:
        check(now == env.known_identity, "the identity is unchanged: %s" % now)
    env.known_identity = now
    for entry in svc.requests("update-service"):
        text = json.dumps(entry)
        check(now in text, "the update request carries the stored identity")


def finish(env, prog, svc, page):
    env.click_control(page["ids"][IDC_ACTION_BUTTON])
    code = prog.wait_exit(20)
    svc.stop()
    check(code == 0, "the final page's button ends the program with 0 (got %d)" % code)
    check_identity(env, svc)


def scenario_healthy(env, folder):
    svc, prog, page, shot = run_install(env, "healthy", folder, "success", {"local": "ok"})
    check_button_face(shot, page, "blue", "white", "success page")
    check(prog.installers() == ["harbolt_setup.exe"], "only the vendor installer ran: %s" % prog.installers())
    check(svc.products_requested() == ["ZYN-HARBOLT"], "only the vendor product was requested: %s"
          % svc.products_requested())
    check(len(svc.requests("local-service")) >= 1, "the local service was asked")
    finish(env, prog, svc, page)


def scenario_local_down(env, folder):
    svc, prog, page, _ = run_install(env, "local-down", folder, "success", {"local": "down"})
    check(prog.installers() == ["levydesk_setup.exe", "harbolt_setup.exe"],
          "client then vendor installer: %s" % prog.installers())
    check(svc.products_requested() == ["levyDesk", "ZYN-HARBOLT"], "client then vendor requested: %s"
          % svc.products_requested())
    finish(env, prog, svc, page)


def expect_failure(env, folder, name, reason, services_kw, invoicing=True, **kw):
    svc, prog, page, shot = run_install(env, name, folder, "failure", services_kw, invoicing, **kw)
    check(visible_reasons(page) == [reason], "only reason %d shows: %s" % (reason, visible_reasons(page)))
    check(page["ids"][reason]["text"] == REASONS[reason], "reason text: " + page["ids"][reason]["text"])
    check(page["topmost"], "the failure page stays on top")
    check_button_face(shot, page, "white", "blue", "failure page")
    return svc, prog, page


def scenario_not_invoicing(env, folder):
    svc, prog, page = expect_failure(env, folder, "not-invoicing", 1022, {"local": "ok"}, invoicing=False)
    check(not svc.requests("update-service") and not svc.requests("local-service")
          and not svc.requests("package-server"), "no request reached the services")
    check(prog.installers() == [], "no installer ran")
    finish(env, prog, svc, page)


def scenario_update_down(env, folder):
    svc, prog, page = expect_failure(env, folder, "update-down", 1024, {"local": "down", "update": False})
    check(prog.installers() == [], "no installer ran")
    finish(env, prog, svc, page)


def scenario_client_fails(env, folder):
    svc, prog, page = expect_failure(env, folder, "client-fails", 1023, {"local": "down", "client_ok": False})
    check(svc.products_requested() == ["levyDesk"], "the vendor product was not tried: %s"
          % svc.products_requested())
    finish(env, prog, svc, page)


def scenario_vendor_fails(env, folder):
    svc, prog, page = expect_failure(env, folder, "vendor-fails", 1025, {"local": "down", "vendor_ok": False})
    check(prog.installers() == ["levydesk_setup.exe"], "the client installer ran: %s" % prog.installers())
    finish(env, prog, svc, page)


def start_idle(env, folder, name):
    env.set_invoicing_pc(True)
    svc = Services(env, folder, local="down", update=False)
    svc.start()
    prog = Program(env, folder)
    main = env.wait_page("main", 90)
    env.screenshot(name + "-1-main")
    return svc, prog, main


def scenario_agreement_cleared(env, folder):
    svc, prog, main = start_idle(env, folder, "agreement")
    try:
        env.click_control(main["ids"][IDC_AGREE_CHECK])
        time.sleep(0.5)
        env.click_control(main["ids"][IDC_ACTION_BUTTON])
        box = env.wait_page("messagebox", 20)
        env.screenshot("agreement-2-messagebox")
        texts = [c["text"] for c in box["controls"]]
        check(AGREE_FIRST in texts, "the message asks to accept the letter first")
        check(box["title"] == "", "the message box has an empty title")
        check(env.pages("main"), "the main page stays")
        check(not env.pages("progress"), "no progress page")
        ok = [c for c in box["controls"] if c["class"].lower() == "button"]
        env.click_control(ok[0])
        wait_for(lambda: not env.pages("messagebox"), 20, what="the message box to close")
        check(env.pages("main") and not env.pages("progress"), "still on the main page, nothing started")
        check(not svc.requests("package-server"), "no download was started")
        env.click_control(env.pages("main")[0]["ids"][IDC_CLOSE_BUTTON])
        prog.wait_exit(20)
    finally:
        prog.kill()
        svc.stop()


def scenario_letter_twice(env, folder):
    svc, prog, main = start_idle(env, folder, "letter")
    try:
        link = main["ids"][IDC_LETTER_LINK]
        env.click_control(link)
        first = wait_for(lambda: env.pages("letter"), 30, what="a viewer")[0]
        # The viewer opens centred over the main page and has no caption to drag
        # it by; move its X window aside so the link can be clicked again.
        l, t, r, b = first["rect"]
        env.move_window_at((l + r) // 2, (t + 8), 0, 0)
        time.sleep(0.5)
        env.click_control(link)
        viewers = wait_for(lambda: len(env.pages("letter")) >= 2 and env.pages("letter"), 30, what="two viewers")
        shot = env.screenshot("letter-2-viewers")
        # Another process cannot read a rich edit control's text under Wine, so
        # the letter is checked on screen (its GBK text is asserted by the
        # viewer's suite): the text box of the front viewer holds lines of ink.
        front = viewers[0] if viewers[0]["foreground"] else viewers[-1]
        blue, white = region_colours(shot, front["ids"][IDC_LETTER_TEXT]["rect"])
        ink = 1.0 - white
        check(0.02 < ink < 0.6, "the front viewer's text box shows the letter (ink %.2f, blue %.3f)"
              % (ink, blue))
        check(blue > 0.001, "the letter's blue headings are drawn")
        env.key("alt+F4")
        time.sleep(1.0)
        check(len(env.pages("letter")) == 2, "Alt+F4 leaves the viewers open")
        front = [v for v in env.pages("letter") if v["foreground"]] or env.pages("letter")
        ok = [c for c in front[0]["controls"] if c["id"] == 1]
        env.click_control(ok[0])
        wait_for(lambda: len(env.pages("letter")) == 1, 20, what="one viewer to close")
        env.screenshot("letter-3-one-closed")
        check(env.pages("main"), "the main page is still there")
        env.click_control(env.pages("main")[0]["ids"][IDC_CLOSE_BUTTON])
        prog.wait_exit(20)
    finally:
        prog.kill()
        svc.stop()


EXIT_MINUS_ONE = 0xFFFFFFFF


def start_again(env, args=()):
    """Starts the program once more through the probe, which waits for it:
    its whole exit code (Wine's own exit status keeps only the low byte, so
    -1 and a crash ending in 0x...FF would look alike), or None."""
    r = env.wine([env.probe_exe, "--run", env.winpath(env.exe)] + list(args), timeout=150)
    try:
        return json.loads(r.stdout.decode("ascii", "replace")).get("exit")
    except ValueError:
        return None


def scenario_second_start(env, folder):
    svc, prog, main = start_idle(env, folder, "second")
    try:
        # Put a viewer in front, then start again: the first instance comes forward.
        env.click_control(main["ids"][IDC_LETTER_LINK])
        wait_for(lambda: env.pages("letter"), 30, what="a viewer")
        before = len(env.probe())
        # An expired log file, put there after the first start purged: the
        # second start purges it before it hands over.
        os.makedirs(env.log_folder(), exist_ok=True)
        expired = os.path.join(env.log_folder(), "20000101-pavonix.log")
        open(expired, "wb").write(b"old\r\n")
        code = start_again(env)
        check(code == EXIT_MINUS_ONE, "the second start exits with -1 (got %s)" % code)
        check(not os.path.exists(expired), "the second start purged the expired log file")
        # Arguments change nothing.
        code = start_again(env, ["/S", "--install", "x"])
        check(code == EXIT_MINUS_ONE, "a second start with arguments exits with -1 too (got %s)" % code)
        wins = env.probe()
        check(len(wins) == before, "the second start opened no window")
        mains = [w for w in wins if w["page"] == "main"]
        check(len(mains) == 1 and mains[0]["foreground"], "the first instance's main page is in front")
        env.screenshot("second-2-front")
        # The viewer still lies over the page: close it with its OK, then the program.
        viewer = env.pages("letter")[0]
        env.click_control([c for c in viewer["controls"] if c["id"] == 1][0])
        wait_for(lambda: not env.pages("letter"), 20, what="the viewer to close")
        env.click_control(mains[0]["ids"][IDC_CLOSE_BUTTON])
        prog.wait_exit(20)
    finally:
        prog.kill()
        svc.stop()


def scenario_mutex_without_window(env, folder):
    # The single-instance mutex exists but no window carries the property
    # (another instance still starting or closing): this start opens its own
    # main page and runs as a first one.
    env.set_invoicing_pc(True)
    holder = subprocess.Popen([WINE, env.probe_exe, "--hold", "PAVONIX", "--run", env.winpath(env.exe)],
                              env=env.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        main = env.wait_page("main", 90)
        env.screenshot("mutex-without-window-1-main")
        env.click_control(main["ids"][IDC_CLOSE_BUTTON])
        out, _ = holder.communicate(timeout=60)
        code = json.loads(out.decode("ascii", "replace") or "{}").get("exit")
        check(code == 0, "it ran as a first instance and ended with 0 (got %s)" % code)
    finally:
        if holder.poll() is None:
            holder.kill()
        env.stop_programs()


def without_main_dialog(exe, out):
    """A copy of the program whose dialog resource 129 is renumbered 128 (the
    directory stays sorted): the main dialog cannot be made."""
    data = bytearray(open(exe, "rb").read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    dirs = opt + (96 if magic == 0x10B else 112)
    rsrc_rva = struct.unpack_from("<I", data, dirs + 2 * 8)[0]
    table = opt + struct.unpack_from("<H", data, pe + 20)[0]
    base = None
    for i in range(sections):
        va, size, raw = struct.unpack_from("<III", data, table + 40 * i + 12)
        if va <= rsrc_rva < va + max(size, 1):
            base = raw + (rsrc_rva - va)
    check(base is not None, "the program has a resource section")

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, offset + 12)
        return [offset + 16 + 8 * i for i in range(named + ids)]

    done = False
    for e in entries(base):
        name, target = struct.unpack_from("<II", data, e)
        if name == 5 and target & 0x80000000:  # RT_DIALOG
            for d in entries(base + (target & 0x7FFFFFFF)):
                if struct.unpack_from("<I", data, d)[0] == 129:
                    struct.pack_into("<I", data, d, 128)
                    done = True
    check(done, "dialog 129 found in the program's resources")
    open(out, "wb").write(bytes(data))


def scenario_no_main_dialog(env, folder):
    exe = os.path.join(folder, "pavonix.exe")
    without_main_dialog(env.exe, exe)
    before = len(env.probe())
    r = env.wine([env.probe_exe, "--run", env.winpath(exe), "/x"], timeout=150)
    code = json.loads(r.stdout.decode("ascii", "replace") or "{}").get("exit")
    check(code == 0, "without its main dialog the program ends with 0 (got %s)" % code)
    check(len(env.probe()) == before, "and opens no window")


def scenario_close_button(env, folder):
    svc, prog, main = start_idle(env, folder, "close")
    try:
        close = main["ids"][IDC_CLOSE_BUTTON]
        l, t, r, b = close["rect"]
        x, y = (l + r) // 2, (t + b) // 2
        e = env.env()
        subprocess.run(["xdotool", "mousemove", str(x), str(y)], env=e, timeout=20, check=True)
        time.sleep(0.3)
        # Press only: the program must end without the release.
        subprocess.run(["xdotool", "mousedown", "1"], env=e, timeout=20, check=True)
        try:
            code = prog.wait_exit(20)
        finally:
            subprocess.run(["xdotool", "mouseup", "1"], env=e, timeout=20)
        check(code == 0, "the press on the close button ends the program with 0")
    finally:
        prog.kill()
        svc.stop()


# -- the fault matrix -------------------------------------------------------------

NETWORK = 1024
CLIENT_FAILED = 1023
VENDOR_FAILED = 1025


def check_three_attempts(svc, product="levyDesk"):
    asked = svc.products_requested()
    check(asked == [product] * 3, "three attempts for %s, nothing else: %s" % (product, asked))


def update_fault_scenario(fault):
    def scenario(env, folder):
        svc, prog, page = expect_failure(env, folder, "update-" + fault, NETWORK,
                                         {"local": "down", "update_fault": fault})
        check_three_attempts(svc)
        check(not svc.requests("package-server"), "no download was tried")
        check(prog.installers() == [], "no installer ran")
        check(env.temp_files() == {}, "no package file appeared: %s" % env.temp_files())
        finish(env, prog, svc, page)
    return scenario


def scenario_update_code1(env, folder):
    # A code other than "0" lists nothing to do, even with packages beside it.
    svc, prog, page, _ = run_install(env, "update-code1", folder, "success", {"local": "ok", "update_fault": "code1"})
    check(svc.products_requested() == ["ZYN-HARBOLT"], "one request: %s" % svc.products_requested())
    check(not svc.requests("package-server"), "the listed packages were not fetched")
    check(prog.installers() == [], "no installer ran")
    finish(env, prog, svc, page)


def scenario_update_list20(env, folder):
    names = ["pkg%02d_%s" % (i, "setup.exe" if i in (1, 10, 20) else "data.bin") for i in range(1, 21)]
    # Each installer its own bytes (a tail of i zero bytes): equal packages
    # would share one entry of the package cache and be fetched once.
    files = {n: installer_bytes(env) + bytes(i) if n.endswith(".exe") else os.urandom(1000 + 7919 * i)
             for i, n in enumerate(names, 1)}
    vendor = [(n, n.endswith(".exe")) for n in names]
    svc, prog, page, _ = run_install(env, "update-list20", folder, "success",
                                     {"local": "ok", "vendor": vendor, "files": files},
                                     program_env={"PAVONIX_INSTALLER_SLEEP_MS": "200"})
    gets = [e["file"] for e in svc.requests("package-server")]
    check(gets == names, "the 20 packages fetched once each, in list order")
    have = env.temp_files()
    check(all(have.get(n) == svc.sizes[n] for n in names), "all 20 saved whole in the temporary folder")
    for n in names:
        data = open(env.temp_path(n), "rb").read()
        if data != open(os.path.join(folder, "packages", n), "rb").read():
            raise Failure("%s differs from the served file" % n)
    log("ok: every saved package is byte for byte the served one")
    check(prog.installers() == [n for n in names if n.endswith(".exe")],
          "the three marked installers ran in list order: %s" % prog.installers())
    finish(env, prog, svc, page)


def package_fault_scenario(fault, saved, timeout=180, during=None):
    """saved(size): the size the client's file must have afterwards, or None
    for no file at all."""
    label = fault.split("=")[0]

    def scenario(env, folder):
        # Without a sha256 (null in the reply): the download as it has always
        # been, one plain GET per attempt (package-resume shows hashed ones).
        svc, prog, page = expect_failure(env, folder, "package-" + label, NETWORK,
                                         {"local": "down", "package_faults": {"levydesk_setup.exe": fault},
                                          "hashes": {"levydesk_setup.exe": None}},
                                         final_timeout=timeout, during=during)
        check_three_attempts(svc)
        gets = svc.requests("package-server")
        check(len(gets) == 3 and all(e["file"] == "levydesk_setup.exe" for e in gets),
              "three downloads of the client package: %d" % len(gets))
        want = saved(svc.sizes["levydesk_setup.exe"])
        have = env.temp_files().get("levydesk_setup.exe")
        check(have == want, "the client package in the temporary folder: %s bytes (expected %s)" % (have, want))
        check(prog.installers() == [], "no installer ran")
        finish(env, prog, svc, page)
    return scenario


def scenario_package_changed(env, folder):
    # The update service lists the SHA-256 of the installer that was
    # published; the package server hands out another file under its name.
    # Each download fails its hash: three attempts, the network error,
    # nothing run, the identity intact.
    published = hashlib.sha256(b"the installer that was published").hexdigest().upper()
    svc, prog, page = expect_failure(env, folder, "package-changed", NETWORK,
                                     {"local": "down", "hashes": {"levydesk_setup.exe": published}})
    check_three_attempts(svc)
    gets = svc.requests("package-server")
    check(len(gets) == 3 and all(e["file"] == "levydesk_setup.exe" for e in gets),
          "three downloads of the client package: %d" % len(gets))
    check(prog.installers() == [], "no installer ran")
    check(all(e["bytes"] == svc.sizes["levydesk_setup.exe"] for e in gets),
          "the changed file was fetched whole each time (and refused for its hash)")
    check("levydesk_setup.exe" not in env.temp_files() and not os.listdir(env.cache_folder()),
          "it never reached the run folder, and the cache kept nothing of it: %s, %s"
          % (env.temp_files(), os.listdir(env.cache_folder())))
    finish(env, prog, svc, page)


def scenario_package_slow(env, folder):
    # The body comes 20 s after the head: each attempt gives up at its 15 s
    # time-out, so the run ends by itself after three of them. Meanwhile the
    # bar stays empty: its trough grey.
    def empty_bar(prog):
        time.sleep(2)
        page = env.pages("progress")
        check(page, "the progress page shows while the body is awaited")
        check_bar(env.screenshot("package-slow-2-empty-bar"), page[0], "grey")
    scenario = package_fault_scenario("slow=20000", lambda size: 0, timeout=150, during=empty_bar)
    t0 = time.monotonic()
    scenario(env, folder)
    spent = time.monotonic() - t0
    check(spent > 45, "three attempts waited about 15 s each (%.0f s in all)" % spent)


def scenario_package_unsafe(env, folder):
    # The vendor's package address ends in a name that climbs out of the
    # temporary folder; the server answers it with a real installer.
    # WinInet canonicalises the object name before it leaves (backslashes,
    # dot segments), so the server is told to answer each form it may get.
    evil = "..\\..\\..\\pavonix_evil.exe"
    aliases = {name: "harbolt_setup.exe" for name in (evil, "", "pavonix_evil.exe", "../../../pavonix_evil.exe")}
    svc, prog, page = expect_failure(env, folder, "package-unsafe", NETWORK,
                                     {"local": "ok", "vendor": [(evil, True)], "aliases": aliases})
    gets = svc.requests("package-server")
    check(len(gets) == 3 and all(e.get("alias") in aliases and e["status"] == 200 for e in gets),
          "three requests for the unsafe name reached the server and were answered: %s"
          % [(e.get("path"), e.get("status")) for e in gets])
    found = [os.path.join(d, f) for d, _, files in os.walk(os.path.join(env.prefix, "drive_c"))
             for f in files if "pavonix_evil" in f]
    check(found == [], "no file of that name anywhere in the prefix: %s" % found)
    check(prog.installers() == [], "nothing ran")
    finish(env, prog, svc, page)


def local_fault_scenario(local, asked):
    def scenario(env, folder):
        svc, prog, page, _ = run_install(env, "local-" + local, folder, "success", {"local": local})
        check(prog.installers() == ["levydesk_setup.exe", "harbolt_setup.exe"],
              "client then vendor installer: %s" % prog.installers())
        check(svc.products_requested() == ["levyDesk", "ZYN-HARBOLT"], "client then vendor requested")
        entries = svc.requests("local-service")
        queries = [e for e in entries if e.get("event") is None]
        if asked:
            check(len(queries) == 1, "the local service was asked once: %d" % len(queries))
        else:
            # The service would have answered code 0 (only the vendor product):
            # the program refused the certificate before any query went out.
            check(queries == [], "no query got through the refused certificate: %s"
                  % [e.get("event") for e in entries])
        finish(env, prog, svc, page)
    return scenario


def scenario_installer_exit_code(env, folder):
    svc, prog, page, _ = run_install(env, "installer-exit", folder, "success",
                                     {"local": "ok", "vendor": [("harbolt_setup_exit7.exe", True)],
                                      "files": {"harbolt_setup_exit7.exe": installer_bytes(env)}})
    check(prog.runs() == [("harbolt_setup_exit7.exe", 7)], "the installer ran and ended with 7: %s" % prog.runs())
    finish(env, prog, svc, page)


def scenario_installer_missing(env, folder):
    # The first installer tries to remove the second before it ends: the
    # program holds every installer against writers and deleters until its
    # process exists, so the second one stays and runs.
    svc, prog, page, _ = run_install(env, "installer-missing", folder, "success",
                                     {"local": "ok", "vendor": [("harbolt_setup.exe", True), ("harbolt_second.exe", True)],
                                      "files": {"harbolt_second.exe": installer_bytes(env)}},
                                     program_env={"PAVONIX_INSTALLER_REMOVE": "harbolt_second.exe"})
    check(prog.installers() == ["harbolt_setup.exe", "harbolt_second.exe"],
          "both installers ran: %s" % prog.installers())
    check(env.temp_files().get("harbolt_second.exe") == svc.sizes["harbolt_second.exe"],
          "the second installer is still there, whole")
    finish(env, prog, svc, page)


def scenario_no_log_folder(env, folder):
    shutil.rmtree(env.log_folder(), ignore_errors=True)
    svc, prog, page, _ = run_install(env, "no-log-folder", folder, "success", {"local": "ok"})
    check(prog.installers() == ["harbolt_setup.exe"], "the run went through")
    finish(env, prog, svc, page)
    check(not os.path.exists(env.log_folder()), "no log folder was made")


def scenario_read_only_log(env, folder):
    logs = env.log_folder()
    os.makedirs(logs, exist_ok=True)
    today = time.strftime("%Y%m%d") + "-pavonix.log"
    paths = {name: os.path.join(logs, name) for name in (today, "20000101-pavonix.log", "20000102-pavonix.log")}
    for name, path in paths.items():
        if os.path.exists(path):
            os.chmod(path, 0o644)
        open(path, "wb").write(b"kept line\r\n")
    # Wine maps the read-only attribute to the file's write bits.
    os.chmod(paths[today], 0o444)
    os.chmod(paths["20000101-pavonix.log"], 0o444)
    try:
        svc, prog, page, _ = run_install(env, "read-only-log", folder, "success", {"local": "ok"})
        check(prog.installers() == ["harbolt_setup.exe"], "the run went through")
        finish(env, prog, svc, page)
        check(open(paths[today], "rb").read() == b"kept line\r\n", "today's read-only log is untouched")
        check(os.path.exists(paths["20000101-pavonix.log"]), "an expired read-only log stays: its delete failed")
        check(not os.path.exists(paths["20000102-pavonix.log"]), "an expired writable log was purged")
    finally:
        for path in paths.values():
            if os.path.exists(path):
                os.chmod(path, 0o644)
                os.unlink(path)


def scenario_elevation(env, folder):
    """What the user's own processes control cannot steer the run: each
    installer starts with its quoted path, the run folder under the Windows
    folder's Temp as current folder and a TEMP of its own there; the purge
    deletes only expired logs inside the log folder."""
    logs = env.log_folder()
    os.makedirs(os.path.join(logs, "20000103-folder.log"), exist_ok=True)
    today = time.strftime("%Y%m%d") + "-pavonix.log"
    kept = [os.path.join(logs, today), os.path.join(logs, "keep.txt"),
            os.path.join(logs, "20000103-folder.log", "inner.log"),
            os.path.join(env.bin, "20000104-pavonix.log")]
    expired = os.path.join(logs, "20000101-pavonix.log")
    for path in kept + [expired]:
        open(path, "wb").write(b"line\r\n")
    context = os.path.join(folder, "installer-context.txt")
    if os.path.exists(context):
        os.unlink(context)
    try:
        svc, prog, page, _ = run_install(env, "elevation", folder, "success", {"local": "down"},
                                         program_env={"PAVONIX_INSTALLER_CONTEXT": env.winpath(context)})
        finish(env, prog, svc, page)
        check(not os.path.exists(expired), "the expired log in the log folder was purged")
        for path in kept:
            check(os.path.exists(path), "kept: %s" % path)
        lines = [l.split("\t") for l in open(context, encoding="latin-1").read().splitlines() if l.strip()]
        check([os.path.basename(f[0].replace("\\", "/")) for f in lines] ==
              ["levydesk_setup.exe", "harbolt_setup.exe"], "two installers recorded their start: %s" % lines)
        wintemp = "c:\\windows\\temp\\pavonix-"
        for f in lines:
            check(len(f) == 5, "five fields: %s" % f)
            path, cmdline, cwd, temp, tmp = f
            run_folder = path.rsplit("\\", 1)[0]
            check(cmdline.lower() == '"%s"' % path.lower(), "the command line is the quoted path: %r" % cmdline)
            check(run_folder.lower().startswith(wintemp), "the run folder is under Windows' Temp: %s" % run_folder)
            check(cwd.lower() == run_folder.lower(), "the current folder is the run folder: %s" % cwd)
            check(temp.lower() == tmp.lower() == (run_folder + "\\temp1").lower(),
                  "TEMP and TMP name a fresh folder of the run: %s %s" % (temp, tmp))
            check(os.path.isdir(os.path.join(env.windows_temp_folder(), run_folder.rsplit("\\", 1)[1], "temp1")),
                  "that folder exists: %s" % temp)
    finally:
        for path in kept + [expired]:
            if os.path.exists(path):
                os.unlink(path)
        shutil.rmtree(os.path.join(logs, "20000103-folder.log"), ignore_errors=True)


def scenario_second_during_run(env, folder):
    seen = {}

    def start_second(prog):
        # The installers run (3 s each) under the full bar.
        page = wait_for(lambda: [w for w in env.pages("progress") if w["ids"][IDC_INSTALLING_LABEL]["visible"]],
                        60, step=0.3, what="the installing notice")
        check_bar(env.screenshot("second-during-run-2-full-bar"), page[0], "blue")
        before = len(env.probe())
        seen["code"] = start_again(env)
        seen["new windows"] = len(env.probe()) - before

    svc, prog, page, _ = run_install(env, "second-during-run", folder, "success", {"local": "down"},
                                     program_env={"PAVONIX_INSTALLER_SLEEP_MS": "3000"}, during=start_second)
    check(seen["code"] == EXIT_MINUS_ONE, "the second start exits with -1 (got %s)" % seen["code"])
    check(seen["new windows"] <= 0, "the second start opened no window")
    check(prog.installers() == ["levydesk_setup.exe", "harbolt_setup.exe"],
          "each installer ran once: %s" % prog.installers())
    finish(env, prog, svc, page)


# -- signed update replies (the program built with the test key) -------------------

def with_signed_program(env, run):
    """run() with the signing build of the program as env.exe."""
    plain, env.exe = env.exe, env.signed_exe
    try:
        return run()
    finally:
        env.exe = plain


def check_nothing_fetched_or_run(env, svc, prog, product):
    check_three_attempts(svc, product)
    check(not svc.requests("package-server"), "no download was tried")
    check(prog.installers() == [], "no installer ran")
    check(env.temp_files() == {}, "no package file appeared: %s" % env.temp_files())


def scenario_signed_healthy(env, folder):
    def run():
        svc, prog, page, _ = run_install(env, "signed-healthy", folder, "success",
                                         {"local": "down", "signing_key": TEST_SIGNING_KEY})
        check(prog.installers() == ["levydesk_setup.exe", "harbolt_setup.exe"],
              "client then vendor installer: %s" % prog.installers())
        asked = svc.requests("update-service")
        check(len(asked) == 2 and all(e.get("signed") for e in asked), "both replies were signed")
        nonces = [dict((k.lower(), v) for k, v in e["headers"]).get("x-pavonix-nonce") for e in asked]
        check(all(n and re.match(r"1:[0-9a-f]{64}\Z", n) for n in nonces) and nonces[0] != nonces[1],
              "each request carried key version 1 and a fresh nonce: %s" % nonces)
        check(all("sha256" in e["answer"] for e in asked), "every package was served with its sha256")
        finish(env, prog, svc, page)
    with_signed_program(env, run)


def signed_mitm_scenario(mode, local, product):
    """A proxy on the update service's port changes each reply (its signature
    kept): the program must refuse it, fetch and run nothing."""
    def scenario(env, folder):
        def run():
            svc, prog, page = expect_failure(
                env, folder, "signed-mitm-" + mode, NETWORK,
                {"local": local, "signing_key": TEST_SIGNING_KEY, "proxy_mode": mode,
                 "files": {"evil.exe": installer_bytes(env)}})
            changed = svc.requests("proxy")
            check(len(changed) == 3 and all(e["status"] == 200 for e in changed),
                  "the proxy changed three signed replies")
            check_nothing_fetched_or_run(env, svc, prog, product)
            finish(env, prog, svc, page)
        with_signed_program(env, run)
    return scenario


def scenario_signed_mitm_request(env, folder):
    """The proxy asks for another product than the program did (its nonce
    kept): the service's genuine signature covers the request it received,
    so the program refuses the answer."""
    def run():
        svc, prog, page = expect_failure(
            env, folder, "signed-mitm-request", NETWORK,
            {"local": "ok", "signing_key": TEST_SIGNING_KEY, "proxy_mode": "request"})
        changed = svc.requests("proxy")
        check(len(changed) == 3 and all(e["status"] == 200 and e["asked"] for e in changed),
              "the proxy rewrote three requests and the service answered each")
        check(all(e.get("signed") for e in svc.requests("update-service")),
              "the service signed each rewritten request's answer")
        # The program asked for the vendor product; the service saw levyDesk.
        check_nothing_fetched_or_run(env, svc, prog, "levyDesk")
        finish(env, prog, svc, page)
    with_signed_program(env, run)


def scenario_signed_rotation(env, folder):
    """A service holding key versions 1 and 2 answers a program built with
    either: each names its version and gets a reply signed with that key."""
    keys = {"1": TEST_SIGNING_KEY, "2": TEST_SIGNING_KEY_V2}
    plain = env.exe
    try:
        for version, exe in (("1", env.signed_exe), ("2", env.signed_v2_exe)):
            env.exe = exe
            svc, prog, page, _ = run_install(env, "signed-rotation-v" + version,
                                             os.path.join(folder, "v" + version), "success",
                                             {"local": "ok", "signing_key": keys})
            asked = svc.requests("update-service")
            check(len(asked) == 1 and asked[0].get("signed") and
                  asked[0].get("key_version") == int(version),
                  "the key version %s program's request was signed with version %s" % (version, version))
            check(prog.installers() == ["harbolt_setup.exe"], "the vendor installer ran: %s" % prog.installers())
            finish(env, prog, svc, page)
    finally:
        env.exe = plain


def scenario_signed_unsigned_reply(env, folder):
    def run():
        svc, prog, page = expect_failure(env, folder, "signed-unsigned-reply", NETWORK, {"local": "down"})
        check_nothing_fetched_or_run(env, svc, prog, "levyDesk")
        finish(env, prog, svc, page)
    with_signed_program(env, run)


def scenario_catalogue(env, folder):
    """The update service holds its real online key and signs a reply that
    lists a planted installer with its true digest: the program built with
    the catalogue key refuses it and runs nothing. The same build installs
    from an honest service, which serves the vendor's signed statements."""
    plain, env.exe = env.exe, env.catalogue_exe
    try:
        svc, prog, page = expect_failure(
            env, os.path.join(folder, "compromised"), "catalogue-compromised", NETWORK,
            {"local": "ok", "signing_key": TEST_SIGNING_KEY, "vendor": [("planted.exe", True)],
             "files": {"planted.exe": installer_bytes(env)}})
        check(all(e.get("signed") and "planted.exe" in e["answer"] for e in svc.requests("update-service")),
              "the service signed each reply listing the planted installer")
        check_nothing_fetched_or_run(env, svc, prog, "ZYN-HARBOLT")
        finish(env, prog, svc, page)
        svc, prog, page, _ = run_install(env, "catalogue-honest", os.path.join(folder, "honest"), "success",
                                         {"local": "down", "signing_key": TEST_SIGNING_KEY,
                                          "catalogue_key": TEST_CATALOGUE_KEY})
        check(prog.installers() == ["levydesk_setup.exe", "harbolt_setup.exe"],
              "client then vendor installer: %s" % prog.installers())
        check(all('"catalogue":' in e["answer"] for e in svc.requests("update-service")),
              "each reply carried its product's signed statement")
        # The version accepted is kept (the table of the simulated platform owns the rest).
        with open(os.path.join(folder, "honest", "signed.json")) as f:
            published = json.load(f)["version"]
        r = env.wine(["reg", "query", r"HKLM\Software\ZYN\DA", "/v", "CatalogueVersion", "/reg:32"],
                     timeout=120)
        kept = [line.split() for line in r.stdout.decode("utf-8", "replace").splitlines()
                if line.split()[:2] == ["CatalogueVersion", "REG_DWORD"]]
        check(kept and int(kept[0][2], 16) == published,
              "HKLM keeps the accepted catalogue version %d: %s" % (published, kept))
        finish(env, prog, svc, page)
    finally:
        env.exe = plain


CUT_EVERY = 65536
NGINX_PORT = 9018
ASIDE_PORT = 9017


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


def scenario_package_resume(env, folder):
    # Every answer of the package server is cut after 64 KiB. The client
    # package carries its sha256: it goes on from where each cut left it
    # (206 answers), is checked whole and runs once. The vendor package
    # carries none: as before, three plain attempts, each cut, and the run
    # ends on the network error (code 3).
    data = installer_bytes(env)
    cut = "cutevery=%d" % CUT_EVERY
    # The update service lists every package's sha256 unless told otherwise:
    # null for the vendor package, which the program takes as none.
    unhashed_vendor = {"levydesk_setup.exe": sha256_hex(data), "harbolt_setup.exe": None}
    svc, prog, page = expect_failure(env, folder, "package-resume", NETWORK,
                                     {"local": "down", "hashes": unhashed_vendor,
                                      "package_faults": {"levydesk_setup.exe": cut, "harbolt_setup.exe": cut}})
    check(prog.installers() == ["levydesk_setup.exe"], "the client installer ran once: %s" % prog.installers())
    gets = svc.requests("package-server")
    client = [e for e in gets if e["file"] == "levydesk_setup.exe"]
    vendor = [e for e in gets if e["file"] == "harbolt_setup.exe"]
    ranges = [dict((k.lower(), v) for k, v in e["headers"]).get("range") for e in client]
    want = [None] + ["bytes=%d-" % (CUT_EVERY * i) for i in range(1, len(client))]
    check(ranges == want and len(client) == -(-len(data) // CUT_EVERY),
          "the client package in %d answers, each from where the last stopped: %s" % (len(client), ranges))
    check([e["status"] for e in client] == [200] + [206] * (len(client) - 1), "200, then 206 answers")
    sent = sum(e["bytes"] for e in client)
    check(sent == len(data), "the server sent the package once: %d of %d bytes" % (sent, len(data)))
    check(len(vendor) == 3 and all("range" not in dict((k.lower(), v) for k, v in e["headers"]) and
                                   e["status"] == 200 for e in vendor),
          "the unhashed vendor package: three plain requests, as before: %s" % [(e["status"], e["bytes"]) for e in vendor])
    check(os.path.exists(os.path.join(env.cache_folder(), sha256_hex(data))), "the client package is cached")
    finish(env, prog, svc, page)

    # A run that gets all but the last byte of the client package (each
    # answer one byte short): its later attempts ask for that byte only, and
    # the run fails. The next run asks for that byte only, and succeeds.
    svc, prog, page = expect_failure(env, os.path.join(folder, "short"), "package-resume-short", NETWORK,
                                     {"local": "down", "hashes": unhashed_vendor,
                                      "package_faults": {"levydesk_setup.exe": "short"}})
    gets = svc.requests("package-server")
    ranges = [dict((k.lower(), v) for k, v in e["headers"]).get("range") for e in gets]
    check(ranges[0] is None and set(ranges[1:]) == {"bytes=%d-" % (len(data) - 1)} and len(ranges) == 10,
          "one whole request, then only the last byte, three times per attempt: %s" % ranges)
    check(prog.installers() == [], "nothing ran")
    finish(env, prog, svc, page)
    seen = len(gets)
    # What earlier runs left goes at the start of this one: a run folder of
    # 8 days and a cache entry unused for 31; a run folder of 6 days stays.
    day = 86400
    old_run = os.path.join(env.windows_temp_folder(), "pavonix-" + "a" * 32)
    new_run = os.path.join(env.windows_temp_folder(), "pavonix-" + "b" * 32)
    idle = os.path.join(env.cache_folder(), "c" * 64)

    def plant():
        for path, age in ((old_run, 8), (new_run, 6)):
            os.makedirs(path, exist_ok=True)
            with open(os.path.join(path, "setup.exe"), "wb") as f:
                f.write(b"MZ")
            os.utime(path, (time.time() - age * day,) * 2)
        with open(idle, "wb") as f:
            f.write(b"x" * 100)
        os.utime(idle, (time.time() - 31 * day,) * 2)
    svc, prog, page, _ = run_install(env, "package-resume-rest", os.path.join(folder, "short"), "success",
                                     {"local": "down", "hashes": unhashed_vendor}, keep_cache=True,
                                     before=plant)
    check(not os.path.exists(old_run) and os.path.isdir(new_run) and not os.path.exists(idle),
          "at start the 8-day run folder and the idle cache entry went, the 6-day folder stayed: %s"
          % [os.path.exists(p) for p in (old_run, new_run, idle)])
    gets = [e for e in svc.requests("package-server")[seen:] if e["file"] == "levydesk_setup.exe"]
    check([(e["status"], e["bytes"]) for e in gets] == [(206, 1)], "the rerun fetched the last byte only: %s"
          % [(e["status"], e["bytes"]) for e in gets])
    check(prog.installers() == ["levydesk_setup.exe", "harbolt_setup.exe"], "both installers ran once: %s"
          % prog.installers())
    finish(env, prog, svc, page)


def start_nginx(folder, root, port):
    conf = os.path.join(folder, "nginx.conf")
    tmp = os.path.join(folder, "nginx-tmp")
    os.makedirs(tmp, exist_ok=True)
    with open(conf, "w") as f:
        f.write("daemon off;\nworker_processes 1;\npid %s/nginx.pid;\nerror_log %s/nginx-error.log;\n"
                "events { worker_connections 64; }\n"
                "http {\n  access_log %s/nginx-access.log;\n"
                "  client_body_temp_path %s;\n  proxy_temp_path %s;\n  fastcgi_temp_path %s;\n"
                "  uwsgi_temp_path %s;\n  scgi_temp_path %s;\n"
                "  server { listen 127.0.0.1:%d; root %s; location / { } }\n}\n"
                % (folder, folder, folder, tmp, tmp, tmp, tmp, tmp, port, root))
    proc = subprocess.Popen(["nginx", "-c", conf, "-p", folder], stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(folder, "nginx-stderr.log"), "w"))
    import socket

    def up():
        if proc.poll() is not None:
            raise Failure("nginx ended at start: see %s" % folder)
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", port)) == 0
    wait_for(up, 20, what="nginx on %d" % port)
    return proc


class Stopper:
    """Ends a helper process with the scenario."""

    def __init__(self, proc):
        self.proc = proc

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)


def scenario_package_resume_nginx(env, folder):
    # nginx serves the packages behind the project's proxy, which cuts every
    # connection after 128 KiB and holds each for 0.7 s: the hashed vendor
    # package arrives in pieces, the percent shown never goes back, and the
    # installer runs once.
    os.makedirs(folder, exist_ok=True)
    data = installer_bytes(env, 4 * CUT_EVERY * 4 + 1)
    kw = {"local": "ok", "hashes": {"harbolt_setup.exe": sha256_hex(data)},
          "files": {"harbolt_setup.exe": data}, "package_port": ASIDE_PORT}
    packages = os.path.join(folder, "packages")
    os.makedirs(packages, exist_ok=True)
    with open(os.path.join(packages, "harbolt_setup.exe"), "wb") as f:
        f.write(data)
    STARTED.append(Stopper(start_nginx(folder, packages, NGINX_PORT)))
    stats = os.path.join(folder, "proxy-stats.json")
    kw["cut_proxy"] = ["--upstream", str(NGINX_PORT), "--cut-every", str(2 * CUT_EVERY), "--delay-ms", "700",
                       "--stats", stats]
    percents, seen = [], []

    def watch(prog):
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            page = env.pages("progress")
            if not page:
                break
            text = page[0]["ids"].get(IDC_PERCENT_TEXT, {}).get("text", "")
            seen.append(text)
            if text and not text.endswith("%"):
                break           # the dots: the installer runs
            if text:
                percents.append(int(text[:-1]))
            time.sleep(0.2)

    svc, prog, page, _ = run_install(env, "package-resume-nginx", folder, "success", kw, during=watch)
    check(prog.installers() == ["harbolt_setup.exe"], "the vendor installer ran once: %s" % prog.installers())
    got = json.load(open(stats))
    check(got["connections"] >= len(data) // (2 * CUT_EVERY), "the download went over %d cut connections"
          % got["connections"])
    check(not svc.requests("package-server"), "the bundled package server was not asked")
    statuses = [line.split('"')[2].split()[0] for line in open(os.path.join(folder, "nginx-access.log"))
                if "harbolt_setup.exe" in line]
    check(statuses[0] == "200" and set(statuses[1:]) == {"206"} and len(statuses) == -(-len(data) // (2 * CUT_EVERY)),
          "nginx answered 200, then a 206 for each piece: %s" % statuses)
    check(len(percents) >= 2 and percents == sorted(percents),
          "the percent shown never went back: %s (texts %s)" % (percents, seen))
    finish(env, prog, svc, page)


def scenario_scanner(env, folder):
    # A stand-in for an on-access virus scanner holds each new file of the
    # run folders and of the package cache without sharing for a second, as
    # soon as it sees it. The client package carries its sha256 (cached, then
    # copied into the run folder), the vendor package none (the plain path);
    # a second run serves the client package from the cache, which the
    # scanner's hold of a just-written state file must not have cost. Both runs
    # install everything. (What each open does on a sharing violation is
    # owned by BusyWait.* and Folder.TheHoldTheHashAndTheStartWaitOutAScanner.)
    data = installer_bytes(env)
    os.makedirs(folder, exist_ok=True)
    record = os.path.join(folder, "scanner.log")
    stop = os.path.join(folder, "scanner.stop")
    for path in (record, stop):
        if os.path.exists(path):
            os.unlink(path)
    os.makedirs(env.cache_folder(), exist_ok=True)
    watched = [r"C:\windows\temp", env.winpath(env.temp_folder()), env.winpath(env.cache_folder())]
    proc = subprocess.Popen([WINE, env.scanner_exe, "--hold-ms", "1000", "--poll-ms", "5", "--max-seconds", "300",
                             "--stop", env.winpath(stop), "--log", env.winpath(record)] + watched,
                            env=env.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    STARTED.append(Stopper(proc))
    kw = {"local": "down", "hashes": {"levydesk_setup.exe": sha256_hex(data), "harbolt_setup.exe": None}}

    def held():
        lines = open(record, encoding="latin-1").read().splitlines() if os.path.exists(record) else []
        return [line.split(" ")[1].rsplit("\\", 1) for line in lines if line.startswith("held ")]

    for run, keep_cache in (("scanner", False), ("scanner-cached", True)):
        before = len(held())
        svc, prog, page, _ = run_install(env, run, os.path.join(folder, run), "success", kw, keep_cache=keep_cache)
        check(prog.installers() == ["levydesk_setup.exe", "harbolt_setup.exe"],
              "%s: both installers ran once: %s" % (run, prog.installers()))
        gets = [e["file"] for e in svc.requests("package-server")]
        # The readme's sha256 is listed too: it is cached like the client package.
        want = ["harbolt_setup.exe"] if keep_cache else \
            ["levydesk_setup.exe", "harbolt_setup.exe", "harbolt_readme.txt"]
        check(gets == want, "%s: fetched %s" % (run, gets))
        seen = held()[before:]
        installers = sorted({name for where, name in seen if "pavonix-" in where and name.endswith("_setup.exe")})
        check(installers == ["harbolt_setup.exe", "levydesk_setup.exe"],
              "%s: the scanner held both installers in the run folder: %s" % (run, seen))
        finish(env, prog, svc, page)
    open(stop, "w").close()
    check(proc.wait(timeout=30) == 0, "the scanner ended by itself")


SCENARIOS = {
    "healthy": scenario_healthy,
    "local-down": scenario_local_down,
    "not-invoicing": scenario_not_invoicing,
    "update-down": scenario_update_down,
    "client-fails": scenario_client_fails,
    "vendor-fails": scenario_vendor_fails,
    "agreement-cleared": scenario_agreement_cleared,
    "letter-twice": scenario_letter_twice,
    "second-start": scenario_second_start,
    "close-button": scenario_close_button,
    "mutex-without-window": scenario_mutex_without_window,
    "no-main-dialog": scenario_no_main_dialog,
    "update-404": update_fault_scenario("404"),
    "update-500": update_fault_scenario("500"),
    "update-empty": update_fault_scenario("empty"),
    "update-chunked": update_fault_scenario("chunked"),
    "update-notjson": update_fault_scenario("notjson"),
    "update-code1": scenario_update_code1,
    "update-list20": scenario_update_list20,
    "package-404": package_fault_scenario("404", lambda size: None),
    "package-cut": package_fault_scenario("cut", lambda size: size // 2),
    "package-short": package_fault_scenario("short", lambda size: size - 1),
    "package-slow": scenario_package_slow,
    "package-unsafe": scenario_package_unsafe,
    "local-untrusted": local_fault_scenario("untrusted", asked=False),
    "local-wrongname": local_fault_scenario("wrongname", asked=False),
    "local-notjson": local_fault_scenario("notjson", asked=True),
    "local-code1": local_fault_scenario("code1", asked=True),
    "installer-exit": scenario_installer_exit_code,
    "installer-missing": scenario_installer_missing,
    "package-changed": scenario_package_changed,
    "package-resume": scenario_package_resume,
    "package-resume-nginx": scenario_package_resume_nginx,
    "no-log-folder": scenario_no_log_folder,
    "read-only-log": scenario_read_only_log,
    "second-during-run": scenario_second_during_run,
    "elevation": scenario_elevation,
    "signed-healthy": scenario_signed_healthy,
    "signed-mitm-address": signed_mitm_scenario("address", "down", "levyDesk"),
    "signed-mitm-exe": signed_mitm_scenario("exe", "ok", "ZYN-HARBOLT"),
    "signed-unsigned-reply": scenario_signed_unsigned_reply,
    "signed-mitm-request": scenario_signed_mitm_request,
    "signed-rotation": scenario_signed_rotation,
    "catalogue": scenario_catalogue,
    "scanner": scenario_scanner,
}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin", required=True, help="folder with pavonix.exe, the probe and the test installer")
    ap.add_argument("--work", default=os.path.join(REPO, "build", "e2e"))
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--stop", action="store_true")
    ap.add_argument("scenarios", nargs="*")
    args = ap.parse_args()
    if args.list:
        print("\n".join(SCENARIOS))
        return 0
    env = Env(args.bin, args.work)
    if args.stop:
        env.stop()
        return 0
    names = list(SCENARIOS) if args.scenarios in ([], ["all"]) else args.scenarios
    for name in names:
        if name not in SCENARIOS:
            ap.error("unknown scenario " + name)
    for tool in ("Xvfb", "xdotool", "import", "convert", "openssl"):
        if shutil.which(tool) is None:
            log("missing %s (scripts/setup installs it)" % tool)
            return 2
    for path in (env.exe, env.probe_exe, env.installer):
        if not os.path.exists(path):
            log("missing " + path)
            return 2
    env.start_display()
    env.start_prefix()
    trust_test_ca(env)
    failed = []
    for name in names:
        folder = os.path.join(env.work, "runs", name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        log("=== " + name)
        try:
            leftovers = [w for w in env.probe() if w["page"] != "other"]
            if leftovers:
                log("ending a program left from an earlier run")
                env.stop_programs()
            SCENARIOS[name](env, folder)
            log("PASS " + name)
        except Failure as exc:
            log("FAIL %s: %s" % (name, exc))
            try:
                env.screenshot(name + "-failed")
            except Exception:
                pass
            failed.append(name)
        finally:
            while STARTED:
                STARTED.pop().stop()
    env.end_served_probe()
    log("screenshots in " + env.shots)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
