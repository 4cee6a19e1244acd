#!/usr/bin/env python3
"""Builds the data authorisation letter (ui/res/letter.rtf) from letter.txt.

The source is UTF-8, one paragraph per line:
  "= text"  title, centred, large and bold
  "^ text"  centred small note (version and dates)
  "# text"  section heading, bold
  "- text"  bullet item
  "> text"  right-aligned line (signature block)
  other     body paragraph with a first-line indent
Inside any line "**text**" is bold.

The RTF is pure 7-bit ASCII: Chinese text is written as code page 936 (GBK)
byte escapes, Western runs use Times New Roman and bullets Wingdings.

Usage: python3 ui/res/letter/make_rtf.py [source.txt [out.rtf]]
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
WIDTH = 78  # output line length; RTF ignores the line breaks

F_LATIN, F_CJK, F_SYMBOL = 0, 1, 2
WINGDINGS_BULLET = 0x9F

HEADER = (
    r"{\rtf1\ansi\ansicpg936\deff0\deflang2052\deflangfe2052"
    r"{\fonttbl"
    r"{\f0\froman\fprq2\fcharset0 Times New Roman;}"
    r"{\f1\fnil\fprq2\fcharset134 \'cb\'ce\'cc\'e5;}"
    r"{\f2\fnil\fprq2\fcharset2 Wingdings;}}"
    r"{\colortbl ;\red1\green140\blue237;\red51\green51\blue51;\red128\green128\blue128;}"
    r"{\*\generator Pavonix make_rtf;}"
    r"\viewkind4\uc1"
)


def gbk_escape(ch):
    return "".join("\\'%02x" % b for b in ch.encode("gbk"))


def text_tokens(text):
    """Tokens of one run of text: font switches between Western and Chinese
    runs, bold switches for **...**, every character escaped as needed."""
    out = []
    font = None
    bold = False
    i = 0
    while i < len(text):
        if text.startswith("**", i):
            bold = not bold
            out.append("\\b " if bold else "\\b0 ")
            i += 2
            continue
        ch = text[i]
        want = F_LATIN if ord(ch) < 0x80 else F_CJK
        if ch != " " and want != font:
            out.append("\\f%d " % want)
            font = want
        if ord(ch) >= 0x80:
            out.append(gbk_escape(ch))
        elif ch in "\\{}":
            out.append("\\" + ch)
        else:
            out.append(ch)
        i += 1
    if bold:
        raise ValueError("unbalanced ** in: " + text)
    return out


def paragraph(line):
    if line.startswith("= "):
        lead = r"\pard\qc\sb120\sa240\cf1\b\fs36 "
        return [lead] + text_tokens(line[2:]) + [r"\b0\par", "\n"]
    if line.startswith("^ "):
        lead = r"\pard\qc\sa240\cf3\fs18 "
        return [lead] + text_tokens(line[2:]) + [r"\par", "\n"]
    if line.startswith("# "):
        lead = r"\pard\keepn\sb240\sa120\cf1\b\fs24 "
        return [lead] + text_tokens(line[2:]) + [r"\b0\par", "\n"]
    if line.startswith("- "):
        bullet = "\\'%02x" % WINGDINGS_BULLET
        lead = (r"\pard{\pntext\f%d %s\tab}" % (F_SYMBOL, bullet)
                + r"{\*\pn\pnlvlblt\pnf%d\pnindent420{\pntxtb %s}}" % (F_SYMBOL, bullet)
                + r"\fi-420\li840\sa80\sl320\slmult1\cf2\fs21 ")
        return [lead] + text_tokens(line[2:]) + [r"\par", "\n"]
    if line.startswith("> "):
        lead = r"\pard\qr\sb120\sa60\cf2\fs21 "
        return [lead] + text_tokens(line[2:]) + [r"\par", "\n"]
    lead = r"\pard\fi420\sa120\sl320\slmult1\cf2\fs21 "
    return [lead] + text_tokens(line) + [r"\par", "\n"]


def wrap(tokens):
    lines, cur = [], ""
    for t in tokens:
        if t == "\n":
            lines.append(cur)
            cur = ""
            continue
        if cur and len(cur) + len(t) > WIDTH:
            lines.append(cur)
            cur = ""
        cur += t
    if cur:
        lines.append(cur)
    return "\r\n".join(lines) + "\r\n"


def build(source_text):
    tokens = [HEADER, "\n"]
    for line in source_text.splitlines():
        line = line.rstrip()
        if line:
            tokens += paragraph(line)
    tokens.append("}")
    rtf = wrap(tokens)
    rtf.encode("ascii")  # must hold: every non-ASCII byte is escaped
    return rtf


def main(argv):
    src = argv[1] if len(argv) > 1 else os.path.join(HERE, "letter.txt")
    dst = argv[2] if len(argv) > 2 else os.path.join(HERE, "..", "letter.rtf")
    with open(src, encoding="utf-8") as f:
        rtf = build(f.read())
    with open(dst, "w", encoding="ascii", newline="") as f:
        f.write(rtf)
    print("%s: %d bytes" % (os.path.normpath(dst), len(rtf)))


if __name__ == "__main__":
    main(sys.argv)
