#!/usr/bin/env python3
"""The link step's own tool (tools/efi_image.py): the base relocations it
makes are the linked image's, block by block as the loader reads them, and
it refuses relocations the loader could not apply; NX_COMPAT goes in with a
checksum that stays valid; the zeros that end a data section are left to the
loader, and the image it loads is the same.

    efi_image_test.py LINKED.so IMAGE.efi SCRATCH_DIR
"""
import shutil
import struct
import sys
import unittest
from pathlib import Path

import check_pe
import efi_image

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


def loaded(data):
    """The sections as a loader lays them out in memory: each one's raw data
    at its address, the rest of its virtual size zero."""
    image = check_pe.Image(data)
    memory = bytearray(image.u32(56))
    for s in image.sections:
        size = min(s["vsize"], s["rsize"])
        memory[s["va"]:s["va"] + size] = data[s["raw"]:s["raw"] + size]
    return bytes(memory)


def with_raw(data, name, size, fill=b"\0"):
    """A copy whose section `name` has `size` raw bytes (cut, or grown with
    `fill`), later sections moved and the header's sizes kept in step."""
    image = check_pe.Image(data)
    index = next(i for i, s in enumerate(image.sections) if s["name"] == name)
    section = image.sections[index]
    delta = size - section["rsize"]
    end = section["raw"] + section["rsize"]
    out = bytearray(data[:end] + fill * delta + data[end:]) if delta > 0 else bytearray(data[:end + delta] + data[end:])
    table = image.optional + struct.unpack_from("<H", data, image.pe + 20)[0]
    struct.pack_into("<I", out, table + 40 * index + 16, size)
    for i, other in enumerate(image.sections):
        if other["raw"] > section["raw"]:
            struct.pack_into("<I", out, table + 40 * i + 20, other["raw"] + delta)
    initialized, uninitialized = struct.unpack_from("<II", out, image.optional + 8)
    struct.pack_into("<II", out, image.optional + 8, initialized + delta, uninitialized - delta)
    return bytes(out)


class Trim(unittest.TestCase):
    def setUp(self):
        self.efi = Path(ARGS[1]).read_bytes()
        self.scratch = Path(ARGS[2])
        self.scratch.mkdir(parents=True, exist_ok=True)
        self.image = check_pe.Image(self.efi)

    def tearDown(self):
        shutil.rmtree(self.scratch, ignore_errors=True)

    def trimmed(self, data):
        copy = self.scratch / "trim.efi"
        copy.write_bytes(data)
        efi_image.trim_zero_tails(str(copy))
        return copy.read_bytes()

    def test_a_data_sections_zero_tail_is_left_to_the_loader(self):
        data = next(s for s in self.image.sections if s["name"] == ".data")
        self.assertLess(data["rsize"], data["vsize"], "the built image's zeroed buffers cost file bytes")
        padded = with_raw(self.efi, ".data", -(-data["vsize"] // 512) * 512)
        self.assertEqual(loaded(padded), loaded(self.efi))
        self.assertEqual(self.trimmed(padded), self.efi)

    def test_code_constants_and_a_non_zero_tail_stay(self):
        self.assertEqual(self.trimmed(self.efi), self.efi)
        text = next(s for s in self.image.sections if s["name"] == ".text")
        zeroed = bytearray(self.efi)
        zeroed[text["raw"] + text["rsize"] - 1024:text["raw"] + text["rsize"]] = bytes(1024)
        self.assertEqual(self.trimmed(bytes(zeroed)), bytes(zeroed), "code is never cut")
        data = next(s for s in self.image.sections if s["name"] == ".data")
        # One non-zero byte first in a block of its own keeps that block.
        grown = bytearray(with_raw(self.efi, ".data", data["rsize"] + 512))
        grown[data["raw"] + data["rsize"]] = 1
        self.assertEqual(self.trimmed(bytes(grown)), bytes(grown), "a non-zero byte was cut")


if __name__ == "__main__":
    ARGS = sys.argv[1:4]
    unittest.main(argv=sys.argv[:1] + sys.argv[4:])
