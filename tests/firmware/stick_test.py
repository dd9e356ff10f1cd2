"""Real-firmware scenarios of a start without a shell: the service stick
booted by OVMF as a boot option, one boot per scenario.

A test volume boots first: convsim-boot.efi as its \\EFI\\BOOT\\BOOTX64.EFI
loads the simulator driver, starts the stick's \\EFI\\BOOT\\BOOTX64.EFI the
way the boot manager starts a boot option, reports the statuses, has
convsim-dump.efi write the record and powers off. The program's console is
what lies between the loader's markers. Under Secure Boot (Debian's
snakeoil firmware) every image is the signed copy from --signed-dir.
"""
import os

import pytest

import expect
from expect import PROMPT
from pellory_machine.console import BEGIN_MARKER, END_MARKER, MarkerMissing
from pellory_machine.machine import PLAIN, SECURE, Machine
from pellory_machine.serial import KeyPress

BOOT_LOG = "EFI/BOOT/log.txt"
# A page late enough that the key lands while the update still runs.
DURING_PAGES = "Page:C0\r"
# How long the program must still hold after its prompt before the key.
HOLD_SECONDS = 2.0
REFUSED = ("convsim-boot: LoadImage BOOTX64.EFI: error 15",    # Access Denied
           "convsim-boot: LoadImage BOOTX64.EFI: error 26")    # Security Violation


def check_update(result, machine, image, secure, failures):
    """The whole update ran from the stick: console, log, flash, watchdog."""
    text = result.text
    want = "convsim-boot: SecureBoot=%d\r\n" % (1 if secure else 0)
    if want not in text:
        failures.append("no %r in the console" % want.strip())
    for line in ("convsim-boot: LoadImage BOOTX64.EFI: success",
                 "convsim-boot: StartImage BOOTX64.EFI: success"):
        if line not in text:
            failures.append("no %r in the console" % line)
    section = result.section()
    expected = expect.whole(expect.identification()) + PROMPT
    if section.body != expected:
        failures.append("console differs:\n  got  %r\n  want %r" % (
            section.body[-300:], expected[-300:]))
    if section.rc != 0:
        failures.append("StartImage returned %r, expected 0x0" % section.rc)
    log = machine.read_stick(BOOT_LOG)
    if log != b"successful":
        failures.append("\\EFI\\BOOT\\log.txt holds %r, expected b'successful'" % log)
    if machine.read_stick("log.txt") is not None:
        failures.append("a log.txt appeared at the stick's root too")
    if machine.read("flash0.bin") != image:
        failures.append("flash0.bin differs from the embedded image")
    expect.check_clean_update(expect.record(machine.read("simrec.txt")), failures)


def check_hold(result, failures):
    """A key typed during the update was discarded; the program held its
    prompt until the next key and only then returned."""
    text = result.text
    sent = result.keys_sent
    if len(sent) == 1:
        failures.append("the program did not hold its prompt: it returned before the key "
                        "meant to end the hold went out")
        return
    if len(sent) != 2:
        failures.append("%d keys sent, expected 2 (during the pages, after the prompt)"
                        % len(sent))
        return
    prompt_at = text.find(PROMPT)
    end_at = text.find(END_MARKER)
    if not 0 <= sent[0].offset <= prompt_at:
        failures.append("the first key did not go out before the prompt")
    if end_at < sent[1].offset:
        failures.append("the program returned before the key that ends the hold")


def check_refused(result, machine, failures):
    """The firmware refused the unsigned program: nothing reached the
    converter, nothing was written to the stick."""
    text = result.text
    if "convsim-boot: SecureBoot=1\r\n" not in text:
        failures.append("Secure Boot is not enforced")
    if not any(line in text for line in REFUSED):
        failures.append("LoadImage of the unsigned program was not refused")
    if BEGIN_MARKER in text:
        failures.append("the unsigned program was started")
    rec = expect.record(machine.read("simrec.txt"))
    if not rec:
        failures.append("no simulator record (simrec.txt) was written")
    for key in ("dpcdReads0", "dpcdWrites0", "i2cReads0", "i2cWrites0", "tscFirst"):
        if rec.get(key) != "0":
            failures.append("record %s is %r, expected '0'" % (key, rec.get(key)))
    appeared = [name for name in (BOOT_LOG, "log.txt") if machine.read_stick(name) is not None]
    if appeared:
        failures.append("files appeared on the stick: %s" % sorted(appeared))


def scenario(name, efi_dir, stick, signed_dir):
    """(the loader's files, the stick, the firmware, the keys) of a scenario."""
    if name == "stick_whole_update":
        return (expect.loader_files(efi_dir), stick, PLAIN,
                [KeyPress(DURING_PAGES), KeyPress(PROMPT, delay=HOLD_SECONDS)])
    if name == "stick_secure_signed":
        return (expect.loader_files(signed_dir),
                os.path.join(signed_dir, "pellory-usb-testimage-signed.img"),
                SECURE, [KeyPress(PROMPT)])
    return expect.loader_files(signed_dir), stick, SECURE, []


@pytest.mark.parametrize("name", ("stick_whole_update", "stick_secure_signed",
                                  "stick_secure_unsigned"))
def test_stick(name, efi_dir, image, stick, request):
    signed_dir = request.getfixturevalue("signed_dir") if "secure" in name else None
    files, stick_image, firmware, keys = scenario(name, efi_dir, stick, signed_dir)
    failures = []
    with Machine(firmware) as machine:
        machine.add_volume(files)
        machine.add_stick(stick_image)
        result = machine.boot(keys, limit=expect.LIMIT_SECONDS)
        if name == "stick_secure_unsigned":
            check_refused(result, machine, failures)
        else:
            try:
                check_update(result, machine, image, firmware.secure, failures)
            except MarkerMissing as missing:
                failures.append(str(missing).splitlines()[0])
            if name == "stick_whole_update":
                check_hold(result, failures)
    expect.verdict(name, result, failures)
