#!/usr/bin/env python3
"""The link step's own tool (tools/efi_image.py): the base relocations it
makes are the linked image's, block by block as the loader reads them, and
it refuses relocations the loader could not apply; NX_COMPAT goes in with a
checksum that stays valid; the zeros that end a data section are left to the
loader, and the image it loads is the same.

    pytest efi_image_test.py --so LINKED.so --efi IMAGE.efi --scratch DIR
"""
import struct
from pathlib import Path

import pytest

import check_pe
import efi_image


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


@pytest.mark.parametrize("places, blocks", [
    ([0x3008, 0x3010, 0x5FF8], struct.pack("<IIHH", 0x3000, 12, 0xA008, 0xA010) +
     struct.pack("<IIHH", 0x5000, 12, 0xAFF8, 0)),   # one block a page, padded to 4 bytes
    ([], struct.pack("<IIHH", 0, 12, 0, 0)),          # no relocation still gives a table
])
def test_base_relocation_blocks(places, blocks):
    assert efi_image.base_relocation_blocks(places) == blocks


@pytest.fixture(scope="module")
def linked(so):
    """The linked .so's bytes."""
    return Path(so).read_bytes()


@pytest.fixture(scope="module")
def built(efi):
    """The EFI image's bytes, as the link step made it."""
    return Path(efi).read_bytes()


def test_the_image_carries_exactly_the_links_relocations(linked, built):
    places = efi_image.relocation_places(linked)
    assert len(places) > 0
    assert pe_fixups(check_pe.Image(built)) == places


def other_type(data, place, info, addend, text):
    struct.pack_into("<Q", data, 8, info & ~0xFFFFFFFF | 1)  # R_X86_64_64
    return (f"relocation of type 1 at {place:#x}: only image-relative "
            "64-bit addresses can become PE base relocations")


def not_its_value(data, place, info, addend, text):
    struct.pack_into("<q", data, 16, addend + 8)
    return f"relocation at {place:#x} holds {addend:#x}, not its value {addend + 8:#x}"


def in_code(data, place, info, addend, text):
    struct.pack_into("<Q", data, 0, text["addr"] + 16)
    return "lies in code (.text)"


@pytest.mark.parametrize("damage", [other_type, not_its_value, in_code])
def test_a_relocation_the_loader_could_not_apply_is_refused(linked, damage):
    """The first relocation of the link, damaged in place."""
    first = next(s for s in efi_image.elf_sections(linked) if s["type"] == efi_image.SHT_RELA)["offset"]
    text = next(s for s in efi_image.elf_sections(linked) if s["name"] == ".text")
    entry = bytearray(linked[first:first + 24])
    refusal = damage(entry, *struct.unpack_from("<QQq", entry), text)
    data = linked[:first] + bytes(entry) + linked[first + 24:]
    with pytest.raises(efi_image.LinkError) as caught:
        efi_image.relocation_places(data)
    assert refusal in str(caught.value)


def test_nx_compat_goes_in_with_a_valid_checksum(built, scratch):
    image = check_pe.Image(built)
    field = image.optional + 64
    assert image.u32(64) == efi_image.pe_checksum(built, field), "the built image's checksum"
    data = bytearray(built)
    struct.pack_into("<H", data, image.optional + 70, image.u16(70) & ~efi_image.NX_COMPAT)
    struct.pack_into("<I", data, field, 0)
    copy = scratch / "no-nx.efi"
    copy.write_bytes(data)
    efi_image.set_nx_compat(str(copy))
    assert copy.read_bytes() == built


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


def section(image, name):
    return next(s for s in check_pe.Image(image).sections if s["name"] == name)


@pytest.fixture
def trimmed(scratch):
    def trim(data):
        copy = scratch / "trim.efi"
        copy.write_bytes(data)
        efi_image.trim_zero_tails(str(copy))
        return copy.read_bytes()
    return trim


def test_a_data_sections_zero_tail_is_left_to_the_loader(built, trimmed):
    data = section(built, ".data")
    assert data["rsize"] < data["vsize"], "the built image's zeroed buffers cost file bytes"
    padded = with_raw(built, ".data", -(-data["vsize"] // 512) * 512)
    assert loaded(padded) == loaded(built)
    assert trimmed(padded) == built


def test_code_constants_and_a_non_zero_tail_stay(built, trimmed):
    assert trimmed(built) == built
    text = section(built, ".text")
    zeroed = bytearray(built)
    zeroed[text["raw"] + text["rsize"] - 1024:text["raw"] + text["rsize"]] = bytes(1024)
    assert trimmed(bytes(zeroed)) == bytes(zeroed), "code is never cut"
    data = section(built, ".data")
    # One non-zero byte first in a block of its own keeps that block.
    grown = bytearray(with_raw(built, ".data", data["rsize"] + 512))
    grown[data["raw"] + data["rsize"]] = 1
    assert trimmed(bytes(grown)) == bytes(grown), "a non-zero byte was cut"
