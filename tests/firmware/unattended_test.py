"""Real-firmware scheduled and network starts: OVMF's own boot manager
starts the program through BootNext, as it does after an OS scheduled a run,
with the simulator loaded before it as a Driver#### entry. One boot each.

scheduled_return: the request asks to return; the boot manager reports the
program's error status and goes on with BootOrder (the shell, whose
startup.nsh has the simulator dump what it saw and powers off).
scheduled_shutdown: the program powers the machine off itself.
network: OVMF PXE-boots the program from QEMU's built-in TFTP; it keeps no
file anywhere, its record is the only outcome. QEMU's user network has no
web server at the boot server's address (10.0.2.2), so both sends of the
record fail and the run's last line says so.
scheduled_current: the simulated converter already runs the image's
version (07_23): the run ends after identification with outcome `current`,
nothing reaches the mailbox, the flash stays erased and log.txt is never
made.

No key is sent while the program runs; the variables are written into the
store before QEMU starts and read from it after QEMU ended.
"""
import csv
import io
import os
from pathlib import Path

import pytest

import boot_entries as entries
import expect
from expect import NOT_SENT, SHELL_MARK, SUCCESS
from pellory_machine import ovmf_vars
from pellory_machine.machine import NETWORK_BOOTFILE, SHELL_KEYS, Machine, Nic

CURRENT = "The converter already runs this firmware.\r\n"
# A converter that runs the test image's version.
CURRENT_CFG = b"firmwareMajor = 0x07\nfirmwareMinor = 0x23\n"
# 64 characters, the longest id, every kind of character an id may hold.
LONGEST_ID = "net.0123456789:abcdefghijklmnopqrstuvwxyz-ABCDEFGHIJKLMNOPQRSTU_"

# name: (request id, after, start the record names)
SCENARIOS = {
    "scheduled_return": ("fleet-2026-12-09:0001", "return", "boot"),
    "scheduled_shutdown": ("fleet-2026-12-09:0002", "shutdown", "boot"),
    "network": (LONGEST_ID, "return", "network"),
    "scheduled_current": ("fleet-2026-12-09:0003", "return", "boot"),
}


def check_shutdown(result, failures):
    """The program powered the machine off: QEMU ended by itself right
    after the program's last line, with no further boot."""
    text = result.text
    tail = text[text.find(SUCCESS) + len(SUCCESS):]
    if "BdsDxe" in tail or SHELL_MARK in text:
        failures.append("the firmware went on after the program: %r" % tail[:200])
    success_at = result.arrival(SUCCESS)
    if success_at is None or result.wall_time - success_at > expect.END_LIMIT_SECONDS:
        failures.append("QEMU ended %s s after the program's last line" % (
            None if success_at is None else round(result.wall_time - success_at, 1)))
    if result.exit_code != 0:
        failures.append("QEMU exited with %r" % result.exit_code)


def check_untouched(machine, placed, failures):
    """Converter side: identification only, no byte of the mailbox, flash
    still erased. Files: no log.txt; history.csv's line says `current`."""
    rec = expect.record(machine.read("simrec.txt"))
    for key, value in (("commands0", "0"), ("pagesCommitted0", "0"), ("violations0", "0"),
                       ("modeChanges0", "1"), ("firmwareVersion0", "0x07_0x23"),
                       ("firmwareWritten0", "false")):
        if rec.get(key) != value:
            failures.append("simulator record %s is %r, expected %r" % (key, rec.get(key), value))
    if machine.read("flash0.bin") != b"\xff" * 65536:
        failures.append("flash0.bin is not the erased flash")
    on_volume = set(machine.files())
    extra = on_volume - set(placed) - {"startup.nsh"} - expect.DUMPED
    if extra != {"EFI/Pellory/history.csv"}:
        failures.append("files the program left: %s, expected only its history" % sorted(extra))
    history = machine.read("EFI/Pellory/history.csv") or b""
    rows = history.decode("ascii", "replace").split("\r\n")
    if len(rows) != 3 or list(csv.reader(io.StringIO(rows[1])))[0][-1] != "current":
        failures.append("history.csv: %r" % history)


def test_current(efi_dir, image):
    """One boot: the converter runs 07_23 already; nothing is written."""
    request_id, after, start = SCENARIOS["scheduled_current"]
    with Machine(qemu_args=expect.SMBIOS) as machine:
        entries.scheduled_store(machine.vars, entries.volume_file(entries.PROGRAM_PATH),
                                entries.request(request_id, after))
        placed = expect.volume_files(efi_dir, True, CURRENT_CFG)
        machine.add_volume(placed, startup=expect.SHELL_STARTUP)
        result = machine.boot(limit=expect.LIMIT_SECONDS)
        failures = []
        expect.check_console(result, failures,
                             expect.identification(firmware="0x07_0x23") + CURRENT)
        expect.check_return(result, failures, CURRENT)
        check_untouched(machine, placed, failures)
        store = ovmf_vars.VarStore.load(machine.vars)
    expect.check_record(store, request_id, start, image, failures,
                        expect.expected_record(request_id, start, image, "0x07_0x23", "current"))
    print("PelloryResult: %r" % (store.get("PelloryResult", ovmf_vars.PELLORY_GUID),))
    expect.verdict("scheduled_current", result, failures)


@pytest.mark.parametrize("name", ("scheduled_return", "scheduled_shutdown", "network"))
def test_start(name, efi_dir, image, tmp_path):
    request_id, after, start = SCENARIOS[name]
    nic = None
    program = entries.volume_file(entries.PROGRAM_PATH)
    if start == "network":
        tftp = tmp_path / "tftp"
        tftp.mkdir()
        (tftp / NETWORK_BOOTFILE).write_bytes(
            (Path(efi_dir) / "pellory-testimage.efi").read_bytes())
        nic = Nic(tftp=str(tftp))
        program = entries.network_boot()
    with Machine(nic=nic, reboot=after == "shutdown", qemu_args=expect.SMBIOS) as machine:
        entries.scheduled_store(machine.vars, program, entries.request(request_id, after))
        placed = expect.volume_files(efi_dir, start == "boot")
        machine.add_volume(placed, startup=expect.SHELL_STARTUP)
        keys = [] if after == "shutdown" else SHELL_KEYS
        result = machine.boot(keys, limit=expect.LIMIT_SECONDS)
        failures = []
        last = NOT_SENT if start == "network" else SUCCESS
        expect.check_console(result, failures, expect.whole(expect.identification())
                             + (NOT_SENT if start == "network" else ""))
        if after == "shutdown":
            check_shutdown(result, failures)
        else:
            expect.check_return(result, failures, last)
            expect.check_files(machine, start, placed, image, failures)
        if nic and os.listdir(nic.tftp) != [NETWORK_BOOTFILE]:
            failures.append("the TFTP folder changed: %s" % os.listdir(nic.tftp))
        store = ovmf_vars.VarStore.load(machine.vars)
    expect.check_record(store, request_id, start, image, failures)
    print("PelloryResult: %r" % (store.get("PelloryResult", ovmf_vars.PELLORY_GUID),))
    aborted = expect.ABORTED.search(result.text)
    print("%s: update's last line at %s s, program's last line at %s s, the boot manager's report of its "
          "status at %s s" % (name, _seconds(result.arrival(SUCCESS)), _seconds(result.arrival(last)),
                              _seconds(aborted and result.arrival(aborted.group(0)))))
    expect.verdict(name, result, failures)


def _seconds(value):
    return "-" if value is None else "%.1f" % value
