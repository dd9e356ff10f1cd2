"""Real-firmware history: two runs on one volume leave history.csv with its
header and two lines naming the machine (QEMU's SMBIOS serial and UUID, set
here), the converter, the image and each run's outcome.

shell: one boot, the UEFI Shell runs the program twice; the simulated
converter, updated by the first run, no longer echoes the keyword in the
second. stick: two boots of the service stick without a shell, behind the
test loader, the second on the stick the first left behind and with a
converter that never echoes.
"""
import csv
import hashlib
import io
import os
import re
import shutil

import expect
from expect import HISTORY_HEADER, PROMPT
from pellory_machine.machine import Machine, startup_script
from pellory_machine.serial import KeyPress

SERIAL = "BENCH,0042"  # a comma, so the field must be quoted
UUID = "12345678-9ABC-DEF0-1122-334455667788"
SMBIOS = ["-smbios", "type=1,serial=%s,uuid=%s" % (SERIAL.replace(",", ",,"), UUID.lower())]
OUTCOMES = ["successful", "stopped: 3Cannot get ACK. Update failed"]
NEVER_ECHOES = b"echoAfterReads = never\n"


def check_history(text, image, failures):
    if text is None:
        failures.append("no history.csv")
        return
    if not text.endswith(b"\r\n") or b"\n" in text.replace(b"\r\n", b""):
        failures.append("history.csv lines do not all end in CR LF: %r" % text)
    lines = text.decode("ascii").split("\r\n")[:-1]
    if not lines or lines[0] != HISTORY_HEADER:
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


def test_shell(efi_dir, image):
    files = {name: os.path.join(efi_dir, name)
             for name in ("pellory-testimage.efi", "convsim.efi", "convsim-dump.efi")}
    files["convsim.cfg"] = b""
    startup = startup_script("pellory-testimage.efi", "pellory-testimage.efi",
                             setup=("load convsim.efi",))
    failures = []
    with Machine(qemu_args=SMBIOS) as machine:
        machine.add_volume(files, startup=startup)
        result = machine.boot(limit=expect.LIMIT_SECONDS)
        check_history(machine.read("history.csv"), image, failures)
        log = machine.read("log.txt")
    if log != b"":
        failures.append("log.txt holds %r after the second run" % log)
    expect.verdict("history shell", result, failures)


def test_stick(efi_dir, image, stick, work):
    """Two boots, the second on the stick the first left behind."""
    kept = os.path.join(work, "history-stick.img")
    os.makedirs(work, exist_ok=True)
    failures = []
    result = None
    for boot, (source, cfg) in enumerate(((stick, b""), (kept, NEVER_ECHOES))):
        files = expect.loader_files(efi_dir)
        files["convsim.cfg"] = cfg
        with Machine(qemu_args=SMBIOS) as machine:
            machine.add_volume(files)
            machine.add_stick(source)
            result = machine.boot([KeyPress(PROMPT)], limit=expect.LIMIT_SECONDS)
            shutil.copyfile(machine.stick, kept)
            if machine.read_stick("history.csv") is not None:
                failures.append("boot %d: a history.csv at the stick's root" % (boot + 1))
            history = machine.read_stick("EFI/BOOT/history.csv")
        if PROMPT not in result.section().body:
            failures.append("boot %d: the program did not hold its prompt" % (boot + 1))
    check_history(history, image, failures)
    expect.verdict("history stick", result, failures)
