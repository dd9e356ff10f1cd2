"""Checks of pellory_machine.ovmf_vars without firmware: a store written
here reads back; copies the firmware left mid-update count as it counts
them; the store's end holds."""

import os
import struct
import uuid

import pytest

from pellory_machine import ovmf_vars
from pellory_machine.ovmf_vars import GLOBAL_GUID, PELLORY_GUID, StoreError, VarStore

AUTH_STORE = uuid.UUID("aaf32c78-947b-439a-a180-2e144ec37792")
HEADER = 60          # an authenticated variable's header
FIRST = 0x48 + 28    # the first header's offset in tiny()
OTHER = uuid.UUID("01234567-89ab-cdef-0123-456789abcdef")


def tiny(store_size):
    """A volume header and a store of `store_size` bytes, erased."""
    image = bytearray(b"\xff" * (0x48 + store_size))
    image[0:0x48] = bytes(0x48)
    image[40:44] = b"_FVH"
    struct.pack_into("<H", image, 48, 0x48)
    struct.pack_into("<16sIBB6s", image, 0x48, AUTH_STORE.bytes_le, store_size, 0x5A, 0xFE,
                     b"\xff" * 6)
    return image


def size_of(name, data):
    return HEADER + 2 * (len(name) + 1) + len(data)


def test_added_variables_read_back_each_on_its_4_byte_boundary():
    store = VarStore(tiny(1024))
    store.add("BootNext", GLOBAL_GUID, 7, b"\x00\x01")
    store.add("PelloryRequest", PELLORY_GUID, 7, b"format=1\n")
    store.add("BootNext", OTHER, 3, b"x")          # same name, another GUID
    assert VarStore(bytes(store.image)).variables() == {
        ("BootNext", GLOBAL_GUID): (7, b"\x00\x01"),
        ("PelloryRequest", PELLORY_GUID): (7, b"format=1\n"),
        ("BootNext", OTHER): (3, b"x")}
    second = FIRST + size_of("BootNext", b"\x00\x01")        # 80: aligned already
    third = second + size_of("PelloryRequest", b"format=1\n")  # 99, padded to 100
    assert store.image[second:second + 2] == b"\xaa\x55"
    assert store.image[100:102] == b"\xaa\x55"
    assert store.image[third] == 0xFF
    with pytest.raises(StoreError):
        store.add("BootNext", GLOBAL_GUID, 7, b"\x00\x02")


def test_set_replaces_a_variable_as_the_firmware_does():
    store = VarStore(tiny(1024))
    store.add("BootOrder", GLOBAL_GUID, 7, b"\x00\x00")
    store.set("BootOrder", GLOBAL_GUID, 7, b"\x03\x00\x00\x00")
    store.set("Timeout", GLOBAL_GUID, 7, b"\x00\x00")
    assert store.image[FIRST + 2] == 0x3D    # the old copy, deleted
    assert VarStore(bytes(store.image)).variables() == {
        ("BootOrder", GLOBAL_GUID): (7, b"\x03\x00\x00\x00"),
        ("Timeout", GLOBAL_GUID): (7, b"\x00\x00")}


def test_the_store_holds_a_last_variable_up_to_its_very_end():
    room = 28 + size_of("A", b"")
    full = VarStore(tiny(room + 4))
    full.add("A", OTHER, 7, b"1234")               # ends on the store's last byte
    assert full.get("A", OTHER) == (7, b"1234")
    with pytest.raises(StoreError):
        VarStore(tiny(room + 4)).add("A", OTHER, 7, b"12345")


@pytest.mark.skipif(not os.path.exists("/usr/share/OVMF/OVMF_VARS_4M.fd"), reason="no OVMF")
def test_debian_template_is_an_empty_store():
    assert VarStore.load("/usr/share/OVMF/OVMF_VARS_4M.fd").variables() == {}


# The firmware updates a variable by marking the old copy (0x3E), adding the
# new one (0x3F), then marking the old one deleted (0x3C).
@pytest.mark.parametrize("states, found", [
    ((0x3E, 0x3F), (7, b"\x02\x00")),   # the new copy wins over one in transition
    ((0x3E,), (7, b"\x01\x00")),        # a copy in transition stays when cut short
    ((0x3C,), None),                     # deleted
    ((0x7F,), None),                     # half written
    ((0x3C, 0x3F), (7, b"\x02\x00")),
])
def test_copies_the_firmware_left(states, found):
    store = VarStore(tiny(1024))
    for number, state in enumerate(states, 1):
        store._append("BootOrder", GLOBAL_GUID, 7, bytes([number, 0]), state)
    assert store.get("BootOrder") == found


def test_a_header_that_runs_past_the_store_is_an_error():
    store = VarStore(tiny(1024))
    store.add("A", OTHER, 7, b"x")
    struct.pack_into("<I", store.image, FIRST + 40, 2000)    # DataSize
    with pytest.raises(StoreError):
        store.variables()


def test_not_a_store():
    image = tiny(64)
    image[0x48] ^= 1
    with pytest.raises(StoreError):
        VarStore(image)


def test_option_round_trip_and_file_node_bytes():
    path = ovmf_vars.file_path("\\a")
    assert path.hex(" ") == "04 04 0a 00 5c 00 61 00 00 00 7f ff 04 00"
    option = ovmf_vars.load_option("Pellory firmware update", path, optional=b"\x01")
    assert ovmf_vars.parse_load_option(option) == (1, "Pellory firmware update", path, b"\x01")
    assert ovmf_vars.parse_list(ovmf_vars.option_list(0x0101, 2)) == [0x0101, 2]


def test_partition_path_is_the_hard_drive_node_an_os_writes_then_the_file():
    # What efibootmgr shows as
    # HD(1,GPT,5045c1a0-72d1-4b0e-9a53-4445424e0002,0x800,0x20000)/File(\a).
    path = ovmf_vars.partition_path(1, 0x800, 0x20000, "5045C1A0-72D1-4B0E-9A53-4445424E0002",
                                    "\\a")
    assert path[:42].hex(" ") == (
        "04 01 2a 00 01 00 00 00 00 08 00 00 00 00 00 00 00 00 02 00 00 00 00 00 "
        "a0 c1 45 50 d1 72 0e 4b 9a 53 44 45 42 4e 00 02 02 02")
    assert path[42:] == ovmf_vars.file_path("\\a")


def test_signatures_are_appended_to_a_list_with_its_attributes_or_start_one():
    store = VarStore(tiny(1024))
    store.add("db", ovmf_vars.IMAGE_SECURITY_GUID, 0x27, b"old")
    cert = ovmf_vars.signature_list(ovmf_vars.CERT_X509, [b"DER"])
    # EFI_SIGNATURE_LIST: type, list size, header size, entry size; owner and value.
    assert cert == (ovmf_vars.CERT_X509.bytes_le + struct.pack("<III", 28 + 19, 0, 19) +
                    ovmf_vars.SHIM_GUID.bytes_le + b"DER")
    ovmf_vars.add_signatures(store, "db", ovmf_vars.IMAGE_SECURITY_GUID, [cert], ovmf_vars.NV_BS)
    ovmf_vars.add_signatures(store, "MokList", ovmf_vars.SHIM_GUID, [cert], ovmf_vars.NV_BS)
    assert store.get("db", ovmf_vars.IMAGE_SECURITY_GUID) == (0x27, b"old" + cert)
    assert store.get("MokList", ovmf_vars.SHIM_GUID) == (ovmf_vars.NV_BS, cert)
    with pytest.raises(StoreError):
        ovmf_vars.signature_list(ovmf_vars.CERT_SHA256, [bytes(32), bytes(31)])
