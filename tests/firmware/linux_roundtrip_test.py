"""Real round trips through a Linux boot: Debian's kernel under OVMF
schedules the test-image program with pelloryctl, reboots, the boot
manager starts the program through BootNext with no key sent, Linux comes
back by itself and pelloryctl reads the record. One QEMU process per
scenario, so NVRAM lives on across the guest's reboots; `successful` adds
a second process on the same disk and variables, the power-on after which
the simulated converter runs the firmware written before.

At every boot the firmware loads the simulator through a Driver#### entry,
then, after BootNext, tries convsim-dump.efi (first in BootOrder: it
writes the simulator's flash and counts beside itself and returns an
error, so the boot manager goes on) and then Linux. The guest's steps
(run by pellory_machine's guest-step.sh) copy what each boot left before
the next boot's dump overwrites it.
"""
import json
import os
import subprocess
import tempfile
from pathlib import Path
from types import SimpleNamespace

import pytest

import linux_guest
from expect import INCOMING, SIM, SIM_ENTRIES, disk_files
from pellory_machine import linux
from pellory_machine.machine import SECURE, SNAKEOIL_CERT, SNAKEOIL_KEY, SNAKEOIL_PASSWORD

TOOLS = Path(__file__).resolve().parents[2] / "tools"
BANNER = "Pellory Version:0.4"
BOOT_TIMEOUT = 420
# Half the image's 256 pages.
RESET_AFTER_PAGES = 128
ENTRIES = (r"""set -e
efibootmgr -q -c -d /dev/vda -p 1 -l '\EFI\linux\vmlinuz.efi' -L linux -u '%s'
""" % linux.COMMAND_LINE) + SIM_ENTRIES
SCHEDULE = "pelloryctl schedule /boot/efi/%s\necho schedule-rc=$?\nafter reboot\n" % INCOMING
IDENTIFY = SCHEDULE.replace(INCOMING, INCOMING + " --identify")
# Scheduled, then the machine is switched off (the step's default end).
SCHEDULE_OFF = SCHEDULE.replace("after reboot\n", "")
# What a boot after the program's one leaves: the record, the state of
# BootNext, and the simulator's files under this boot's number.
LOOK = r"""pelloryctl result --json > /tmp/result.json
echo "result-rc=$?"
echo "JSON $(cat /tmp/result.json)"
[ -e /sys/firmware/efi/efivars/BootNext-8be4df61-93ca-11d2-aa0d-00e098032b8c ] && echo bootnext=set
cp /boot/efi/EFI/convsim/simrec.txt /boot/efi/EFI/convsim/simrec-$BOOT.txt
cp /boot/efi/EFI/convsim/flash0.bin /boot/efi/EFI/convsim/flash-$BOOT.bin
"""


def step_value(body, key):
    """The value of the first `key=...` or `KEY ...` line of a step."""
    for line in body.splitlines():
        line = line.strip()
        if line.startswith(key + "=") or line.startswith(key + " "):
            return line[len(key) + 1:]
    return None


def scheduled_id(step):
    """The id `pelloryctl schedule` printed ("Request: ID (after=...)")."""
    text = step_value(step.body, "Request:") if step else None
    return text.split()[0] if text else None


def record_counts(text):
    return dict(line.split("=", 1) for line in text.decode().splitlines() if "=" in line)


class RoundTrip:
    def __init__(self, args, name, firmware=None):
        self.args = args
        self.failures = []
        self.machine = linux.Machine(Path(args.work) / name, firmware)
        self.kernel, self.initrd = linux_guest.build(
            args.cache, [args.pelloryctl, "/usr/bin/efibootmgr"])

    def check(self, condition, message):
        if not condition:
            self.failures.append(message)

    def boot(self, steps, files, expect=None):
        """A fresh disk with every step, then its first QEMU process, in
        which the steps `expect` (default all) run."""
        step_files = {f"{linux.STEPS}/{n}.sh": text.encode() for n, text in steps.items()}
        self.machine.make_disk({**files, **step_files}, self.kernel, self.initrd)
        return self.boot_again(expect or steps)

    def boot_again(self, numbers):
        """One QEMU process from the firmware's boot entries, on the disk as
        it is; returns the Result and its guest steps by number."""
        self.processes = getattr(self, "processes", 0) + 1
        result = self.machine.boot(limit=BOOT_TIMEOUT, console_out=self.machine.work /
                                   f"console-{self.processes}.txt")
        got = {s.number: s for s in result.steps}
        for number in numbers:
            self.check(number in got, f"guest step {number} did not run")
        for step in result.steps:
            print(f"step {step.number} at {step.seconds:.1f} s (kernel uptime {step.uptime} s), "
                  f"rc {step.rc}:\n{step.body}")
        print(f"QEMU ran {result.wall_time:.1f} s")
        return result, got

    def between(self, result, got, first, second):
        """The console from step `first`'s end to step `second`'s begin."""
        if first in got and second in got:
            return result.text[got[first].end:got[second].begin]
        return ""

    def json_of(self, step):
        text = step_value(step.body, "JSON") if step else None
        try:
            return json.loads(text)
        except (TypeError, ValueError):
            self.failures.append(f"no JSON from pelloryctl result in {step.body if step else ''!r}")
            return {}

    def finish(self):
        if self.failures:
            pytest.fail("\n".join(self.failures), pytrace=False)


def successful(args):
    """Identify, update, reset, power-off and on, update again. QEMU
    process 1: an identify run (`identified`, the converter's versions, the
    flash untouched), an update (`successful`, a power-off needed), then a
    reboot without the program in which the converter still shows its old
    firmware (a reset does not start the new one). QEMU process 2 on the
    same disk and variables, the power-on: the converter runs 07_23, so the
    update scheduled before the power-off reads `current` and writes
    nothing."""
    trip = RoundTrip(args, "successful")
    steps = {1: ENTRIES + IDENTIFY, 2: LOOK + SCHEDULE, 3: LOOK + "after reboot\n",
             4: LOOK + SCHEDULE_OFF, 5: LOOK}
    result, got = trip.boot(steps, disk_files(args.efi_dir, None, Path(args.efi_dir) /
                                              "pellory-testimage.efi"), expect=(1, 2, 3, 4))
    trip.check(5 not in got, "step 5 ran before the power-off")
    first, second, third, fourth = (got.get(n) for n in (1, 2, 3, 4))
    for step in (first, second, fourth):
        trip.check(step and step_value(step.body, "schedule-rc") == "0",
                   f"pelloryctl schedule failed in step {step and step.number}")
    trip.check(first and all(k.offset <= first.begin for k in result.keys_sent),
               "a key was sent after Linux first came up")
    check_identify(trip, trip.between(result, got, 1, 2), second, scheduled_id(first))
    check_update(trip, trip.between(result, got, 2, 3), third, scheduled_id(second), args.image)
    check_reset(trip, trip.between(result, got, 3, 4), fourth)
    print(f"QEMU process 1 (identify, update, reset): {result.wall_time:.1f} s")
    # The power-off was the guest's own at the end of step 4; this is the power-on.
    again, got = trip.boot_again((5,))
    check_power_on(trip, again.text[:got[5].begin] if 5 in got else "", got.get(5),
                   scheduled_id(fourth))
    print(f"QEMU process 2 (power-on, current): {again.wall_time:.1f} s; "
          f"both {result.wall_time + again.wall_time:.1f} s")
    trip.finish()


def simulator_counts(trip, boot):
    return record_counts(trip.machine.read(f"{SIM}/simrec-{boot}.txt") or b"")


def check_record(trip, step, want, rc, request):
    record = trip.json_of(step)
    print(f"pelloryctl result --json in step {step and step.number}:", json.dumps(record))
    for key, value in want.items():
        trip.check(record.get(key) == value, f"step {step and step.number}: result {key} is "
                   f"{record.get(key)!r}, not {value!r}")
    trip.check(list(record)[:2] == ["state", "target"], f"state and target do not lead: {record}")
    trip.check(step and step_value(step.body, "result-rc") == rc, f"result did not exit {rc}")
    trip.check(record.get("request") == request, "the record does not name the scheduled request")
    trip.check(step and "bootnext=set" not in step.body, "BootNext is left after the run")
    return record


def check_identify(trip, console, step, request):
    """The identify run: versions read, nothing sent to the mailbox."""
    trip.check(BANNER in console and "Identified." in console, "no identify run after boot 1")
    trip.check("start to update" not in console, "the identify run went on to update")
    record = check_record(trip, step, {"state": "identified", "target": "07_23",
                                       "converter_oui": "0A1B2C", "bootloader": "2.0.1",
                                       "firmware_before": "0x07_0x22", "outcome": "identified"},
                          "0", request)
    trip.check("power_off_needed" not in record, "an identify run asks for a power-off")
    counts = simulator_counts(trip, 2)
    trip.check(counts.get("commands0") == "0" and counts.get("pagesCommitted0") == "0",
               f"the identify run reached the mailbox: {counts.get('commands0')} commands")


def check_update(trip, console, step, request, image):
    trip.check(BANNER in console, "the program did not run between the second and third boot")
    trip.check("Download success,Please shutdown to reset the system!" in console,
               "the update did not succeed")
    trip.check("Press any key" not in console, "the program held its screen")
    check_record(trip, step, {"state": "successful", "target": "07_23", "start": "boot",
                              "converter_oui": "0A1B2C", "bootloader": "2.0.1",
                              "firmware_before": "0x07_0x22", "outcome": "successful",
                              "power_off_needed": True}, "0", request)
    trip.check(trip.machine.read(f"{SIM}/flash-3.bin") == image,
               "the flash after the update differs from the image")
    trip.check(simulator_counts(trip, 3).get("firmwareWritten0") == "true",
               "the simulator did not take the image as whole")


def check_reset(trip, console, step):
    """A reboot without the program: nothing sent, the old firmware shows."""
    trip.check(console and BANNER not in console, "the program started again at the fourth boot")
    trip.check("convsim-dump: wrote simrec.txt" in console, "no dump at the fourth boot")
    counts = simulator_counts(trip, 4)
    want = {"pagesCommitted0": "0", "firmwareStart": "waits", "firmwareVersion0": "0x07_0x22"}
    for key, value in want.items():
        trip.check(counts.get(key) == value, f"boot 4: simulator {key} is {counts.get(key)!r}")
    record = trip.json_of(step)
    trip.check(record.get("state") == "successful", "the record did not stay successful")


def check_power_on(trip, console, step, request):
    """The new QEMU process: the converter starts 07_23; the update reads
    current and writes nothing. (The simulator, a Driver#### loaded before
    the console, says what it started only in its counts.)"""
    trip.check("Current FirmwareVer:0x07_0x23" in console, "the converter does not show 07_23")
    trip.check("The converter already runs this firmware." in console, "no 'already runs' line")
    trip.check("start to update" not in console, "the power-on run wrote to the converter")
    check_record(trip, step, {"state": "current", "target": "07_23",
                              "firmware_before": "0x07_0x23", "outcome": "current"}, "0", request)
    counts = simulator_counts(trip, 5)
    want = {"commands0": "0", "pagesCommitted0": "0", "firmwareStart": "started",
            "firmwareVersion0": "0x07_0x23", "firmwareWritten0": "false"}
    for key, value in want.items():
        trip.check(counts.get(key) == value, f"boot 5: simulator {key} is {counts.get(key)!r}")


def interrupted(args):
    """The simulator resets the machine in the middle of the pages: the
    program's first record (outcome=started) is what Linux finds."""
    trip = RoundTrip(args, "interrupted")
    files = disk_files(args.efi_dir, None, Path(args.efi_dir) / "pellory-testimage.efi")
    files["convsim.cfg"] = b"resetAfterPages = %d\n" % RESET_AFTER_PAGES
    steps = {1: ENTRIES + SCHEDULE, 2: LOOK + "rm /boot/efi/convsim.cfg\n"}
    result, got = trip.boot(steps, files)
    first, second = got.get(1), got.get(2)
    trip.check(first and step_value(first.body, "schedule-rc") == "0",
               "pelloryctl schedule failed")
    cut = trip.between(result, got, 1, 2)
    reset = "convsim: %d pages committed; resetting the machine" % RESET_AFTER_PAGES
    trip.check(reset in cut, "the simulator did not reset the machine")
    trip.check(cut.count(BANNER) == 1, "the program did not run exactly once")
    trip.check("Page:%02X" % (0x100 - RESET_AFTER_PAGES) in cut.split(reset)[0],
               "the pages before the reset are not in the console")
    trip.check("verifying" not in cut, "the run went on past the reset")
    record = trip.json_of(second)
    print("pelloryctl result --json after the reset:", json.dumps(record))
    trip.check(record.get("state") == "interrupted",
               f"state is {record.get('state')!r}, not interrupted")
    trip.check(record.get("outcome") == "started", "the record's outcome is not started")
    trip.check(record.get("request") == scheduled_id(first),
               "the record does not name the scheduled request")
    trip.check(second and step_value(second.body, "result-rc") == "1", "result did not exit 1")
    trip.check(second and "bootnext=set" not in second.body, "BootNext is left after the reset")
    trip.finish()


def untrusted_signature(program, out):
    """`program` signed with a key made here, which no db trusts:
    pelloryctl refuses it under Secure Boot, and so does the firmware."""
    with tempfile.TemporaryDirectory() as keys:
        key, cert = os.path.join(keys, "key.pem"), os.path.join(keys, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=Pellory test key no db trusts", "-keyout", key, "-out", cert],
                       check=True, stdin=subprocess.DEVNULL, capture_output=True)
        subprocess.run(["sh", str(TOOLS / "sign-efi.sh"), str(program), str(out), key, cert],
                       check=True, stdin=subprocess.DEVNULL)
    return out


def snakeoil_signed(unsigned, out):
    """`unsigned` signed with the key the snakeoil firmware's db trusts."""
    key = Path(out).with_suffix(".key")
    old_mask = os.umask(0o077)
    try:
        subprocess.run(["openssl", "pkey", "-in", SNAKEOIL_KEY, "-passin",
                        "pass:" + SNAKEOIL_PASSWORD, "-out", str(key)],
                       check=True, stdin=subprocess.DEVNULL)
        subprocess.run(["sh", str(TOOLS / "sign-efi.sh"), str(unsigned), str(out), str(key),
                        SNAKEOIL_CERT], check=True, stdin=subprocess.DEVNULL)
    finally:
        os.umask(old_mask)
        key.unlink(missing_ok=True)
    return out


def pending(args):
    """Secure Boot: pelloryctl refuses a program signed with a key the
    firmware does not trust, before anything changes; a trusted program is
    scheduled, and when its copy on the ESP is then replaced by the
    untrusted one (behind pelloryctl's back), the firmware refuses it at
    BootNext, Linux comes back and the request is still there."""
    trip = RoundTrip(args, "pending", SECURE)
    work = trip.machine.work
    kernel = snakeoil_signed(trip.kernel, work / "vmlinuz-snakeoil.efi")
    untrusted = untrusted_signature(Path(args.efi_dir) / "pellory-testimage.efi",
                                    work / "pellory-untrusted.efi")
    files = disk_files(args.efi_dir, args.signed_dir, Path(args.signed_dir) / "pellory-testimage.efi")
    files["incoming/untrusted.efi"] = str(untrusted)
    refused = ("pelloryctl schedule /boot/efi/incoming/untrusted.efi; echo untrusted-rc=$?\n"
               "[ -e /boot/efi/EFI/Pellory ] && echo copied=yes\n")
    replace = "cp /boot/efi/incoming/untrusted.efi /boot/efi/EFI/Pellory/pellory.efi && sync\n"
    # The shell is refused under Secure Boot: a first QEMU process boots the
    # signed kernel with -kernel, only to make the entries.
    steps = {1: ENTRIES, 2: "echo secureboot=$(tail -c1 /sys/firmware/efi/efivars/SecureBoot-* "
             "| od -An -tu1 | tr -d ' ')\n" + refused + SCHEDULE.replace("after reboot", replace + "after reboot"),
             3: LOOK}
    trip.machine.make_disk({**files, **{f"{linux.STEPS}/{n}.sh": t.encode()
                                        for n, t in steps.items()}}, kernel, trip.initrd)
    trip.machine.kernel = linux.kernel(kernel, trip.initrd)
    setup = trip.machine.boot(limit=BOOT_TIMEOUT)
    trip.machine.kernel = None
    trip.check([s.number for s in setup.steps] == [1], "the set-up boot did not run step 1 alone")
    result, got = trip.boot_again((2, 3))
    second, third = got.get(2), got.get(3)
    trip.check(second and step_value(second.body, "secureboot") == "1", "Secure Boot is not on")
    trip.check(second and "pelloryctl: /boot/efi/incoming/untrusted.efi is signed by CN=Pellory test key no db "
               "trusts, which neither db nor MOK trusts: the firmware would refuse it" in second.body,
               "pelloryctl did not refuse the untrusted program")
    trip.check(second and step_value(second.body, "untrusted-rc") == "3" and "copied=yes" not in second.body,
               "the refused schedule changed the machine")
    trip.check(second and step_value(second.body, "schedule-rc") == "0",
               "pelloryctl schedule failed")
    refused = trip.between(result, got, 2, 3)
    trip.check("Access Denied" in refused or "Security Violation" in refused,
               "the firmware did not refuse the program")
    trip.check(BANNER not in refused, "the refused program ran")
    record = trip.json_of(third)
    print("pelloryctl result --json after the refusal:", json.dumps(record))
    trip.check(record.get("state") == "pending", f"state is {record.get('state')!r}, not pending")
    trip.check(third and step_value(third.body, "result-rc") == "2", "result did not exit 2")
    counts = record_counts(trip.machine.read(f"{SIM}/simrec-3.txt") or b"")
    trip.check(counts.get("dpcdReads0") == "0", "the converter was reached")
    trip.finish()


@pytest.mark.parametrize("scenario", (successful, interrupted, pending),
                         ids=lambda scenario: scenario.__name__)
def test_roundtrip(scenario, efi_dir, image, pelloryctl, cache, work, signed_dir):
    scenario(SimpleNamespace(efi_dir=efi_dir, image=image, pelloryctl=pelloryctl, cache=cache,
                             work=work, signed_dir=signed_dir))
