#!/usr/bin/env python3
"""Where two PE files differ: header fields, each section, the data after them.

    pe_sections.py A.exe B.exe     prints the parts that differ; exit 1 if any
    pe_sections.py A.exe           prints each part's size and SHA-256

The parts are "time stamp", "checksum", "certificate table entry", "other
headers" (the rest of everything before the first section's data), one per
section by name (".text", ".rdata", ...), and "after sections" (what follows
the last section's raw data: the Authenticode certificate table of a signed
program).
"""

import hashlib
import struct
import sys


class PeError(Exception):
    pass


def parse(data):
    """The PE layout of data: dict with the header offsets and the sections."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise PeError("no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise PeError("no PE signature")
    coff = pe + 4
    machine, nsect, stamp, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, coff)
    opt = coff + 20
    magic = struct.unpack_from("<H", data, opt)[0]
    if magic not in (0x10B, 0x20B):
        raise PeError("unknown optional header magic 0x%x" % magic)
    dirs = opt + (96 if magic == 0x10B else 112)
    sections = []
    table = opt + opt_size
    for i in range(nsect):
        name, vsize, vaddr, rsize, rptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
        sections.append((name.rstrip(b"\0").decode("ascii", "replace"), rptr, rsize))
    return {
        "machine": machine,
        "stamp_at": coff + 4,
        "checksum_at": opt + 64,
        "security_at": dirs + 4 * 8,  # data directory 4: offset and size
        "sections": sections,
        "stamp": stamp,
    }


def parts(data):
    """Ordered (name, bytes) pieces that together describe the whole file."""
    pe = parse(data)
    raw = [(n, p, s) for n, p, s in pe["sections"] if s]
    head_end = min([p for _, p, _ in raw] or [len(data)])
    head = bytearray(data[:head_end])
    fields = [("time stamp", pe["stamp_at"], 4), ("checksum", pe["checksum_at"], 4),
              ("certificate table entry", pe["security_at"], 8)]
    out = []
    for name, at, size in fields:
        out.append((name, bytes(data[at:at + size])))
        head[at:at + size] = b"\0" * size
    out.append(("other headers", bytes(head)))
    seen = {}
    for name, ptr, size in pe["sections"]:
        seen[name] = seen.get(name, 0) + 1
        label = name if seen[name] == 1 else "%s#%d" % (name, seen[name])
        out.append((label, bytes(data[ptr:ptr + size])))
    end = max([p + s for _, p, s in raw] or [head_end])
    out.append(("after sections", bytes(data[end:])))
    return out


def differences(a, b):
    """Names of the parts that differ between two PE images, in file order."""
    pa, pb = parts(a), parts(b)
    da, db = dict(pa), dict(pb)
    names = [n for n, _ in pa] + [n for n, _ in pb if n not in da]
    return [n for n in names if da.get(n) != db.get(n)]


def describe(a, b):
    """Lines telling, per differing part, its size and SHA-256 on both sides."""
    da, db = dict(parts(a)), dict(parts(b))
    lines = []
    for n in differences(a, b):
        sides = []
        for d in (da, db):
            v = d.get(n)
            sides.append("missing" if v is None else
                         "%d bytes %s" % (len(v), hashlib.sha256(v).hexdigest()[:16]))
        lines.append("  %-24s %s | %s" % (n, sides[0], sides[1]))
    return lines


def main(argv):
    if len(argv) == 2:
        with open(argv[1], "rb") as f:
            for n, v in parts(f.read()):
                print("%-24s %8d %s" % (n, len(v), hashlib.sha256(v).hexdigest()))
        return 0
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1], "rb") as f:
        a = f.read()
    with open(argv[2], "rb") as f:
        b = f.read()
    lines = describe(a, b)
    if not lines:
        print("no PE part differs" + ("" if a == b else " (yet the files differ)"))
        return 0 if a == b else 1
    print("PE parts that differ:")
    print("\n".join(lines))
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
