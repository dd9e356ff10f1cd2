"""The service stick is laid out as a real stick is, read back with a
parser of its own (not the builder's): a protective MBR, primary and backup
GPT headers and entry arrays with valid CRC32s, exactly one partition, an
EFI System Partition formatted FAT, holding the program byte for byte as
\\EFI\\BOOT\\BOOTX64.EFI and as \\pellory.efi, and README.TXT with CR LF line
ends; and the stick built again from the program has the very same bytes.

    pytest check_usb_image.py --stick STICK --efi PROGRAM

Importable: check_stick(path, program_bytes) returns the failures."""
import os
import re
import struct
import subprocess
import tempfile
import uuid
import zlib
from pathlib import Path

from pellory_machine import stick as stick_image

SECTOR = 512
ESP_TYPE = uuid.UUID("C12A7328-F81F-11D2-BA4B-00A0C93EC93B")


def _crc(data):
    return zlib.crc32(data) & 0xFFFFFFFF


def _header(disk, lba, failures, name):
    raw = disk[lba * SECTOR:lba * SECTOR + 92]
    fields = struct.unpack("<8sIIIIQQQQ16sQIII", raw)
    (signature, revision, size, crc, _, mine, other, first, last, _, entries_lba,
     count, entry_size, entries_crc) = fields
    if signature != b"EFI PART" or revision != 0x00010000 or size != 92:
        failures.append(f"{name} GPT header at LBA {lba} is not a GPT header")
        return None
    if _crc(raw[:16] + b"\0\0\0\0" + raw[20:]) != crc:
        failures.append(f"{name} GPT header CRC32 is wrong")
    if mine != lba:
        failures.append(f"{name} GPT header says it is at LBA {mine}, not {lba}")
    entries = disk[entries_lba * SECTOR:entries_lba * SECTOR + count * entry_size]
    if _crc(entries) != entries_crc:
        failures.append(f"{name} GPT entry array CRC32 is wrong")
    return dict(other=other, first=first, last=last, entries=entries, entry_size=entry_size)


def _partitions(primary):
    found = []
    size = primary["entry_size"]
    for at in range(0, len(primary["entries"]), size):
        entry = primary["entries"][at:at + size]
        if entry[:16] != bytes(16):
            first, last = struct.unpack_from("<QQ", entry, 32)
            found.append((uuid.UUID(bytes_le=entry[:16]), first, last))
    return found


def _check_mbr(disk, sectors, failures):
    if disk[510:512] != b"\x55\xaa":
        failures.append("no boot signature in the MBR")
    records = [disk[446 + 16 * i:462 + 16 * i] for i in range(4)]
    kind, start, length = records[0][4], *struct.unpack_from("<II", records[0], 8)
    if kind != 0xEE or start != 1 or length != min(sectors - 1, 0xFFFFFFFF):
        failures.append("the MBR is not a protective MBR over the whole disk")
    if any(r != bytes(16) for r in records[1:]):
        failures.append("the protective MBR has more than one record")


def _check_fat(disk, first, last, failures):
    boot = disk[first * SECTOR:(first + 1) * SECTOR]
    kind = boot[54:62] if boot[54:57] == b"FAT" else boot[82:90]
    if boot[510:512] != b"\x55\xaa" or not kind.startswith(b"FAT"):
        failures.append("the EFI System Partition is not formatted FAT")
        return
    total = struct.unpack_from("<H", boot, 19)[0] or struct.unpack_from("<I", boot, 32)[0]
    hidden = struct.unpack_from("<I", boot, 28)[0]
    if total > last - first + 1:
        failures.append("the FAT volume is larger than its partition")
    if hidden != first:
        failures.append(f"the FAT volume's hidden sectors are {hidden}, not {first}")


def _read(volume, name):
    with tempfile.TemporaryDirectory() as scratch:
        dest = os.path.join(scratch, "f")
        done = subprocess.run(["mcopy", "-n", "-i", volume, "::" + name, dest],
                              env=dict(os.environ, MTOOLS_SKIP_CHECK="1"),
                              stdin=subprocess.DEVNULL, capture_output=True)
        return Path(dest).read_bytes() if done.returncode == 0 else None


def _check_files(volume, program, failures):
    for name in ("EFI/BOOT/BOOTX64.EFI", "pellory.efi"):
        content = _read(volume, name)
        if content != program:
            failures.append(f"\\{name.replace('/', chr(92))} is "
                            + ("missing" if content is None else "not the program"))
    readme = _read(volume, "README.TXT")
    if not readme:
        failures.append("README.TXT is missing or empty")
    elif readme.count(b"\n") != readme.count(b"\r\n") or b"\\EFI\\BOOT\\log.txt" not in readme:
        failures.append("README.TXT lacks CR LF line ends or the log's place on the stick")
    # The version the program's banner names, and no other.
    banner = re.search(rb"firmware version ([0-9A-F]{2}_[0-9A-F]{2})\n", program)
    if readme and (not banner or b"version " + banner.group(1) + b";" not in readme):
        failures.append("README.TXT does not name the image's version")


def check_stick(path, program):
    failures = []
    disk = Path(path).read_bytes()
    sectors = len(disk) // SECTOR
    _check_mbr(disk, sectors, failures)
    primary = _header(disk, 1, failures, "primary")
    backup = _header(disk, sectors - 1, failures, "backup")
    if primary is None or backup is None:
        return failures
    if primary["other"] != sectors - 1 or backup["other"] != 1:
        failures.append("the GPT headers do not point at each other")
    if primary["entries"] != backup["entries"]:
        failures.append("the backup entry array differs from the primary one")
    parts = _partitions(primary)
    if len(parts) != 1 or parts[0][0] != ESP_TYPE:
        failures.append(f"expected one EFI System Partition, found {parts}")
        return failures
    _, first, last = parts[0]
    if not primary["first"] <= first <= last <= primary["last"]:
        failures.append("the partition lies outside the usable sectors")
    _check_fat(disk, first, last, failures)
    _check_files(f"{path}@@{first * SECTOR}", program, failures)
    return failures


def test_the_stick_is_laid_out_as_a_stick(stick, efi):
    assert check_stick(stick, Path(efi).read_bytes()) == []


def test_building_the_stick_again_gives_the_same_bytes(stick, efi, tmp_path):
    again = tmp_path / "again.img"
    stick_image.build(again, efi)
    assert again.read_bytes() == Path(stick).read_bytes()
