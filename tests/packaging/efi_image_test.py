#!/usr/bin/env python3
"""The link step's own tool (tools/efi_image.py): the base relocations it
makes are the linked image's, block by block as the loader reads them, and
it refuses relocations the loader could not apply; NX_COMPAT goes in with a
checksum that stays valid.

    efi_image_test.py LINKED.so IMAGE.efi SCRATCH_DIR
"""
import shutil
import struct
import sys
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent.parent / "tools"))
import check_pe  # noqa: E402
import efi_image  # noqa: E402

ARGS = None


def pe_fixups(image):
    """The DIR64 fix-ups of a PE image, as RVAs."""
    rva, size = image.directory(check_pe.BASE_RELOCATION_DIRECTORY)
    at, end, found = image.rva_to_offset(rva), image.rva_to_offset(rva) + size, []
    while at < end:
        page, length = struct.unpack_from("<II", image.data, at)
        found += [page + (e & 0xFFF) for (e,) in struct.iter_unpack("<H", image.data[at + 8:at + length])
                  if e >> 12 == check_pe.REL_DIR64]
        at += length
    return sorted(found)


class Blocks(unittest.TestCase):
    def test_one_block_per_page_each_padded_to_four_bytes(self):
        blocks = efi_image.base_relocation_blocks([0x3008, 0x3010, 0x5FF8])
        self.assertEqual(blocks, struct.pack("<IIHH", 0x3000, 12, 0xA008, 0xA010) +
                         struct.pack("<IIHH", 0x5000, 12, 0xAFF8, 0))

    def test_no_relocation_still_gives_a_table(self):
        self.assertEqual(efi_image.base_relocation_blocks([]), struct.pack("<IIHH", 0, 12, 0, 0))


class LinkedImage(unittest.TestCase):
    def setUp(self):
        self.so = Path(ARGS[0]).read_bytes()
        self.efi = Path(ARGS[1]).read_bytes()
        self.scratch = Path(ARGS[2])
        self.scratch.mkdir(parents=True, exist_ok=True)
        rela = next(s for s in efi_image.elf_sections(self.so) if s["type"] == efi_image.SHT_RELA)
        self.first = rela["offset"]

    def tearDown(self):
        shutil.rmtree(self.scratch, ignore_errors=True)

    def test_the_image_carries_exactly_the_links_relocations(self):
        places = efi_image.relocation_places(self.so)
        self.assertGreater(len(places), 0)
        self.assertEqual(pe_fixups(check_pe.Image(self.efi)), places)

    def refused(self, data):
        with self.assertRaises(efi_image.LinkError) as caught:
            efi_image.relocation_places(bytes(data))
        return str(caught.exception)

    def test_a_relocation_of_another_type_is_refused(self):
        data = bytearray(self.so)
        place, info, _ = struct.unpack_from("<QQq", data, self.first)
        struct.pack_into("<Q", data, self.first + 8, info & ~0xFFFFFFFF | 1)  # R_X86_64_64
        self.assertEqual(self.refused(data), f"relocation of type 1 at {place:#x}: only image-relative "
                                             "64-bit addresses can become PE base relocations")

    def test_a_place_that_does_not_hold_its_value_is_refused(self):
        data = bytearray(self.so)
        place, _, addend = struct.unpack_from("<QQq", data, self.first)
        struct.pack_into("<q", data, self.first + 16, addend + 8)
        self.assertEqual(self.refused(data), f"relocation at {place:#x} holds {addend:#x}, not its value {addend + 8:#x}")

    def test_a_relocation_in_code_is_refused(self):
        data = bytearray(self.so)
        text = next(s for s in efi_image.elf_sections(self.so) if s["name"] == ".text")
        struct.pack_into("<Q", data, self.first, text["addr"] + 16)
        self.assertIn("lies in code (.text)", self.refused(data))

    def test_nx_compat_goes_in_with_a_valid_checksum(self):
        image = check_pe.Image(self.efi)
        field = image.optional + 64
        self.assertEqual(image.u32(64), efi_image.pe_checksum(self.efi, field), "the built image's checksum")
        data = bytearray(self.efi)
        struct.pack_into("<H", data, image.optional + 70, image.u16(70) & ~efi_image.NX_COMPAT)
        struct.pack_into("<I", data, field, 0)
        copy = self.scratch / "no-nx.efi"
        copy.write_bytes(data)
        efi_image.set_nx_compat(str(copy))
        self.assertEqual(copy.read_bytes(), self.efi)


if __name__ == "__main__":
    ARGS = sys.argv[1:4]
    unittest.main(argv=sys.argv[:1] + sys.argv[4:])
