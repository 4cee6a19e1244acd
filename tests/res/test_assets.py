"""Checks of the program's resources: skin pictures, the letter, the manifest,
the resource script and, when a mingw windres is installed, the compiled
templates.

Run from anywhere: python3 -m unittest -v test_assets (in tests/res), or
through ctest (test res_assets).
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zlib

ROOT = os.environ.get("PAVONIX_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
RES = os.path.join(ROOT, "ui", "res")

BLUE = (1, 140, 237)
WHITE = (255, 255, 255)

# Windows constants, with Windows' values.
WS_POPUP, WS_CHILD, WS_VISIBLE = 0x80000000, 0x40000000, 0x10000000
WS_CAPTION, WS_BORDER = 0x00C00000, 0x00800000
WS_VSCROLL, WS_HSCROLL, WS_SYSMENU = 0x00200000, 0x00100000, 0x00080000
WS_GROUP, WS_TABSTOP = 0x00020000, 0x00010000
DS_SETFONT, DS_CENTER = 0x40, 0x800
BS_AUTOCHECKBOX, BS_OWNERDRAW, BS_VCENTER = 0x3, 0xB, 0xC00
SS_LEFT, SS_NOTIFY = 0x0, 0x100
ES_MULTILINE, ES_AUTOHSCROLL, ES_READONLY = 0x4, 0x80, 0x800
PBS_SMOOTH = 0x1
WS_EX_TRANSPARENT, WS_EX_STATICEDGE = 0x20, 0x20000
RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 14, 16, 24
LANG_ZH_CN = 0x0804

CHILD = WS_CHILD | WS_VISIBLE
PAGE_STYLE = WS_POPUP | WS_SYSMENU | DS_SETFONT | DS_CENTER
LETTER_STYLE = PAGE_STYLE | WS_BORDER

# Picture id -> (width, height).
PICTURES = {166: (600, 360), 167: (600, 360), 168: (600, 360),
            169: (600, 360), 172: (755, 488), 176: (17, 18)}

# Dialog id -> (size, font (points, face, charset or None), style, controls).
# A control: (id, class, text, style, extended style, (x, y, cx, cy)).
REASON_RECT = (33, 43, 111, 71)
DIALOGS = {
    129: ((246, 151), (14, "宋体", 134), PAGE_STYLE, [
        (1009, "Button", "", CHILD | BS_AUTOCHECKBOX | BS_VCENTER | WS_TABSTOP, 0, (15, 134, 8, 9)),
        (1010, "Static", "请阅读并同意《数据授权书》", CHILD | SS_NOTIFY | WS_GROUP, 0, (26, 134, 125, 10)),
        (1020, "Button", "安装软件", CHILD | BS_OWNERDRAW | WS_TABSTOP, 0, (188, 130, 36, 16)),
    ]),
    135: ((246, 151), (14, "宋体", 134), PAGE_STYLE, [
        (1004, "msctls_progress32", "", CHILD | PBS_SMOOTH, WS_EX_TRANSPARENT, (1, 140, 243, 7)),
        (1021, "Static", "正在安装，请等待", CHILD | SS_LEFT, 0, (8, 128, 64, 8)),
        (1027, "Static", "正在下载", CHILD | SS_LEFT, 0, (9, 128, 33, 8)),
        (1031, "Static", "", CHILD | SS_LEFT, 0, (79, 127, 21, 8)),
    ]),
    150: ((246, 151), (14, "宋体", 0), PAGE_STYLE, [
        (1020, "Button", "软件已经成功安装", CHILD | BS_OWNERDRAW | WS_TABSTOP, 0, (63, 130, 121, 16)),
    ]),
    156: ((246, 151), (14, "宋体", 0), PAGE_STYLE, [
        (1020, "Button", "关闭", CHILD | BS_OWNERDRAW | WS_TABSTOP, 0, (166, 42, 56, 16)),
        (1022, "Static", "本机不是增值税发票开票电脑，请在开票机电脑上安装", CHILD | SS_LEFT, 0, REASON_RECT),
        (1023, "Static", "发票控件安装失败，请到发票综合管理平台下载安装", CHILD | SS_LEFT, 0, REASON_RECT),
        (1024, "Static", "网络连接异常", CHILD | SS_LEFT, 0, REASON_RECT),
        (1025, "Static", "授权软件安装失败，请重新安装", CHILD | SS_LEFT, 0, REASON_RECT),
    ]),
    133: ((357, 250), (10, "Microsoft Sans Serif", None), LETTER_STYLE, [
        (1, "Button", "确定", CHILD | BS_OWNERDRAW | WS_TABSTOP, 0, (211, 226, 65, 17)),
        (1011, "RichEdit20A", "",
         CHILD | ES_MULTILINE | ES_AUTOHSCROLL | ES_READONLY | WS_BORDER | WS_VSCROLL
         | WS_HSCROLL | WS_TABSTOP, WS_EX_STATICEDGE, (12, 36, 332, 185)),
    ]),
}
# Predefined control classes may be stored as atoms.
CLASS_ATOMS = {0x80: "button", 0x81: "edit", 0x82: "static"}


def read(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def resource_ids():
    """#define NAME number from resource.h."""
    ids = {}
    for m in re.finditer(r"^#define\s+(\w+)\s+(\d+)\b", read(os.path.join(RES, "resource.h"), "r"), re.M):
        ids[m.group(1)] = int(m.group(2))
    return ids


def rc_text():
    return read(os.path.join(RES, "pavonix.rc")).decode("utf-8")


def rc_files(kind):
    """{id: path} of the resources of a custom type in the script."""
    ids = resource_ids()
    out = {}
    for m in re.finditer(r"^\s*(\w+)\s+%s\s+\"([^\"]+)\"" % kind, rc_text(), re.M):
        key = m.group(1)
        num = int(key) if key.isdigit() else ids[key]
        out[num] = os.path.join(RES, m.group(2))
    return out


# --- PNG -------------------------------------------------------------------

class Png:
    def __init__(self, data):
        if data[:8] != b"\x89PNG\r\n\x1a\n":
            raise ValueError("not a PNG")
        pos, idat, self.chunks = 8, [], []
        while pos < len(data):
            n, kind = struct.unpack(">I4s", data[pos:pos + 8])
            body = data[pos + 8:pos + 8 + n]
            crc, = struct.unpack(">I", data[pos + 8 + n:pos + 12 + n])
            if zlib.crc32(kind + body) != crc:
                raise ValueError("bad CRC in %r" % kind)
            self.chunks.append(kind)
            if kind == b"IHDR":
                (self.width, self.height, self.depth, self.color_type,
                 _, _, self.interlace) = struct.unpack(">IIBBBBB", body)
            elif kind == b"IDAT":
                idat.append(body)
            pos += 12 + n
        self.raw = zlib.decompress(b"".join(idat))

    def pixels(self):
        """Rows of RGBA bytes; only 8-bit RGBA without interlace is read."""
        assert self.depth == 8 and self.color_type == 6 and self.interlace == 0
        stride, bpp = self.width * 4, 4
        rows, prev, pos = [], bytearray(stride), 0
        for _ in range(self.height):
            ftype = self.raw[pos]
            line = bytearray(self.raw[pos + 1:pos + 1 + stride])
            pos += 1 + stride
            if ftype == 1:
                for i in range(bpp, stride):
                    line[i] = (line[i] + line[i - bpp]) & 0xFF
            elif ftype == 2:
                for i in range(stride):
                    line[i] = (line[i] + prev[i]) & 0xFF
            elif ftype == 3:
                for i in range(stride):
                    left = line[i - bpp] if i >= bpp else 0
                    line[i] = (line[i] + ((left + prev[i]) >> 1)) & 0xFF
            elif ftype == 4:
                for i in range(stride):
                    a = line[i - bpp] if i >= bpp else 0
                    b = prev[i]
                    c = prev[i - bpp] if i >= bpp else 0
                    p = a + b - c
                    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                    pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                    line[i] = (line[i] + pred) & 0xFF
            elif ftype != 0:
                raise ValueError("bad filter %d" % ftype)
            rows.append(bytes(line))
            prev = line
        return rows


_decoded = {}


def picture(num):
    if num not in _decoded:
        png = Png(read(rc_files("PNG")[num]))
        _decoded[num] = (png, png.pixels())
    return _decoded[num]


def rgb(rows, x, y):
    return tuple(rows[y][x * 4:x * 4 + 3])


def blue_share(rows, x0, y0, x1, y1):
    """Share of pixels in [x0, x1) x [y0, y1) that are exactly the blue."""
    want = bytes(BLUE + (255,))
    hits = total = 0
    for y in range(y0, y1):
        row = rows[y]
        for x in range(x0, x1):
            total += 1
            hits += row[x * 4:x * 4 + 4] == want
    return hits / total


def all_colour(rows, colour, x0, y0, x1, y1):
    want = bytes(colour + (255,)) * (x1 - x0)
    return all(rows[y][x0 * 4:x1 * 4] == want for y in range(y0, y1))


class PictureTest(unittest.TestCase):
    def test_script_lists_every_picture(self):
        self.assertEqual(sorted(rc_files("PNG")), sorted(PICTURES))

    def test_format_size_and_opacity(self):
        for num, (w, h) in PICTURES.items():
            with self.subTest(picture=num):
                png, rows = picture(num)
                self.assertEqual((png.width, png.height), (w, h))
                self.assertEqual((png.depth, png.color_type, png.interlace), (8, 6, 0))
                alphas = set()
                for row in rows:
                    alphas.update(row[3::4])
                self.assertEqual(alphas, {255})

    def test_success_is_the_progress_picture(self):
        files = rc_files("PNG")
        self.assertEqual(read(files[168]), read(files[167]))

    def test_main_page_blue_field_and_white_strip(self):
        _, rows = picture(166)
        self.assertTrue(all_colour(rows, WHITE, 0, 300, 600, 360),
                        "bottom 60 rows must be white for the controls")
        self.assertFalse(all_colour(rows, WHITE, 0, 299, 600, 300),
                         "the white strip must not reach above the bottom 60 rows")
        self.assertGreater(blue_share(rows, 0, 0, 600, 300), 0.7)
        for x, y in ((0, 0), (599, 0), (300, 5), (5, 150), (594, 150)):
            self.assertEqual(rgb(rows, x, y), BLUE, (x, y))
        # the logo and wordmark sit in the middle
        self.assertLess(blue_share(rows, 150, 70, 450, 180), 0.9)

    def test_progress_page_has_its_white_band_and_drawings(self):
        _, rows = picture(167)
        # the labels start at 127 of 151 dialog units, the bar ends at 147
        self.assertTrue(all_colour(rows, WHITE, 0, 300, 600, 360))
        self.assertGreater(blue_share(rows, 0, 0, 600, 290), 0.6)
        self.assertLess(blue_share(rows, 0, 0, 280, 70), 0.97, "header lockup missing")
        self.assertLess(blue_share(rows, 90, 100, 560, 220), 0.85, "emblem and documents missing")

    def test_plain_pages_are_calm_where_controls_sit(self):
        # failure page: the reason box and the close button (dialog units
        # 33..144 x 42..114 and 166..222 of 246 x 151)
        _, rows = picture(169)
        self.assertTrue(all_colour(rows, BLUE, 70, 95, 560, 290))
        self.assertGreater(blue_share(rows, 0, 0, 600, 360), 0.95)
        self.assertLess(blue_share(rows, 0, 0, 280, 70), 0.97, "header lockup missing")
        # letter viewer: the text box starts at 36 of 250 dialog units
        _, rows = picture(172)
        self.assertTrue(all_colour(rows, BLUE, 0, 68, 755, 488))
        self.assertLess(blue_share(rows, 0, 0, 330, 68), 0.97, "header lockup missing")

    def test_close_face_is_a_white_cross_on_blue(self):
        _, rows = picture(176)
        for x, y in ((0, 0), (16, 0), (0, 17), (16, 17), (8, 1), (1, 9), (15, 9), (8, 16)):
            self.assertEqual(rgb(rows, x, y), BLUE, (x, y))
        for x, y in ((8, 9), (6, 7), (10, 7), (6, 11), (10, 11)):
            self.assertTrue(all(c > 200 for c in rgb(rows, x, y)), (x, y, rgb(rows, x, y)))


# --- The letter -------------------------------------------------------------

class RtfText:
    """A small RTF reader: plain text (\\par as a line break) with a bold flag
    per character, the font table, and the header control words."""

    SKIP = {"fonttbl", "colortbl", "stylesheet", "info", "pntext", "pict"}

    def __init__(self, data):
        self.text, self.bold, self.fonts = [], [], []
        self.words = set()
        pending = bytearray()  # \'xx bytes not yet decoded
        state = {"b": False, "skip": False}
        stack = []
        font_stack = []  # while reading the font table: current entry
        i, n = 0, len(data)

        def flush():
            if pending:
                s = bytes(pending).decode("gbk")
                pending.clear()
                emit(s)

        def emit(s):
            if state["skip"]:
                return
            self.text.append(s)
            self.bold.extend([state["b"]] * len(s))

        while i < n:
            c = data[i]
            if c == "{":
                flush()
                stack.append(dict(state))
                i += 1
                if data.startswith("\\*", i):
                    state["skip"] = True
                m = re.match(r"\\([a-z]+)", data[i:])
                if m and m.group(1) in self.SKIP:
                    if m.group(1) == "fonttbl":
                        j = self._read_fonttbl(data, i)
                        i = j
                        state = stack.pop()
                        continue
                    state["skip"] = True
            elif c == "}":
                flush()
                state = stack.pop() if stack else state
                i += 1
            elif c == "\\":
                nxt = data[i + 1]
                if nxt == "'":
                    if not state["skip"]:
                        pending.append(int(data[i + 2:i + 4], 16))
                    i += 4
                    continue
                flush()
                if nxt in "\\{}":
                    emit(nxt)
                    i += 2
                    continue
                m = re.match(r"\\([a-z]+)(-?\d+)? ?", data[i:])
                if not m:
                    i += 2
                    continue
                word, arg = m.group(1), m.group(2)
                self.words.add(word + (arg or ""))
                if word == "b":
                    state["b"] = arg != "0"
                elif word == "par":
                    emit("\n")
                elif word == "tab":
                    emit("\t")
                i += m.end()
            elif c in "\r\n":
                i += 1
            else:
                flush()
                emit(c)
                i += 1
        flush()
        self.text = "".join(self.text)

    def _read_fonttbl(self, data, i):
        """Reads the font table starting at its control word; returns the
        index after its closing brace."""
        depth = 1
        entry = None
        while depth:
            c = data[i]
            if c == "{":
                depth += 1
                entry = {"words": [], "name": bytearray()}
                i += 1
            elif c == "}":
                depth -= 1
                if entry is not None and depth == 1:
                    name = bytes(entry["name"]).decode("gbk").strip().rstrip(";")
                    self.fonts.append((entry["words"], name))
                    entry = None
                i += 1
            elif c == "\\" and data[i + 1] == "'":
                entry["name"].append(int(data[i + 2:i + 4], 16))
                i += 4
            elif c == "\\":
                m = re.match(r"\\([a-z]+-?\d*) ?", data[i:])
                if entry is not None:
                    entry["words"].append(m.group(1))
                i += m.end()
            else:
                if entry is not None:
                    entry["name"].extend(c.encode("ascii"))
                i += 1
        return i


def letter_source_lines():
    """The letter's paragraphs as shown, each with the expected bold flag of
    every character: titles and headings are bold, elsewhere the text between
    "**" marks."""
    out = []
    for line in read(os.path.join(RES, "letter", "letter.txt"), "r").splitlines():
        line = line.rstrip()
        if not line:
            continue
        heading = line[:2] in ("= ", "# ")
        if line[:2] in ("= ", "# ", "- ", "> ", "^ "):
            line = line[2:]
        parts = line.split("**")
        text = "".join(parts)
        bold = []
        for k, part in enumerate(parts):
            bold += [heading or k % 2 == 1] * len(part)
        out.append((text, bold))
    return out


class LetterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = read(os.path.join(RES, "letter.rtf"))
        cls.rtf = RtfText(cls.data.decode("ascii"))

    def test_script_references_the_letter_as_txt_134(self):
        self.assertEqual(rc_files("TXT"), {134: os.path.join(RES, "letter.rtf")})

    def test_pure_ascii_and_plausible_size(self):
        self.assertTrue(all(b < 0x80 for b in self.data))
        self.assertGreater(len(self.data), 20000)
        self.assertLess(len(self.data), 80000)

    def test_declares_code_page_language_and_fonts(self):
        self.assertTrue(self.data.startswith(b"{\\rtf1\\ansi\\ansicpg936"))
        self.assertIn("deflang2052", self.rtf.words)
        names = [name for _, name in self.rtf.fonts]
        self.assertEqual(names, ["Times New Roman", "宋体", "Wingdings"])
        songti = self.rtf.fonts[1][0]
        self.assertIn("fcharset134", songti)
        self.assertIn(b"\\'cb\\'ce\\'cc\\'e5", self.data, "宋体 as GBK escapes")

    def test_text_decodes_back_to_the_source(self):
        got = self.rtf.text.split("\n")
        self.assertEqual(got[-1], "", "the last paragraph ends with \\par")
        self.assertEqual(got[:-1], [line for line, _ in letter_source_lines()])

    def test_headings_and_marked_clauses_are_bold(self):
        pos = 0
        lines = letter_source_lines()
        for line, bold in lines:
            self.assertEqual(self.rtf.text[pos:pos + len(line)], line)
            self.assertEqual(self.rtf.bold[pos:pos + len(line)], bold, line)
            pos += len(line) + 1
        headings = sum(1 for _, bold in lines if bold and all(bold))
        self.assertGreaterEqual(headings, 10)

    def test_wording_covers_what_a_data_letter_must_say(self):
        text = self.rtf.text
        for phrase in ("统一社会信用代码", "纳税人识别号", "安装标识", "联系人", "目的", "保存",
                       "共享", "安全", "查阅", "更正", "撤回", "删除", "联系我们",
                       "浙江智翎信息技术有限公司"):
            self.assertIn(phrase, text)
        self.assertRegex(text, r"\d{4}年\d{1,2}月\d{1,2}日")

    def test_generated_file_is_up_to_date(self):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "letter.rtf")
            subprocess.run([sys.executable, os.path.join(RES, "letter", "make_rtf.py"),
                            os.path.join(RES, "letter", "letter.txt"), out],
                           check=True, stdout=subprocess.DEVNULL)
            self.assertEqual(read(out), self.data, "run ui/res/letter/make_rtf.py")


# --- Manifest and script ------------------------------------------------------

def check_manifest(test, data):
    ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3"}
    root = ET.fromstring(data)
    levels = root.findall(".//v3:requestedExecutionLevel", ns)
    test.assertEqual(len(levels), 1)
    test.assertEqual(levels[0].get("level"), "requireAdministrator")
    test.assertEqual(levels[0].get("uiAccess"), "false")
    test.assertEqual(root.findall(".//v1:dependency", ns), [])
    for el in root.iter():
        for value in el.attrib.values():
            test.assertNotIn("common-controls", value.lower())


class ScriptTest(unittest.TestCase):
    def test_manifest_requires_administrator_without_common_controls(self):
        check_manifest(self, read(os.path.join(RES, "pavonix.manifest")))

    def test_script_is_utf8_with_the_pragma_first(self):
        data = read(os.path.join(RES, "pavonix.rc"))
        self.assertTrue(data.startswith(b"#pragma code_page(65001)"))
        data.decode("utf-8")

    def test_templates_have_no_caption_or_visible_style(self):
        text = rc_text()
        self.assertIsNone(re.search(r"^\s*CAPTION\b", text, re.M))
        for m in re.finditer(r"^\s*STYLE\b(.*)$", text, re.M):
            self.assertNotIn("WS_VISIBLE", m.group(1))
            self.assertNotIn("WS_CAPTION", m.group(1))

    def test_ids(self):
        ids = resource_ids()
        want = {"IDD_MAIN": 129, "IDD_LETTER": 133, "IDD_PROGRESS": 135, "IDD_SUCCESS": 150,
                "IDD_FAILURE": 156, "IDC_PROGRESS_BAR": 1004, "IDC_AGREE_CHECK": 1009,
                "IDC_LETTER_LINK": 1010, "IDC_LETTER_TEXT": 1011, "IDC_ACTION_BUTTON": 1020,
                "IDC_INSTALLING_LABEL": 1021, "IDC_DOWNLOADING_LABEL": 1027,
                "IDC_CLOSE_BUTTON": 1029, "IDC_PERCENT_TEXT": 1031, "IDR_LETTER": 134,
                "IDB_SKIN_MAIN": 166, "IDB_SKIN_PROGRESS": 167, "IDB_SKIN_SUCCESS": 168,
                "IDB_SKIN_FAILURE": 169, "IDB_SKIN_LETTER": 172, "IDB_CLOSE_FACE": 176}
        for name, value in want.items():
            self.assertEqual(ids.get(name), value, name)
        reasons = [v for k, v in ids.items() if k.startswith("IDC_REASON_")]
        self.assertEqual(sorted(reasons), [1022, 1023, 1024, 1025])


# --- Compiled resources -------------------------------------------------------

def parse_res(data):
    """Entries of a .res file: {(type, name): (language, bytes)}; type and
    name are ints for ordinals and str for names."""
    def id_at(pos):
        if struct.unpack_from("<H", data, pos)[0] == 0xFFFF:
            return struct.unpack_from("<H", data, pos + 2)[0], pos + 4
        end = pos
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[pos:end].decode("utf-16-le"), end + 2

    out, pos = {}, 0
    while pos < len(data):
        size, header = struct.unpack_from("<II", data, pos)
        rtype, p = id_at(pos + 8)
        name, p = id_at(p)
        p = (p + 3) & ~3
        _, _, lang = struct.unpack_from("<IHH", data, p)
        body = data[pos + header:pos + header + size]
        if size or rtype != 0:
            out[(rtype, name)] = (lang, body)
        pos = (pos + header + size + 3) & ~3
    return out


def parse_dialog(data):
    """A DLGTEMPLATEEX as a dict with its controls."""
    def sz_or_ord(pos):
        first = struct.unpack_from("<H", data, pos)[0]
        if first == 0:
            return "", pos + 2
        if first == 0xFFFF:
            return struct.unpack_from("<H", data, pos + 2)[0], pos + 4
        end = pos
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[pos:end].decode("utf-16-le"), end + 2

    ver, sig, _, ex, style, count, x, y, cx, cy = struct.unpack_from("<HHIIIHhhhh", data, 0)
    assert (ver, sig) == (1, 0xFFFF), "not an extended template"
    menu, p = sz_or_ord(26)
    cls, p = sz_or_ord(p)
    title, p = sz_or_ord(p)
    d = {"ex": ex, "style": style, "rect": (x, y, cx, cy), "menu": menu, "class": cls,
         "title": title, "font": None, "controls": []}
    if style & DS_SETFONT:
        points, weight, italic, charset = struct.unpack_from("<HHBB", data, p)
        face, p = sz_or_ord(p + 6)
        d["font"] = (points, face, charset, weight, italic)
    for _ in range(count):
        p = (p + 3) & ~3
        _, cex, cstyle, x, y, cx, cy, cid = struct.unpack_from("<IIIhhhhI", data, p)
        ccls, p = sz_or_ord(p + 24)
        text, p = sz_or_ord(p)
        extra = struct.unpack_from("<H", data, p)[0]
        p += 2 + extra
        if isinstance(ccls, int):
            ccls = CLASS_ATOMS.get(ccls, ccls)
        d["controls"].append((cid, ccls, text, cstyle, cex, (x, y, cx, cy)))
    return d


def project_version():
    """The x.y.z of project(pavonix VERSION x.y.z) in the top CMakeLists.txt."""
    m = re.search(r"^project\(pavonix VERSION (\d+)\.(\d+)\.(\d+)[ )]",
                  read(os.path.join(ROOT, "CMakeLists.txt"), "r"), re.M)
    assert m, "no project(pavonix VERSION x.y.z) in CMakeLists.txt"
    return tuple(int(g) for g in m.groups())


def write_version_header(folder):
    """pavonix_version.h as CMake's configure_file writes it from version.h.in."""
    major, minor, patch = project_version()
    text = read(os.path.join(RES, "version.h.in"), "r")
    for name, value in (("PROJECT_VERSION_MAJOR", major), ("PROJECT_VERSION_MINOR", minor),
                        ("PROJECT_VERSION_PATCH", patch),
                        ("PROJECT_VERSION", "%d.%d.%d" % (major, minor, patch))):
        text = text.replace("@%s@" % name, str(value))
    assert "@" not in text, "version.h.in names a variable the test does not fill in"
    with open(os.path.join(folder, "pavonix_version.h"), "w") as f:
        f.write(text)


WINDRES = [t for t in ("i686-w64-mingw32-windres", "x86_64-w64-mingw32-windres") if shutil.which(t)]


@unittest.skipUnless(WINDRES, "no mingw windres installed")
class CompiledTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.res = {}
        with tempfile.TemporaryDirectory() as tmp:
            write_version_header(tmp)
            for tool in WINDRES:
                out = os.path.join(tmp, tool + ".res")
                subprocess.run([tool, "-I", ROOT, "-I", tmp, "-O", "res",
                                os.path.join(RES, "pavonix.rc"), out], check=True)
                cls.res[tool] = parse_res(read(out))

    def each(self):
        for tool, res in self.res.items():
            with self.subTest(windres=tool):
                yield res

    def test_dialog_templates(self):
        for res in self.each():
            for num, (size, font, style, controls) in DIALOGS.items():
                with self.subTest(dialog=num):
                    lang, body = res[(RT_DIALOG, num)]
                    self.assertEqual(lang, LANG_ZH_CN)
                    d = parse_dialog(body)
                    self.assertEqual(d["style"], style, hex(d["style"]))
                    self.assertNotEqual(d["style"] & WS_CAPTION, WS_CAPTION)
                    self.assertFalse(d["style"] & WS_VISIBLE)
                    self.assertEqual(d["ex"], 0)
                    self.assertEqual(d["rect"][2:], size)
                    self.assertEqual((d["menu"], d["class"], d["title"]), ("", "", ""))
                    points, face, charset = font
                    self.assertEqual(d["font"][:2], (points, face))
                    if charset is not None:
                        self.assertEqual(d["font"][2], charset)
                    got = [(cid, cls.lower() if isinstance(cls, str) else cls, text, st, ex, r)
                           for cid, cls, text, st, ex, r in d["controls"]]
                    want = [(cid, cls.lower(), text, st, ex, r)
                            for cid, cls, text, st, ex, r in controls]
                    self.assertEqual(got, want)
            dialogs = sorted(name for (t, name) in res if t == RT_DIALOG)
            self.assertEqual(dialogs, sorted(DIALOGS))

    def test_pictures_and_letter(self):
        for res in self.each():
            for num, path in rc_files("PNG").items():
                lang, body = res[("PNG", num)]
                self.assertEqual(lang, LANG_ZH_CN)
                self.assertEqual(body, read(path), num)
            self.assertEqual(sorted(n for (t, n) in res if t == "PNG"), sorted(PICTURES))
            lang, body = res[("TXT", 134)]
            self.assertEqual(lang, LANG_ZH_CN)
            self.assertEqual(body, read(os.path.join(RES, "letter.rtf")))

    def test_manifest_icon_and_version(self):
        for res in self.each():
            _, manifest = res[(RT_MANIFEST, 1)]
            check_manifest(self, manifest)
            groups = [k for k in res if k[0] == RT_GROUP_ICON]
            self.assertEqual(len(groups), 1)
            _, group = res[groups[0]]
            reserved, kind, count = struct.unpack_from("<HHH", group, 0)
            self.assertEqual((reserved, kind), (0, 1))
            self.assertGreaterEqual(count, 3)
            self.assertEqual(len([k for k in res if k[0] == RT_ICON]), count)
            _, version = res[(RT_VERSION, 1)]
            fixed = version.find(struct.pack("<I", 0xFEEF04BD))
            self.assertGreater(fixed, 0)
            fms, fls, pms, pls = struct.unpack_from("<IIII", version, fixed + 8)
            major, minor, patch = project_version()
            ms, ls = (major << 16) | minor, patch << 16
            self.assertEqual((fms, fls, pms, pls), (ms, ls, ms, ls))
            text = version.decode("utf-16-le", "replace")
            dotted = "%d.%d.%d" % (major, minor, patch)
            for s in ("080404b0", "040904b0", "ProductName", "Pavonix", "CompanyName",
                      "浙江智翎信息技术有限公司"):
                self.assertIn(s, text)
            # FileVersion and ProductVersion in both string tables.
            self.assertEqual(text.count(dotted + "\0"), 4, text)


if __name__ == "__main__":
    unittest.main()
