"""The service stick: a disk image laid out as a real USB stick is.

    python3 -m pellory_machine.stick IMAGE PROGRAM [--readme README]

IMAGE gets a GUID partition table (protective MBR, primary and backup
headers and entry arrays) with one EFI System Partition, formatted FAT,
holding PROGRAM twice, as \\EFI\\BOOT\\BOOTX64.EFI (what the firmware boots
when the stick is chosen in its boot menu) and as \\pellory.efi (for a UEFI
Shell), plus README.TXT for the technician with CR LF line ends.

The image is deterministic: fixed GUIDs, a fixed volume serial number and
fixed file times (SOURCE_DATE_EPOCH when set), so the same program always
gives the same bytes. The partition is filled with mtools through
IMAGE@@OFFSET: no root, no loop mounts. Only the standard library is used.
"""

import argparse
import hashlib
import re
import os
import struct
import subprocess
import sys
import uuid
import zlib
from pathlib import Path

SECTOR = 512
DISK_SECTORS = 65536                  # 32 MiB
ENTRY_COUNT = 128
ENTRY_SIZE = 128
ENTRY_SECTORS = ENTRY_COUNT * ENTRY_SIZE // SECTOR
ESP_FIRST_LBA = 2048                  # 1 MiB aligned, as partitioning tools do
ESP_LAST_LBA = DISK_SECTORS - 2048 - 1
ESP_OFFSET = ESP_FIRST_LBA * SECTOR

ESP_TYPE = uuid.UUID("C12A7328-F81F-11D2-BA4B-00A0C93EC93B")
DISK_GUID = uuid.UUID("5045C1A0-72D1-4B0E-9A53-5449434B0001")
ESP_GUID = uuid.UUID("5045C1A0-72D1-4B0E-9A53-5449434B0002")
ESP_NAME = "EFI System Partition"
VOLUME_LABEL = "PELLORY"
VOLUME_SERIAL = "50454C4C"
# 2024-01-01 00:00 UTC, for every file time on the volume.
DEFAULT_EPOCH = "1704067200"

BOOT_PATH = "EFI/BOOT/BOOTX64.EFI"
SHELL_PATH = "pellory.efi"
README_PATH = "README.TXT"
README_SOURCE = Path(__file__).resolve().parents[1] / "usb-readme.txt"


def crc32(data):
    return zlib.crc32(data) & 0xFFFFFFFF


def partition_entries():
    name = ESP_NAME.encode("utf-16-le").ljust(72, b"\0")
    entry = (ESP_TYPE.bytes_le + ESP_GUID.bytes_le
             + struct.pack("<QQQ", ESP_FIRST_LBA, ESP_LAST_LBA, 0) + name)
    return entry.ljust(ENTRY_COUNT * ENTRY_SIZE, b"\0")


def gpt_header(my_lba, other_lba, entries_lba, entries_crc):
    def pack(crc):
        return struct.pack("<8sIIIIQQQQ16sQIII", b"EFI PART", 0x00010000, 92, crc, 0,
                           my_lba, other_lba, ENTRY_SECTORS + 2,
                           DISK_SECTORS - ENTRY_SECTORS - 2, DISK_GUID.bytes_le,
                           entries_lba, ENTRY_COUNT, ENTRY_SIZE, entries_crc)
    return pack(crc32(pack(0))).ljust(SECTOR, b"\0")


def protective_mbr():
    # One partition of type 0xEE over the whole disk (as far as 32 bits reach).
    record = struct.pack("<B3sB3sII", 0, b"\x00\x02\x00", 0xEE, b"\xff\xff\xff",
                         1, min(DISK_SECTORS - 1, 0xFFFFFFFF))
    return bytes(446) + record + bytes(48) + b"\x55\xaa"


def write_partition_table(image):
    entries = partition_entries()
    entries_crc = crc32(entries)
    last = DISK_SECTORS - 1
    with open(image, "r+b") as disk:
        disk.write(protective_mbr())
        disk.write(gpt_header(1, last, 2, entries_crc))
        disk.write(entries)
        disk.seek((last - ENTRY_SECTORS) * SECTOR)
        disk.write(entries)
        disk.write(gpt_header(last, 1, last - ENTRY_SECTORS, entries_crc))


# The program's first line, which names the image's version (MM_mm).
BANNER = re.compile(rb"Pellory Version:[^,\s]+, firmware version ([0-9A-F]{2}_[0-9A-F]{2})\n")


def image_version(program_bytes):
    """The image version the program's banner names."""
    found = BANNER.search(program_bytes)
    if not found:
        raise ValueError("the program carries no banner with an image version")
    return found.group(1).decode("ascii")


def readme_bytes(version, source=README_SOURCE):
    text = Path(source).read_text(encoding="ascii").replace("{version}", version)
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("ascii")


def _mtools(*args, epoch):
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1", SOURCE_DATE_EPOCH=epoch)
    done = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed: {done.stderr.strip()}")


def format_partition(image, epoch=DEFAULT_EPOCH):
    """An empty FAT file system in the partition; returns its mtools name."""
    volume = f"{image}@@{ESP_OFFSET}"
    sectors = ESP_LAST_LBA - ESP_FIRST_LBA + 1
    _mtools("mformat", "-i", volume, "-T", str(sectors), "-h", "64", "-s", "32",
            "-H", str(ESP_FIRST_LBA), "-N", VOLUME_SERIAL, "-v", VOLUME_LABEL, "::", epoch=epoch)
    return volume


def fill_partition(image, program, readme, epoch):
    volume = format_partition(image, epoch)
    _mtools("mmd", "-i", volume, "::EFI", "::EFI/BOOT", epoch=epoch)
    for name in (BOOT_PATH, SHELL_PATH):
        _mtools("mcopy", "-i", volume, str(program), "::" + name, epoch=epoch)
    staged = f"{image}.readme"
    Path(staged).write_bytes(readme)
    try:
        _mtools("mcopy", "-i", volume, staged, "::" + README_PATH, epoch=epoch)
    finally:
        os.unlink(staged)


def build(image, program, readme=README_SOURCE, epoch=None):
    """Writes the stick to `image`; returns the program's SHA-256."""
    epoch = epoch or os.environ.get("SOURCE_DATE_EPOCH") or DEFAULT_EPOCH
    content = Path(program).read_bytes()
    partial = f"{image}.partial"
    with open(partial, "wb") as disk:
        disk.truncate(DISK_SECTORS * SECTOR)
    try:
        write_partition_table(partial)
        fill_partition(partial, program, readme_bytes(image_version(content), readme), epoch)
        os.replace(partial, image)
    finally:
        if os.path.exists(partial):
            os.unlink(partial)
    return hashlib.sha256(content).hexdigest()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Build the service stick's disk image.")
    parser.add_argument("image")
    parser.add_argument("program")
    parser.add_argument("--readme", default=str(README_SOURCE))
    args = parser.parse_args(argv)
    digest = build(args.image, args.program, args.readme)
    size = os.path.getsize(args.program)
    print(f"built {args.image}: GPT, one EFI System Partition (FAT) at byte {ESP_OFFSET}, "
          f"holding \\EFI\\BOOT\\BOOTX64.EFI and \\pellory.efi ({size} bytes, "
          f"SHA-256 {digest}) and README.TXT (firmware version "
          f"{image_version(Path(args.program).read_bytes())})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
