#!/usr/bin/env python3
"""Real-firmware scheduled and network starts: OVMF's own boot manager
starts the program through BootNext, as it does after an OS scheduled a run,
with the simulator loaded before it as a Driver#### entry. One boot each.

    unattended_test.py NAME --efi-dir DIR --image TEST_IMAGE

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
import argparse
import csv
import hashlib
import io
import os
import re
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import boot_entries as entries  # noqa: E402
import ovmf_vars  # noqa: E402
import qemu_run  # noqa: E402
from history_test import HEADER  # noqa: E402
from scenario_test import identification, record as simulator_record, whole  # noqa: E402
from stick_test import PROMPT, check_clean_update, report as verdict  # noqa: E402

SERIAL = "BENCH-0043"
UUID = "12345678-9ABC-DEF0-1122-334455667799"
SMBIOS = ["-smbios", "type=1,serial=%s,uuid=%s" % (SERIAL, UUID.lower())]
SHELL_MARK = "==SHELL=="
STARTUP = "\n".join(["@echo -off", "fs0:", "echo " + SHELL_MARK, "convsim-dump.efi",
                     "reset -s", ""])
ENTRY = 'Boot%04X "%s"' % (entries.UPDATE_ENTRY, entries.UPDATE_DESCRIPTION)
STARTING = "BdsDxe: starting " + ENTRY
ABORTED = re.compile(r"BdsDxe: failed to start %s from [^\r\n]*: Aborted\r\n" % re.escape(ENTRY))
NEXT_OPTION = 'BdsDxe: loading Boot%04X "Test shell"' % entries.SHELL_ENTRY
SUCCESS = "Download success,Please shutdown to reset the system!\r\n"
CURRENT = "The converter already runs this firmware.\r\n"
NOT_SENT = "The result can not be sent to the boot server.\r\n"
# A converter that runs the test image's version.
CURRENT_CFG = b"firmwareMajor = 0x07\nfirmwareMinor = 0x23\n"
# The run ends as soon as its record is written: no hold, no wait for a key.
END_LIMIT_SECONDS = 5.0
DUMPED = {"simrec.txt", "flash0.bin"}
PROGRAM_FILES = {"EFI/Pellory/log.txt", "EFI/Pellory/history.csv"}
# 64 characters, the longest id, every kind of character an id may hold.
LONGEST_ID = "net.0123456789:abcdefghijklmnopqrstuvwxyz-ABCDEFGHIJKLMNOPQRSTU_"

# name: (request id, after, start the record names)
SCENARIOS = {
    "scheduled_return": ("fleet-2026-12-09:0001", "return", "boot"),
    "scheduled_shutdown": ("fleet-2026-12-09:0002", "shutdown", "boot"),
    "network": (LONGEST_ID, "return", "network"),
    "scheduled_current": ("fleet-2026-12-09:0003", "return", "boot"),
}


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
            "machine_serial=" + SERIAL, "machine_uuid=" + UUID, "port=0",
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


def check_console(result, failures, want=None):
    """The boot manager started the update entry once; the program's console
    is the whole update (or `want`) and nothing asks for a key."""
    text = result.text
    if text.count(STARTING) != 1:
        failures.append("%r appears %d times, expected once" % (STARTING, text.count(STARTING)))
        return
    body = text[text.index("\r\n", text.index(STARTING)) + 2:]
    end = body.find("BdsDxe: ")
    body = body if end == -1 else body[:end]
    want = want or whole(identification())
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


def check_shutdown(result, failures):
    """The program powered the machine off: QEMU ended by itself right
    after the program's last line, with no further boot."""
    text = result.text
    tail = text[text.find(SUCCESS) + len(SUCCESS):]
    if "BdsDxe" in tail or SHELL_MARK in text:
        failures.append("the firmware went on after the program: %r" % tail[:200])
    success_at = result.arrival(SUCCESS)
    if success_at is None or result.wall_time - success_at > END_LIMIT_SECONDS:
        failures.append("QEMU ended %s s after the program's last line" % (
            None if success_at is None else round(result.wall_time - success_at, 1)))
    if result.exit_code != 0:
        failures.append("QEMU exited with %r" % result.exit_code)


def check_files(result, volume, start, placed, image, failures):
    """Converter side: the flash holds the image. Files: a boot start keeps
    log.txt and one history line beside the program; a network start writes
    nothing to any disk."""
    on_volume = set(qemu_run.list_files(volume))
    if DUMPED - on_volume:
        failures.append("the simulator dump is missing: %s" % sorted(DUMPED - on_volume))
    elif qemu_run.read_file(volume, "flash0.bin") != image:
        failures.append("flash0.bin differs from the embedded image")
    check_clean_update(result, failures)
    kept = PROGRAM_FILES if start == "boot" else set()
    extra = on_volume - set(placed) - {"startup.nsh"} - DUMPED
    if extra != kept:
        failures.append("files the program left: %s, expected %s" % (sorted(extra), sorted(kept)))
    if start == "boot":
        log = qemu_run.read_file(volume, "EFI/Pellory/log.txt")
        history = qemu_run.read_file(volume, "EFI/Pellory/history.csv") or b""
        if log != b"successful":
            failures.append("\\EFI\\Pellory\\log.txt holds %r" % log)
        rows = history.decode("ascii", "replace").split("\r\n")
        if rows[0] != HEADER or len(rows) != 3 or rows[2] != "" or \
                list(csv.reader(io.StringIO(rows[1])))[0][-1] != "successful":
            failures.append("history.csv: %r" % history)


def check_untouched(result, volume, placed, failures):
    """Converter side: identification only, no byte of the mailbox, flash
    still erased. Files: no log.txt; history.csv's line says `current`."""
    rec = simulator_record(result)
    for key, value in (("commands0", "0"), ("pagesCommitted0", "0"), ("violations0", "0"),
                       ("modeChanges0", "1"), ("firmwareVersion0", "0x07_0x23"),
                       ("firmwareWritten0", "false")):
        if rec.get(key) != value:
            failures.append("simulator record %s is %r, expected %r" % (key, rec.get(key), value))
    if qemu_run.read_file(volume, "flash0.bin") != b"\xff" * 65536:
        failures.append("flash0.bin is not the erased flash")
    on_volume = set(qemu_run.list_files(volume))
    extra = on_volume - set(placed) - {"startup.nsh"} - DUMPED
    if extra != {"EFI/Pellory/history.csv"}:
        failures.append("files the program left: %s, expected only its history" % sorted(extra))
    history = qemu_run.read_file(volume, "EFI/Pellory/history.csv") or b""
    rows = history.decode("ascii", "replace").split("\r\n")
    if len(rows) != 3 or list(csv.reader(io.StringIO(rows[1])))[0][-1] != "current":
        failures.append("history.csv: %r" % history)


def run_current(args, image):
    """One boot: the converter runs 07_23 already; nothing is written."""
    request_id, after, start = SCENARIOS[args.name]
    with tempfile.TemporaryDirectory(prefix="unattended_") as work:
        vars_file, volume = os.path.join(work, "vars.fd"), os.path.join(work, "volume.img")
        entries.scheduled_store(vars_file, entries.volume_file(entries.PROGRAM_PATH),
                                entries.request(request_id, after))
        placed = volume_files(args.efi_dir, True, CURRENT_CFG)
        try:
            result = qemu_run.run(files=placed, startup=STARTUP, timeout=args.timeout,
                                  vars_file=vars_file, keep_image=volume,
                                  fetch=["simrec.txt"], qemu_args=SMBIOS)
        except qemu_run.BootTimeout as late:
            print("FAILED %s: %s" % (args.name, late))
            return 1
        failures = []
        check_console(result, failures, identification(firmware="0x07_0x23") + CURRENT)
        check_return(result, failures, CURRENT)
        check_untouched(result, volume, placed, failures)
        store = ovmf_vars.VarStore.load(vars_file)
        check_record(store, request_id, start, image, failures,
                     expected_record(request_id, start, image, "0x07_0x23", "current"))
        print("PelloryResult: %r" % (store.get("PelloryResult", ovmf_vars.PELLORY_GUID),))
    return verdict(args.name, result, failures)


def run(args):
    image = open(args.image, "rb").read()
    if args.name == "scheduled_current":
        return run_current(args, image)
    request_id, after, start = SCENARIOS[args.name]
    with tempfile.TemporaryDirectory(prefix="unattended_") as work:
        vars_file, volume = os.path.join(work, "vars.fd"), os.path.join(work, "volume.img")
        tftp = None
        program = entries.volume_file(entries.PROGRAM_PATH)
        if start == "network":
            tftp = os.path.join(work, "tftp")
            os.mkdir(tftp)
            with open(os.path.join(tftp, qemu_run.NETWORK_BOOTFILE), "wb") as out:
                out.write(open(os.path.join(args.efi_dir, "pellory-testimage.efi"), "rb").read())
            program = entries.network_boot()
        entries.scheduled_store(vars_file, program, entries.request(request_id, after))
        placed = volume_files(args.efi_dir, start == "boot")
        keys = [] if after == "shutdown" else None
        try:
            result = qemu_run.run(files=placed, startup=STARTUP, timeout=args.timeout,
                                  keys=keys, vars_file=vars_file, keep_image=volume,
                                  reboot=after == "shutdown", tftp=tftp,
                                  fetch=["simrec.txt"], qemu_args=SMBIOS)
        except qemu_run.BootTimeout as late:
            print("FAILED %s: %s" % (args.name, late))
            return 1
        failures = []
        last = NOT_SENT if start == "network" else SUCCESS
        check_console(result, failures, whole(identification()) + (NOT_SENT if start == "network" else ""))
        if after == "shutdown":
            check_shutdown(result, failures)
        else:
            check_return(result, failures, last)
            check_files(result, volume, start, placed, image, failures)
        if tftp and os.listdir(tftp) != [qemu_run.NETWORK_BOOTFILE]:
            failures.append("the TFTP folder changed: %s" % os.listdir(tftp))
        store = ovmf_vars.VarStore.load(vars_file)
        check_record(store, request_id, start, image, failures)
        print("PelloryResult: %r" % (store.get("PelloryResult", ovmf_vars.PELLORY_GUID),))
    return report(args.name, result, failures, last)


def _seconds(value):
    return "-" if value is None else "%.1f" % value


def report(name, result, failures, last=SUCCESS):
    aborted = ABORTED.search(result.text)
    print("%s: update's last line at %s s, program's last line at %s s, the boot manager's report of its "
          "status at %s s" % (name, _seconds(result.arrival(SUCCESS)), _seconds(result.arrival(last)),
                              _seconds(aborted and result.arrival(aborted.group(0)))))
    return verdict(name, result, failures)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("name", choices=sorted(SCENARIOS))
    parser.add_argument("--efi-dir", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--timeout", type=float, default=240)
    return run(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
