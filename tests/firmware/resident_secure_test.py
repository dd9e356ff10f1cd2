"""The identification driver under enforced Secure Boot (Debian's snakeoil
OVMF), in the busybox Linux guest: a signed driver that `pelloryctl driver
install` put in place is loaded by the firmware and leaves its reading;
pelloryctl refuses to install an unsigned one; and an unsigned one put in
its place by hand is refused by the firmware itself, so the next boot has
no reading while the driver is still installed. The shell is refused
under Secure Boot: a first QEMU process boots the signed kernel with
-kernel to make the entries and install the driver; a second one boots
twice from the entries.
"""
from pathlib import Path
from types import SimpleNamespace

from expect import INCOMING, SIM
from linux_roundtrip_test import BOOT_TIMEOUT, ENTRIES, RoundTrip, record_counts, snakeoil_signed, step_value
from pellory_machine import linux
from pellory_machine.machine import SECURE

SIGNED = "incoming/identify-signed.efi"
UNSIGNED = "incoming/identify-unsigned.efi"
INSTALLED = "/boot/efi/EFI/Pellory/pellory-identify.efi"
STATUS = r"""pelloryctl status --json > /tmp/status.json
echo "status-rc=$?"
echo "JSON $(cat /tmp/status.json)"
pelloryctl status
"""
STEPS = {
    1: ENTRIES + f"pelloryctl driver install /boot/efi/{SIGNED}\necho install-rc=$?\n",
    2: "echo secureboot=$(tail -c1 /sys/firmware/efi/efivars/SecureBoot-* | od -An -tu1 | tr -d ' ')\n"
       + STATUS + f"cp /boot/efi/{SIM}/simrec.txt /boot/efi/{SIM}/simrec-2.txt\n"
       + f"pelloryctl driver install /boot/efi/{UNSIGNED}\necho unsigned-rc=$?\n"
       + f"cp /boot/efi/{UNSIGNED} {INSTALLED} && sync\nafter reboot\n",
    3: STATUS,
}


def test_secure_boot(efi_dir, image, pelloryctl, cache, work, signed_dir):
    args = SimpleNamespace(efi_dir=efi_dir, image=image, pelloryctl=pelloryctl, cache=cache,
                           work=work, signed_dir=signed_dir)
    trip = RoundTrip(args, "resident-secure", SECURE)
    kernel = snakeoil_signed(trip.kernel, trip.machine.work / "vmlinuz-snakeoil.efi")
    files = {f"{SIM}/convsim.efi": str(Path(signed_dir) / "convsim.efi"),
             f"{SIM}/convsim-dump.efi": str(Path(signed_dir) / "convsim-dump.efi"),
             INCOMING: str(Path(signed_dir) / "pellory-testimage.efi"),
             SIGNED: str(Path(signed_dir) / "pellory-identify.efi"),
             UNSIGNED: str(Path(efi_dir) / "pellory-identify.efi"),
             **{f"{linux.STEPS}/{n}.sh": t.encode() for n, t in STEPS.items()}}
    trip.machine.make_disk(files, kernel, trip.initrd)
    trip.machine.kernel = linux.kernel(kernel, trip.initrd)
    setup = trip.machine.boot(limit=BOOT_TIMEOUT)
    trip.machine.kernel = None
    first = next((s for s in setup.steps if s.number == 1), None)
    print(first.body if first else setup.text[-3000:])
    trip.check(first and step_value(first.body, "install-rc") == "0", "pelloryctl driver install failed")
    result, got = trip.boot_again((2, 3))
    second, third = got.get(2), got.get(3)
    trip.check(second and step_value(second.body, "secureboot") == "1", "Secure Boot is not on")
    signed = trip.json_of(second)
    trip.check(second and step_value(second.body, "status-rc") == "0", "status did not exit 0")
    for key, value in (("state", "seen"), ("port", "0"), ("vendor_block", "0x500"),
                       ("converter_oui", "0A1B2C"), ("bootloader", "2.0.1"), ("firmware", "0x07_0x22")):
        trip.check(signed.get(key) == value, f"the signed driver's reading: {key} is {signed.get(key)!r}")
    trip.check(second and step_value(second.body, "unsigned-rc") == "3",
               "pelloryctl installed an unsigned driver under Secure Boot")
    refused = trip.json_of(third)
    trip.check(refused.get("state") == "absent", f"after the unsigned driver: state {refused.get('state')!r}")
    trip.check("pellory-identify.efi" in refused.get("driver", ""), "the driver is no longer installed")
    trip.check(third and step_value(third.body, "status-rc") == "3", "status did not exit 3")
    # The simulator, dumped ahead of Linux at each boot: the signed driver
    # read it and wrote nothing; the refused one never reached it.
    read, untouched = (record_counts(trip.machine.read(f"{SIM}/{name}") or b"")
                       for name in ("simrec-2.txt", "simrec.txt"))
    for name, counts, want in (("boot 2", read, ("7", "0", "0")), ("boot 3", untouched, ("0", "0", "0"))):
        got = tuple(counts.get(k) for k in ("dpcdReads0", "dpcdWrites0", "i2cWrites0"))
        trip.check(got == want, f"{name}: the converter saw DPCD reads, DPCD writes, I2C writes {got}")
    trip.finish()
