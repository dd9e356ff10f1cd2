#!/usr/bin/env python3
"""The memory-rule checks refuse what they are for: bad copies of a good
image (its .text made writable, the section carrying the firmware image
made writable, NX_COMPAT cleared, ...) are each refused, by rule and by
section name, and the good image passes.

    check_pe_test.py IMAGE.efi EMBEDDED.bin SCRATCH_DIR
"""
import shutil
import struct
import sys
import unittest
from pathlib import Path

import check_pe

ARGS = None


def section_header(data, name):
    image = check_pe.Image(bytes(data))
    table = image.optional + struct.unpack_from("<H", data, image.pe + 20)[0]
    for i, s in enumerate(image.sections):
        if s["name"] == name:
            return table + 40 * i, s
    raise AssertionError(f"no section {name}")


def set_flags(data, name, add=0, remove=0):
    at, s = section_header(data, name)
    struct.pack_into("<I", data, at + 36, (s["flags"] | add) & ~remove)


class MemoryRules(unittest.TestCase):
    def setUp(self):
        self.good = Path(ARGS[0])
        self.embedded = ARGS[1]
        self.scratch = Path(ARGS[2])
        self.scratch.mkdir(parents=True, exist_ok=True)
        self.data = bytearray(self.good.read_bytes())
        self.image = check_pe.Image(bytes(self.data))

    def errors(self, name):
        path = self.scratch / f"{name}.efi"
        path.write_bytes(self.data)
        return [e.split(": ", 1)[1] for e in check_pe.check(str(path), 10, self.embedded)]

    def home_of_embedded(self):
        at = bytes(self.data).find(Path(self.embedded).read_bytes())
        return next(s["name"] for s in self.image.sections if s["raw"] <= at < s["raw"] + s["rsize"])

    def test_the_good_image_passes(self):
        self.assertEqual(self.errors("good"), [])
        self.assertEqual(self.home_of_embedded(), ".rodata")

    def test_writable_code_is_refused(self):
        set_flags(self.data, ".text", add=check_pe.MEM_WRITE)
        self.assertEqual(self.errors("text-writable"), [".text is writable and executable"])

    def test_executable_data_is_refused(self):
        set_flags(self.data, ".data", add=check_pe.MEM_EXECUTE)
        self.assertIn(".data is writable and executable", self.errors("data-executable"))

    def test_writable_embedded_image_is_refused(self):
        home = self.home_of_embedded()
        set_flags(self.data, home, add=check_pe.MEM_WRITE)
        self.assertEqual(self.errors("image-writable"),
                         [f"the embedded image {self.embedded} lies in {home}, which is writable"])

    def test_missing_nx_compat_is_refused(self):
        at = self.image.optional + 70
        struct.pack_into("<H", self.data, at, self.image.u16(70) & ~check_pe.NX_COMPAT)
        self.assertEqual(self.errors("no-nx"), ["NX_COMPAT is not set in the DLL characteristics"])

    def test_sections_off_their_pages_are_refused(self):
        struct.pack_into("<I", self.data, self.image.optional + 32, 0x200)
        self.assertEqual(self.errors("small-alignment"), ["section alignment 0x200, not 4 KiB"])

    def test_relocation_into_code_is_refused(self):
        rva, _ = self.image.directory(check_pe.BASE_RELOCATION_DIRECTORY)
        block = self.image.rva_to_offset(rva)
        text = next(s for s in self.image.sections if s["name"] == ".text")
        struct.pack_into("<I", self.data, block, text["va"])
        entry = struct.unpack_from("<H", self.data, block + 8)[0]
        self.assertEqual(entry >> 12, check_pe.REL_DIR64, "the first block has a fix-up")
        target = text["va"] + (entry & 0xFFF)
        self.assertIn(f"relocation at {target:#x} patches code in .text", self.errors("reloc-in-code"))

    def test_a_missing_relocation_table_is_refused(self):
        struct.pack_into("<II", self.data, self.image.optional + 112 + 8 * 5, 0, 0)
        self.assertEqual(self.errors("no-relocs"),
                         ["no base relocation table: the image cannot be loaded at any address"])

    def tearDown(self):
        shutil.rmtree(self.scratch, ignore_errors=True)


if __name__ == "__main__":
    ARGS = sys.argv[1:4]
    unittest.main(argv=sys.argv[:1] + sys.argv[4:])
