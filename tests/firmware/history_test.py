#!/usr/bin/env python3
"""Real-firmware history: two runs on one volume leave history.csv with its
header and two lines naming the machine (QEMU's SMBIOS serial and UUID, set
here), the converter, the image and each run's outcome.

    history_test.py shell --efi-dir DIR --image TEST_IMAGE
    history_test.py stick --efi-dir DIR --image TEST_IMAGE --stick STICK --work DIR

shell: one boot, the UEFI Shell runs the program twice; the simulated
converter, updated by the first run, no longer echoes the keyword in the
second. stick: two boots of the service stick without a shell, behind the
test loader, the second on the stick the first left behind and with a
converter that never echoes.
"""
import argparse
import csv
import hashlib
import io
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import qemu_run  # noqa: E402
import usb_image  # noqa: E402
from stick_test import PROMPT, loader_files, report  # noqa: E402

SERIAL = "BENCH,0042"  # a comma, so the field must be quoted
UUID = "12345678-9ABC-DEF0-1122-334455667788"
SMBIOS = ["-smbios", "type=1,serial=%s,uuid=%s" % (SERIAL.replace(",", ",,"), UUID.lower())]
HEADER = ("time,machine_serial,machine_uuid,port,vendor_block,converter_oui,bootloader,"
          "firmware_before,image,outcome")
OUTCOMES = ["successful", "stopped: 3Cannot get ACK. Update failed"]
NEVER_ECHOES = b"echoAfterReads = never\n"


def check_history(text, image, failures):
    if text is None:
        failures.append("no history.csv")
        return
    if not text.endswith(b"\r\n") or b"\n" in text.replace(b"\r\n", b""):
        failures.append("history.csv lines do not all end in CR LF: %r" % text)
    lines = text.decode("ascii").split("\r\n")[:-1]
    if not lines or lines[0] != HEADER:
        failures.append("no header first: %r" % lines[:1])
    rows = list(csv.reader(io.StringIO("\n".join(lines[1:]))))
    if len(rows) != 2:
        failures.append("%d lines after the header, expected 2: %r" % (len(rows), rows))
        return
    digest = hashlib.sha256(image).hexdigest()[:16]
    for row, outcome in zip(rows, OUTCOMES):
        want = [SERIAL, UUID, "0", "0x500", "0A1B2C", "2.0.1", "0x07_0x22",
                "07_23 sha256:" + digest, outcome]
        if len(row) != 10 or row[1:] != want:
            failures.append("line %r, expected [time] + %r" % (row, want))
        elif not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d", row[0]):
            failures.append("time %r is not the firmware's clock" % row[0])


def shell(args, image):
    files = {name: os.path.join(args.efi_dir, name)
             for name in ("pellory-testimage.efi", "convsim.efi", "convsim-dump.efi")}
    files["convsim.cfg"] = b""
    startup = qemu_run.startup_script("pellory-testimage.efi", "pellory-testimage.efi",
                                      setup=("load convsim.efi",))
    result = qemu_run.run(files=files, startup=startup, timeout=args.timeout,
                          fetch=["history.csv", "log.txt"], qemu_args=SMBIOS)
    failures = []
    check_history(result.fetched.get("history.csv"), image, failures)
    if result.fetched.get("log.txt") != b"":
        failures.append("log.txt holds %r after the second run" % result.fetched.get("log.txt"))
    return result, failures


def stick(args, image):
    kept = os.path.join(args.work, "history-stick.img")
    os.makedirs(args.work, exist_ok=True)
    failures = []
    result = None
    for boot, (source, cfg) in enumerate(((args.stick, b""), (kept, NEVER_ECHOES))):
        files = loader_files(args.efi_dir)
        files["convsim.cfg"] = cfg
        result = qemu_run.run(files=files, timeout=args.timeout, stick=source,
                              stick_offset=usb_image.ESP_OFFSET, keep_stick=kept,
                              stick_fetch=["EFI/BOOT/history.csv", "history.csv"],
                              keys=[qemu_run.KeyPress(PROMPT)], qemu_args=SMBIOS)
        if "history.csv" in result.stick_fetched:
            failures.append("boot %d: a history.csv at the stick's root" % (boot + 1))
        if PROMPT not in result.section().body:
            failures.append("boot %d: the program did not hold its prompt" % (boot + 1))
    check_history(result.stick_fetched.get("EFI/BOOT/history.csv"), image, failures)
    return result, failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("start", choices=("shell", "stick"))
    parser.add_argument("--efi-dir", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--stick")
    parser.add_argument("--work")
    parser.add_argument("--timeout", type=float, default=240)
    args = parser.parse_args()
    image = open(args.image, "rb").read()
    result, failures = (shell if args.start == "shell" else stick)(args, image)
    return report("history " + args.start, result, failures)


if __name__ == "__main__":
    sys.exit(main())
