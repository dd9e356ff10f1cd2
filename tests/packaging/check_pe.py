#!/usr/bin/env python3
"""check_pe.py FILE=SUBSYSTEM...: each file must be a PE32+ image for x86-64
with the given subsystem (10 shell application, 11 boot-service driver)."""
import struct
import sys


def check(path, subsystem):
    data = open(path, "rb").read()
    if data[:2] != b"MZ":
        return f"{path}: no MZ header"
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return f"{path}: no PE signature"
    machine = struct.unpack_from("<H", data, pe + 4)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    found = struct.unpack_from("<H", data, optional + 68)[0]
    if machine != 0x8664:
        return f"{path}: machine {machine:#x}, not x86-64"
    if magic != 0x20B:
        return f"{path}: optional header magic {magic:#x}, not PE32+"
    if found != subsystem:
        return f"{path}: subsystem {found}, expected {subsystem}"
    return None


def main(args):
    errors = [e for e in (check(p, int(s)) for p, s in (a.split("=") for a in args)) if e]
    for error in errors:
        print(error)
    if not errors:
        print(f"{len(args)} images checked")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
