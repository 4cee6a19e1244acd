#!/usr/bin/env python3
"""Fails when a program imports a DLL outside the known ones.

The program runs elevated from a folder any user can write; a DLL it imports
that is not one of the system's known DLLs would be taken from beside it.

    check_imports.py --objdump OBJDUMP PROGRAM.exe...
"""
import argparse
import re
import subprocess
import sys

ALLOWED = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "ole32.dll", "msvcrt.dll"}


def imports(objdump, exe):
    out = subprocess.run([objdump, "-p", exe], capture_output=True, text=True, check=True).stdout
    return re.findall(r"^\s*DLL Name:\s*(\S+)\s*$", out, re.M)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("programs", nargs="+")
    args = ap.parse_args()
    bad = False
    for exe in args.programs:
        names = imports(args.objdump, exe)
        others = [n for n in names if n.lower() not in ALLOWED]
        print("%s imports %s" % (exe, ", ".join(names) or "nothing"))
        if not names:
            print("  no import table read: not a PE program?")
            bad = True
        if others:
            print("  not allowed: %s" % ", ".join(others))
            bad = True
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
