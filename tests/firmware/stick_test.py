#!/usr/bin/env python3
"""Real-firmware scenarios of a start without a shell: the service stick
booted by OVMF as a boot option, one boot per scenario.

    stick_test.py NAME --efi-dir DIR --image TEST_IMAGE --stick STICK
                  [--signed-dir DIR]

A test volume boots first: convsim-boot.efi as its \\EFI\\BOOT\\BOOTX64.EFI
loads the simulator driver, starts the stick's \\EFI\\BOOT\\BOOTX64.EFI the
way the boot manager starts a boot option, reports the statuses, has
convsim-dump.efi write the record and powers off. The program's console is
what lies between the loader's markers. Under Secure Boot (Debian's
snakeoil firmware) every image is the signed copy from --signed-dir.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import qemu_run  # noqa: E402
import usb_image  # noqa: E402
from scenario_test import identification, record, whole  # noqa: E402

PROMPT = "Press any key to return to the firmware.\r\n"
BOOT_LOG = "EFI/BOOT/log.txt"
LOADER = "convsim-boot"
# A page late enough that the key lands while the update still runs.
DURING_PAGES = "Page:C0\r"
# How long the program must still hold after its prompt before the key.
HOLD_SECONDS = 2.0
REFUSED = ("convsim-boot: LoadImage BOOTX64.EFI: error 15",    # Access Denied
           "convsim-boot: LoadImage BOOTX64.EFI: error 26")    # Security Violation


def loader_files(directory):
    return {
        "EFI/BOOT/BOOTX64.EFI": os.path.join(directory, LOADER + ".efi"),
        "convsim.efi": os.path.join(directory, "convsim.efi"),
        "convsim-dump.efi": os.path.join(directory, "convsim-dump.efi"),
        "convsim.cfg": b"",
    }


def boot(files, stick, firmware, keys, timeout):
    return qemu_run.run(files=files, timeout=timeout, firmware=firmware, keys=keys,
                        fetch=["simrec.txt", "flash0.bin"], stick=stick,
                        stick_offset=usb_image.ESP_OFFSET, stick_fetch=[BOOT_LOG, "log.txt"])


def check_clean_update(result, failures):
    """What the simulator saw of a whole update: no protocol violation, the
    two mode changes (download mode and back), and the watchdog already off
    when the converter was first reached."""
    rec = record(result)
    for key, value in (("violations0", "0"), ("modeChanges0", "2"),
                       ("watchdogAtFirstAccess", "0")):
        if rec.get(key) != value:
            failures.append("simulator record %s is %r, expected %r" % (key, rec.get(key), value))


def check_update(result, image, secure, failures):
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
    expected = whole(identification()) + PROMPT
    if section.body != expected:
        failures.append("console differs:\n  got  %r\n  want %r" % (
            section.body[-300:], expected[-300:]))
    if section.rc != 0:
        failures.append("StartImage returned %r, expected 0x0" % section.rc)
    log = result.stick_fetched.get(BOOT_LOG)
    if log != b"successful":
        failures.append("\\EFI\\BOOT\\log.txt holds %r, expected b'successful'" % log)
    if "log.txt" in result.stick_fetched:
        failures.append("a log.txt appeared at the stick's root too")
    if result.fetched.get("flash0.bin") != image:
        failures.append("flash0.bin differs from the embedded image")
    check_clean_update(result, failures)


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
    end_at = text.find(qemu_run.END_MARKER)
    if not 0 <= sent[0].offset <= prompt_at:
        failures.append("the first key did not go out before the prompt")
    if end_at < sent[1].offset:
        failures.append("the program returned before the key that ends the hold")


def check_refused(result, failures):
    """The firmware refused the unsigned program: nothing reached the
    converter, nothing was written to the stick."""
    text = result.text
    if "convsim-boot: SecureBoot=1\r\n" not in text:
        failures.append("Secure Boot is not enforced")
    if not any(line in text for line in REFUSED):
        failures.append("LoadImage of the unsigned program was not refused")
    if qemu_run.BEGIN_MARKER in text:
        failures.append("the unsigned program was started")
    rec = record(result)
    if not rec:
        failures.append("no simulator record (simrec.txt) was written")
    for key in ("dpcdReads0", "dpcdWrites0", "i2cReads0", "i2cWrites0", "tscFirst"):
        if rec.get(key) != "0":
            failures.append("record %s is %r, expected '0'" % (key, rec.get(key)))
    if result.stick_fetched:
        failures.append("files appeared on the stick: %s" % sorted(result.stick_fetched))


def run(args):
    image = open(args.image, "rb").read()
    plain_keys = [qemu_run.KeyPress(DURING_PAGES),
                  qemu_run.KeyPress(PROMPT, delay=HOLD_SECONDS)]
    if args.name == "stick_whole_update":
        scenario = (loader_files(args.efi_dir), args.stick, None, plain_keys)
    elif not args.signed_dir:
        raise SystemExit("%s needs --signed-dir (secure_setup.py's output)" % args.name)
    elif args.name == "stick_secure_signed":
        scenario = (loader_files(args.signed_dir),
                    os.path.join(args.signed_dir, "pellory-usb-testimage-signed.img"),
                    qemu_run.SECURE, [qemu_run.KeyPress(PROMPT)])
    else:
        scenario = (loader_files(args.signed_dir), args.stick, qemu_run.SECURE, [])
    files, stick, firmware, keys = scenario
    try:
        result = boot(files, stick, firmware, keys, args.timeout)
    except qemu_run.BootTimeout as late:
        print("FAILED %s: %s" % (args.name, late))
        return 1
    failures = []
    if args.name == "stick_secure_unsigned":
        check_refused(result, failures)
    else:
        try:
            check_update(result, image, firmware == qemu_run.SECURE, failures)
        except qemu_run.MarkerMissing as missing:
            failures.append(str(missing).splitlines()[0])
        if args.name == "stick_whole_update":
            check_hold(result, failures)
    return report(args.name, result, failures)


def report(name, result, failures):
    """The scenario's verdict, with the console when it failed; the exit code."""
    print("%s: boot %.1f s" % (name, result.wall_time))
    if failures:
        print("FAILED %s:\n  %s" % (name, "\n  ".join(failures)))
        print("---- console ----\n%s" % result.text)
        return 1
    print("passed %s" % name)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("name", choices=(
        "stick_whole_update", "stick_secure_signed", "stick_secure_unsigned"))
    parser.add_argument("--efi-dir", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--stick", required=True, help="the unsigned test stick")
    parser.add_argument("--signed-dir", help="secure_setup.py's output")
    parser.add_argument("--timeout", type=float, default=240)
    return run(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
