#!/usr/bin/env python3
"""check_pe.py [--sbat CSV] IMAGE=SUBSYSTEM[,EMBEDDED][,max:BYTES]...: each image must be a PE32+ image
for x86-64 with the given subsystem (10 shell application, 11 boot-service
driver) that follows the memory rules of firmware with memory protection:

- sections aligned to 4 KiB pages, so that each can be mapped on its own;
- no section both writable and executable;
- IMAGE_DLLCHARACTERISTICS_NX_COMPAT set;
- base relocations that the loader can apply: well-formed blocks, each
  fix-up inside a section and none in code;
- when EMBEDDED names a file, its bytes (the firmware image the program
  carries) lie whole in one section that is read-only and not executable;
- one .sbat section, read-only and not executable, whose raw size equals
  its virtual size (shim reads it by its raw size) and whose text, up to
  the NULs that pad it, is the build's CSV (--sbat).
- with max:BYTES, the file is no larger (the resident driver stays small:
  it is loaded at every boot).

Prints one line per broken rule, naming the image and the section."""
import struct
import sys
from pathlib import Path

MEM_EXECUTE, MEM_WRITE = 0x20000000, 0x80000000
NX_COMPAT = 0x0100
PAGE = 4096
BASE_RELOCATION_DIRECTORY = 5
REL_ABSOLUTE, REL_DIR64 = 0, 10


class Image:
    def __init__(self, data):
        self.data = data
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        self.optional = self.pe + 24
        count = struct.unpack_from("<H", data, self.pe + 6)[0]
        table = self.optional + struct.unpack_from("<H", data, self.pe + 20)[0]
        self.sections = []
        for i in range(count):
            name, vsize, va, rsize, raw, *_, flags = struct.unpack_from("<8sIIIIIIHHI", data, table + 40 * i)
            self.sections.append({"name": name.rstrip(b"\0").decode(errors="replace"), "vsize": vsize,
                                  "va": va, "rsize": rsize, "raw": raw, "flags": flags})

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, self.optional + offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, self.optional + offset)[0]

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.optional + 112 + 8 * index)

    def section_at(self, rva, length=1):
        return next((s for s in self.sections if s["va"] <= rva and rva + length <= s["va"] + s["vsize"]), None)

    def rva_to_offset(self, rva):
        s = self.section_at(rva)
        return None if s is None or rva - s["va"] >= s["rsize"] else s["raw"] + rva - s["va"]


def check_header(image, subsystem):
    data = image.data
    if data[image.pe:image.pe + 4] != b"PE\0\0":
        return ["no PE signature"]
    errors = []
    machine = struct.unpack_from("<H", data, image.pe + 4)[0]
    if machine != 0x8664:
        errors.append(f"machine {machine:#x}, not x86-64")
    if image.u16(0) != 0x20B:
        errors.append(f"optional header magic {image.u16(0):#x}, not PE32+")
    if image.u16(68) != subsystem:
        errors.append(f"subsystem {image.u16(68)}, expected {subsystem}")
    return errors


def check_memory(image):
    errors = []
    if image.u32(32) != PAGE:
        errors.append(f"section alignment {image.u32(32):#x}, not 4 KiB")
    for s in image.sections:
        if s["va"] % PAGE:
            errors.append(f"{s['name']} starts at {s['va']:#x}, not on a page of its own")
        if s["flags"] & MEM_WRITE and s["flags"] & MEM_EXECUTE:
            errors.append(f"{s['name']} is writable and executable")
    if not image.u16(70) & NX_COMPAT:
        errors.append("NX_COMPAT is not set in the DLL characteristics")
    return errors


def check_relocations(image):
    rva, size = image.directory(BASE_RELOCATION_DIRECTORY)
    start = image.rva_to_offset(rva)
    if size == 0 or start is None:
        return ["no base relocation table: the image cannot be loaded at any address"]
    errors, at = [], start
    while at < start + size and len(errors) < 8:
        page, length = struct.unpack_from("<II", image.data, at)
        if length < 8 or length % 4 or at + length > start + size:
            return errors + [f"relocation block at {page:#x} has size {length}"]
        for (entry,) in struct.iter_unpack("<H", image.data[at + 8:at + length]):
            kind, target = entry >> 12, page + (entry & 0xFFF)
            if kind == REL_ABSOLUTE:
                continue
            home = image.section_at(target, 8)
            if kind != REL_DIR64:
                errors.append(f"relocation of type {kind} at {target:#x}")
            elif home is None:
                errors.append(f"relocation at {target:#x} lies outside every section")
            elif home["flags"] & MEM_EXECUTE:
                errors.append(f"relocation at {target:#x} patches code in {home['name']}")
        at += length
    return errors


def check_embedded(image, blob, label):
    at = image.data.find(blob)
    if at < 0:
        return [f"{label} is not in the image"]
    home = next((s for s in image.sections if s["raw"] <= at and at + len(blob) <= s["raw"] + s["rsize"]), None)
    if home is None:
        return [f"{label} lies outside every section"]
    if home["flags"] & (MEM_WRITE | MEM_EXECUTE):
        kind = "writable" if home["flags"] & MEM_WRITE else "executable"
        return [f"{label} lies in {home['name']}, which is {kind}"]
    return []


def sbat_text(image):
    """The .sbat section's text up to its padding, or None without one."""
    found = [s for s in image.sections if s["name"] == ".sbat"]
    if len(found) != 1:
        return None
    s = found[0]
    return image.data[s["raw"]:s["raw"] + s["rsize"]].rstrip(b"\0")


def check_sbat(image, csv):
    found = [s for s in image.sections if s["name"] == ".sbat"]
    if len(found) != 1:
        return [f"{len(found)} .sbat sections, not one"]
    s, errors = found[0], []
    if s["flags"] & (MEM_WRITE | MEM_EXECUTE):
        errors.append(".sbat is writable or executable")
    if s["rsize"] != s["vsize"]:
        errors.append(f".sbat's raw size {s['rsize']:#x} differs from its virtual size {s['vsize']:#x}")
    text = sbat_text(image)
    if text != csv:
        errors.append(f".sbat holds {text!r}, not {csv!r}")
    return errors


def check(path, subsystem, embedded=None, sbat=None, most=None):
    """Every broken rule of one image, as text naming it."""
    data = Path(path).read_bytes()
    if data[:2] != b"MZ":
        return [f"{path}: no MZ header"]
    if most is not None and len(data) > most:
        return [f"{path}: {len(data)} bytes, more than {most}"]
    image = Image(data)
    errors = check_header(image, subsystem)
    if not errors:
        errors = check_memory(image) + check_relocations(image)
        if embedded is not None:
            errors += check_embedded(image, Path(embedded).read_bytes(), f"the embedded image {embedded}")
        if sbat is not None:
            errors += check_sbat(image, sbat)
    return [f"{path}: {e}" for e in errors]


def main(args):
    errors, sbat = [], None
    if args[:1] == ["--sbat"]:
        sbat, args = Path(args[1]).read_bytes(), args[2:]
    for arg in args:
        path, wanted = arg.split("=", 1)
        subsystem, *rest = wanted.split(",")
        most = next((int(r[4:]) for r in rest if r.startswith("max:")), None)
        embedded = next((r for r in rest if not r.startswith("max:")), None)
        errors += check(path, int(subsystem), embedded, sbat, most)
    for error in errors:
        print(error)
    if not errors:
        print(f"{len(args)} images checked")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
