"""What the real-firmware scenarios expect to see, shared by their tests:
the program's console lines (banner, identification, the whole update),
the simulator's record, the history file's header, the variables and
volume a scheduled or network start leaves, and the verdict that lists
every failure of a boot at once, with its console."""
import csv
import hashlib
import io
import os
import re

import pytest

import boot_entries as entries
from pellory_machine import ovmf_vars

BANNER = "Pellory Version:0.4, firmware version 07_23\r\n"
START = "start to update downloading\r\n"
SUCCESS = "Download success,Please shutdown to reset the system!\r\n"
PROMPT = "Press any key to return to the firmware.\r\n"
NOT_SENT = "The result can not be sent to the boot server.\r\n"
HISTORY_HEADER = ("time,machine_serial,machine_uuid,port,vendor_block,converter_oui,bootloader,"
                  "firmware_before,image,outcome")
# A boot's limit: far beyond what the slowest scenario takes under TCG.
LIMIT_SECONDS = 240


def pages(last=0):
    return "".join("Page:%02X\r" % n for n in range(0xFF, last - 1, -1))


def identification(bootloader="2.0.1", firmware="0x07_0x22"):
    return BANNER + "Bootloader:%s\r\nCurrent FirmwareVer:%s\r\n" % (bootloader, firmware)


def whole(console):
    return console + START + pages() + "\r\nverifying\r\n" + SUCCESS


def record(simrec):
    """The simulator's record (simrec.txt's bytes, or None) as a dict of strings."""
    values = {}
    for line in (simrec or b"").decode("ascii", "replace").splitlines():
        if "=" in line:
            key, value = line.split("=", 1)
            values[key.strip()] = value.strip()
    return values


def loader_files(directory):
    """A test volume whose \\EFI\\BOOT\\BOOTX64.EFI is the loader that loads
    the simulator, starts the stick's program and has the record dumped."""
    return {
        "EFI/BOOT/BOOTX64.EFI": os.path.join(directory, "convsim-boot.efi"),
        "convsim.efi": os.path.join(directory, "convsim.efi"),
        "convsim-dump.efi": os.path.join(directory, "convsim-dump.efi"),
        "convsim.cfg": b"",
    }


def check_clean_update(rec, failures):
    """What the simulator saw of a whole update: no protocol violation, the
    two mode changes (download mode and back), and the watchdog already off
    when the converter was first reached."""
    for key, value in (("violations0", "0"), ("modeChanges0", "2"),
                       ("watchdogAtFirstAccess", "0")):
        if rec.get(key) != value:
            failures.append("simulator record %s is %r, expected %r" % (key, rec.get(key), value))


def verdict(name, result, failures):
    """The boot's verdict: every failure at once, with the console."""
    print("%s: boot %.1f s" % (name, result.wall_time))
    if failures:
        pytest.fail("%s:\n  %s\n---- console ----\n%s" % (name, "\n  ".join(failures), result.text),
                    pytrace=False)


# ------------------------------------------ scheduled and network starts

SMBIOS_SERIAL = "BENCH-0043"
SMBIOS_UUID = "12345678-9ABC-DEF0-1122-334455667799"
SMBIOS = ["-smbios", "type=1,serial=%s,uuid=%s" % (SMBIOS_SERIAL, SMBIOS_UUID.lower())]
SHELL_MARK = "==SHELL=="
# The shell after the boot manager's own starts: the simulator's dump, off.
SHELL_STARTUP = "\n".join(["@echo -off", "fs0:", "echo " + SHELL_MARK, "convsim-dump.efi",
                           "reset -s", ""])
ENTRY = 'Boot%04X "%s"' % (entries.UPDATE_ENTRY, entries.UPDATE_DESCRIPTION)
STARTING = "BdsDxe: starting " + ENTRY
ABORTED = re.compile(r"BdsDxe: failed to start %s from [^\r\n]*: Aborted\r\n" % re.escape(ENTRY))
NEXT_OPTION = 'BdsDxe: loading Boot%04X "Test shell"' % entries.SHELL_ENTRY
# The run ends as soon as its record is written: no hold, no wait for a key.
END_LIMIT_SECONDS = 5.0
DUMPED = {"simrec.txt", "flash0.bin"}
PROGRAM_FILES = {"EFI/Pellory/log.txt", "EFI/Pellory/history.csv"}


def volume_files(efi_dir, with_program, cfg=b""):
    files = {"convsim.efi": os.path.join(efi_dir, "convsim.efi"),
             "convsim-dump.efi": os.path.join(efi_dir, "convsim-dump.efi"),
             "convsim.cfg": cfg}
    if with_program:
        files["EFI/Pellory/pellory.efi"] = os.path.join(efi_dir, "pellory-testimage.efi")
    return files


def expected_record(request_id, start, image, firmware="0x07_0x22", outcome="successful"):
    digest = hashlib.sha256(image).hexdigest()[:16]
    return ["format=1", "request=" + request_id, "start=" + start, None,
            "machine_serial=" + SMBIOS_SERIAL, "machine_uuid=" + SMBIOS_UUID, "port=0",
            "vendor_block=0x500", "converter_oui=0A1B2C", "bootloader=2.0.1",
            "firmware_before=" + firmware, "image=07_23 sha256:" + digest, "outcome=" + outcome]


def check_record(store, request_id, start, image, failures, want=None):
    """The record's final write, every line in order; the request served
    once and gone; BootNext used up; the update entry kept out of BootOrder."""
    found = store.get("PelloryResult", ovmf_vars.PELLORY_GUID)
    if found is None:
        failures.append("no PelloryResult in the store")
        return
    attributes, data = found
    if attributes != ovmf_vars.NV_BS_RT:
        failures.append("PelloryResult attributes %d, expected 7" % attributes)
    if not data.endswith(b"\n") or len(data) > 1024:
        failures.append("PelloryResult is not LF-ended lines within 1 KiB: %r" % data)
    got = data.decode("ascii", "replace").split("\n")[:-1]
    want = want or expected_record(request_id, start, image)
    if len(got) != len(want) or any(w is not None and g != w for g, w in zip(got, want)):
        failures.append("PelloryResult:\n    got  %r\n    want %r" % (got, want))
    elif not re.fullmatch(r"time=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d", got[3]):
        failures.append("record %r is not the firmware's clock" % got[3])
    for name, guid in (("PelloryRequest", ovmf_vars.PELLORY_GUID),
                       ("BootNext", ovmf_vars.GLOBAL_GUID)):
        if store.get(name, guid) is not None:
            failures.append("%s is still in the store" % name)
    order = ovmf_vars.parse_list(store.get("BootOrder")[1])
    if entries.UPDATE_ENTRY in order:
        failures.append("the update entry went into BootOrder: %r" % order)
    if store.get("Boot%04X" % entries.UPDATE_ENTRY) is None:
        failures.append("the update entry is gone")


def check_console(result, failures, want):
    """The boot manager started the update entry once; the program's console
    is `want` and nothing asks for a key."""
    text = result.text
    if text.count(STARTING) != 1:
        failures.append("%r appears %d times, expected once" % (STARTING, text.count(STARTING)))
        return
    body = text[text.index("\r\n", text.index(STARTING)) + 2:]
    end = body.find("BdsDxe: ")
    body = body if end == -1 else body[:end]
    if body != want:
        failures.append("program console:\n    got  %r\n    want %r" % (body[-300:], want[-300:]))
    if PROMPT.strip() in text:
        failures.append("the program held its prompt")


def check_return(result, failures, last_line=SUCCESS):
    """The program's error status sent the boot manager on to the next boot
    option at once; the only key went to the shell's countdown afterwards."""
    text = result.text
    aborted = ABORTED.search(text)
    if aborted is None:
        failures.append("no 'failed to start %s ... Aborted' line" % ENTRY)
        return
    later = text[aborted.end():]
    if not later.startswith(NEXT_OPTION):
        failures.append("the boot manager did not go on with the shell: %r" % later[:200])
    success_at = result.arrival(last_line)
    aborted_at = result.arrival(aborted.group(0))
    if success_at is None or aborted_at - success_at > END_LIMIT_SECONDS:
        failures.append("the program took %s s after its last line to return" % (
            None if success_at is None else round(aborted_at - success_at, 1)))
    if any(key.offset < aborted.end() for key in result.keys_sent):
        failures.append("a key went out before the program had returned")


def check_files(machine, start, placed, image, failures):
    """Converter side: the flash holds the image. Files: a boot start keeps
    log.txt and one history line beside the program; a network start writes
    nothing to any disk."""
    on_volume = set(machine.files())
    if DUMPED - on_volume:
        failures.append("the simulator dump is missing: %s" % sorted(DUMPED - on_volume))
    elif machine.read("flash0.bin") != image:
        failures.append("flash0.bin differs from the embedded image")
    check_clean_update(record(machine.read("simrec.txt")), failures)
    kept = PROGRAM_FILES if start == "boot" else set()
    extra = on_volume - set(placed) - {"startup.nsh"} - DUMPED
    if extra != kept:
        failures.append("files the program left: %s, expected %s" % (sorted(extra), sorted(kept)))
    if start == "boot":
        log = machine.read("EFI/Pellory/log.txt")
        history = machine.read("EFI/Pellory/history.csv") or b""
        if log != b"successful":
            failures.append("\\EFI\\Pellory\\log.txt holds %r" % log)
        rows = history.decode("ascii", "replace").split("\r\n")
        if rows[0] != HISTORY_HEADER or len(rows) != 3 or rows[2] != "" or \
                list(csv.reader(io.StringIO(rows[1])))[0][-1] != "successful":
            failures.append("history.csv: %r" % history)


# ------------------------------------------------ the Linux guests' disks

SIM = "EFI/convsim"
INCOMING = "incoming/pellory.efi"
# Boot entries the first Linux boot makes: the simulator as a driver and
# the dump first in BootOrder (-c puts each new one first), before the
# guest's own (the Debian guest's GRUB has one already).
SIM_ENTRIES = r"""set -e
efibootmgr -q -c -d /dev/vda -p 1 -l '\EFI\convsim\convsim-dump.efi' -L convsim-dump
efibootmgr -q -r -c -d /dev/vda -p 1 -l '\EFI\convsim\convsim.efi' -L convsim
set +e
"""


def disk_files(efi_dir, signed_dir, program):
    """The simulator and the program to schedule, on a Linux guest's ESP."""
    source = signed_dir or efi_dir
    return {
        f"{SIM}/convsim.efi": os.path.join(source, "convsim.efi"),
        f"{SIM}/convsim-dump.efi": os.path.join(source, "convsim-dump.efi"),
        INCOMING: str(program),
    }
