#!/usr/bin/env python3
"""The memory-rule checks refuse what they are for: bad copies of a good
image (its .text made writable, the section carrying the firmware image
made writable, NX_COMPAT cleared, ...) are each refused, by rule and by
section name, and the good image passes.

    pytest check_pe_test.py --efi IMAGE.efi --embedded EMBEDDED.bin --sbat SBAT.csv --scratch DIR
"""
import struct
from pathlib import Path

import pytest

import check_pe


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


class Copy:
    """A copy of the good image in memory, to break and check."""

    def __init__(self, good, embedded, sbat, scratch):
        self.embedded, self.scratch, self.sbat = embedded, scratch, Path(sbat).read_bytes()
        self.data = bytearray(Path(good).read_bytes())
        self.image = check_pe.Image(bytes(self.data))

    def errors(self, name):
        path = self.scratch / f"{name}.efi"
        path.write_bytes(self.data)
        return [e.split(": ", 1)[1] for e in check_pe.check(str(path), 10, self.embedded, self.sbat)]

    def home_of_embedded(self):
        at = bytes(self.data).find(Path(self.embedded).read_bytes())
        return next(s["name"] for s in self.image.sections if s["raw"] <= at < s["raw"] + s["rsize"])


@pytest.fixture
def copy(efi, embedded, sbat, scratch):
    return Copy(efi, embedded, sbat, scratch)


def test_the_good_image_passes(copy):
    assert copy.errors("good") == []
    assert copy.home_of_embedded() == ".rodata"
    assert copy.sbat.startswith(b"sbat,1,SBAT Version,sbat,1,https://github.com/rhboot/shim/blob/main/SBAT.md\n"
                                b"pellory,1,Pellory,pellory,0.4,")


def sbat_renamed(copy):
    at, _ = section_header(copy.data, ".sbat")
    copy.data[at:at + 8] = b".sbaT\0\0\0"


def sbat_writable(copy):
    set_flags(copy.data, ".sbat", add=check_pe.MEM_WRITE)


def sbat_executable(copy):
    set_flags(copy.data, ".sbat", add=check_pe.MEM_EXECUTE)


def sbat_shorter_in_memory(copy):
    at, s = section_header(copy.data, ".sbat")
    struct.pack_into("<I", copy.data, at + 8, s["vsize"] - 1)


def sbat_other_generation(copy):
    _, s = section_header(copy.data, ".sbat")
    line = copy.data.index(b"pellory,1,", s["raw"])
    copy.data[line + 8] = ord("2")


def writable_code(copy):
    set_flags(copy.data, ".text", add=check_pe.MEM_WRITE)


def executable_data(copy):
    set_flags(copy.data, ".data", add=check_pe.MEM_EXECUTE)


def no_nx_compat(copy):
    struct.pack_into("<H", copy.data, copy.image.optional + 70,
                     copy.image.u16(70) & ~check_pe.NX_COMPAT)


def small_alignment(copy):
    struct.pack_into("<I", copy.data, copy.image.optional + 32, 0x200)


def no_relocations(copy):
    struct.pack_into("<II", copy.data, copy.image.optional + 112 + 8 * 5, 0, 0)


# alone: the only refusal the copy gets; otherwise one among its refusals.
@pytest.mark.parametrize("damage, refusal, alone", [
    (writable_code, ".text is writable and executable", True),
    (executable_data, ".data is writable and executable", False),
    (no_nx_compat, "NX_COMPAT is not set in the DLL characteristics", True),
    (small_alignment, "section alignment 0x200, not 4 KiB", True),
    (no_relocations, "no base relocation table: the image cannot be loaded at any address", True),
    (sbat_renamed, "0 .sbat sections, not one", True),
    (sbat_writable, ".sbat is writable or executable", True),
    (sbat_executable, ".sbat is writable or executable", True),
    (sbat_shorter_in_memory, ".sbat's raw size 0x200 differs from its virtual size 0x1ff", True),
    (sbat_other_generation, ".sbat holds b'sbat,1,SBAT Version,sbat,1,https://github.com/rhboot/shim/"
                            "blob/main/SBAT.md\\npellory,2,Pellory,pellory,0.4,README.md\\n', not", False),
])
def test_a_broken_rule_is_refused_by_name(copy, damage, refusal, alone):
    damage(copy)
    errors = copy.errors(damage.__name__)
    assert errors == [refusal] if alone else any(e.startswith(refusal) for e in errors)


def test_writable_embedded_image_is_refused(copy):
    home = copy.home_of_embedded()
    set_flags(copy.data, home, add=check_pe.MEM_WRITE)
    assert copy.errors("image-writable") == [
        f"the embedded image {copy.embedded} lies in {home}, which is writable"]


def test_relocation_into_code_is_refused(copy):
    rva, _ = copy.image.directory(check_pe.BASE_RELOCATION_DIRECTORY)
    block = copy.image.rva_to_offset(rva)
    text = next(s for s in copy.image.sections if s["name"] == ".text")
    struct.pack_into("<I", copy.data, block, text["va"])
    entry = struct.unpack_from("<H", copy.data, block + 8)[0]
    assert entry >> 12 == check_pe.REL_DIR64, "the first block has a fix-up"
    target = text["va"] + (entry & 0xFFF)
    assert f"relocation at {target:#x} patches code in .text" in copy.errors("reloc-in-code")
