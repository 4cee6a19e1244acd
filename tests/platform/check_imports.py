#!/usr/bin/env python3
"""Fails when a program imports a DLL outside the known ones, or lacks the
terminal-server-aware flag.

The program runs elevated from a folder any user can write; a DLL it imports
that is not one of the system's known DLLs would be taken from beside it.
Without the flag a Remote Desktop server redirects the program's look-ups.

    check_imports.py --objdump OBJDUMP PROGRAM.exe...
"""
import argparse
import re
import subprocess
import sys

IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE = 0x8000

ALLOWED = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "ole32.dll", "msvcrt.dll"}


def headers(objdump, exe):
    return subprocess.run([objdump, "-p", exe], capture_output=True, text=True, check=True).stdout


def imports(out):
    return re.findall(r"^\s*DLL Name:\s*(\S+)\s*$", out, re.M)


def dll_characteristics(out):
    m = re.search(r"^DllCharacteristics\s+([0-9a-fA-F]+)\s*$", out, re.M)
    return int(m.group(1), 16) if m else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("programs", nargs="+")
    args = ap.parse_args()
    bad = False
    for exe in args.programs:
        out = headers(args.objdump, exe)
        names = imports(out)
        others = [n for n in names if n.lower() not in ALLOWED]
        print("%s imports %s" % (exe, ", ".join(names) or "nothing"))
        if not names:
            print("  no import table read: not a PE program?")
            bad = True
        if others:
            print("  not allowed: %s" % ", ".join(others))
            bad = True
        flags = dll_characteristics(out)
        if flags is None:
            print("  no DllCharacteristics read")
            bad = True
        elif not flags & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE:
            print("  not terminal-server aware: DllCharacteristics %04x" % flags)
            bad = True
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
