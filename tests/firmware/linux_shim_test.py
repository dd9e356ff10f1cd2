"""Secure Boot as a retail PC has it, on the Debian guest (tools/debian_guest.py)
booting through Debian's Microsoft-signed shim, Debian's signed GRUB and
Debian's signed kernel under OVMF_CODE_4M.secboot.fd, enforced. The
variable store is Debian's OVMF_VARS_4M.ms.fd, whose db trusts Microsoft's
UEFI CA, with the test's own keys written into it before the first boot:

- a db key, which signs the simulator's images (so the firmware loads them)
  and one copy of the program;
- a MOK key, in MokList with the attributes shim's enrollment leaves
  (boot-service access only), which signs the program that updates;
- a third key, in no list, which signs a third copy;
- in dbx, the digest of a fourth copy (signed with the MOK key, its COFF
  time stamp changed so that its digest is its own).

One QEMU process, two boots of Linux:
1. pelloryctl's package installed with dpkg; the refused programs (third key, dbx) leave the machine as it was, each
   with its one line; the db-signed one gets the direct entry; the MOK one
   the entry that starts shim, as the printout says; reboot;
2. BootNext starts shim, shim the program (checked against MokList), the
   update runs and hands the boot back (after=return), Linux comes up
   again through shim and reads the record; log.txt and history.csv lie
   beside the program in \\EFI\\Pellory\\.
"""
import json
import os
import re
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

import debian_guest
from expect import HISTORY_HEADER, INCOMING, SIM, SIM_ENTRIES, disk_files
from pellory_machine import linux, ovmf_vars
from pellory_machine.machine import RETAIL

TOOLS = Path(__file__).resolve().parents[2] / "tools"
BOOT_TIMEOUT = 900
KEYS = {"db": "Pellory test simulator db key", "mok": "Pellory test MOK key",
        "third": "Pellory test third key"}
PROGRAMS = "incoming"
# Each refused schedule is bracketed by the machine's state: every
# variable's bytes and every file pelloryctl could touch.
STATE = ("state() { cat /sys/firmware/efi/efivars/* 2>/dev/null | md5sum; "
         "find /boot/efi/EFI /var/lib/pellory 2>/dev/null | sort | md5sum; }\n")
TRY = """echo "state-before-{name}=$(state | tr -d ' \\n-')"
pelloryctl schedule /boot/efi/{programs}/{name}.efi; echo "{name}-rc=$?"
echo "state-after-{name}=$(state | tr -d ' \\n-')"
"""
# pelloryctl as `make deb` packages it, installed by dpkg (its libraries
# are the guest's own).
INSTALL = f"dpkg -i /boot/efi/{PROGRAMS}/pelloryctl.deb >/dev/null || echo 'dpkg failed'\n"
FIRST = INSTALL + SIM_ENTRIES + STATE + "".join(TRY.format(name=n, programs=PROGRAMS) for n in ("third", "dbx")) + f"""
pelloryctl schedule /boot/efi/{PROGRAMS}/db.efi; echo "db-rc=$?"
efibootmgr -v | grep 'Pellory firmware update' | sed 's/^/db-entry /'
echo "INSPECT $(pelloryctl inspect /boot/efi/{INCOMING} --json)"
pelloryctl schedule /boot/efi/{INCOMING}; echo "schedule-rc=$?"
efibootmgr -v | grep 'Pellory firmware update' | sed 's/^/mok-entry /'
after reboot
"""
SECOND = """echo "JSON $(pelloryctl result --json)"
[ -e /sys/firmware/efi/efivars/BootNext-8be4df61-93ca-11d2-aa0d-00e098032b8c ] && echo bootnext=set
[ -e /sys/firmware/efi/efivars/PelloryRequest-be057045-d74a-4ebf-9efa-596b51b4c99b ] && echo request=left
echo "log=$(cat /boot/efi/EFI/Pellory/log.txt)"
sed 's/^/history /' /boot/efi/EFI/Pellory/history.csv
mokutil --sb-state
cp /boot/efi/EFI/convsim/flash0.bin /boot/efi/EFI/convsim/flash-2.bin
"""


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdin=subprocess.DEVNULL, capture_output=True)


def make_keys(folder):
    """key.pem, cert.pem and cert.der of each test key, made here."""
    for name, subject in KEYS.items():
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN={subject}",
                "-keyout", str(folder / f"{name}.key"), "-out", str(folder / f"{name}.pem"))
        openssl("x509", "-in", str(folder / f"{name}.pem"), "-outform", "DER", "-out", str(folder / f"{name}.der"))


def sign(folder, key, unsigned, out):
    """The build's own signing step with one of the test keys."""
    subprocess.run(["sh", str(TOOLS / "sign-efi.sh"), str(unsigned), str(out), str(folder / f"{key}.key"),
                    str(folder / f"{key}.pem")], check=True, stdin=subprocess.DEVNULL, capture_output=True)
    return out


def restamped(program, out):
    """The program with another COFF time stamp: the same program, a digest
    of its own."""
    data = bytearray(Path(program).read_bytes())
    pe = int.from_bytes(data[0x3C:0x40], "little")
    data[pe + 8:pe + 12] = (1).to_bytes(4, "little")
    Path(out).write_bytes(data)
    return out


def signed_digest(signed):
    """The Authenticode SHA-256 that sbsign signed: the first 32-byte
    OCTET STRING of the signature (SpcIndirectDataContent's digest)."""
    with tempfile.TemporaryDirectory() as scratch:
        p7 = os.path.join(scratch, "sig.p7")
        subprocess.run(["sbattach", "--detach", p7, str(signed)], check=True, capture_output=True)
        dump = subprocess.run(["openssl", "asn1parse", "-inform", "DER", "-in", p7], check=True,
                              capture_output=True, text=True).stdout
    return bytes.fromhex(re.search(r"l=  32 prim: OCTET STRING\s+\[HEX DUMP\]:([0-9A-F]{64})", dump).group(1))


def prepare(work, efi_dir):
    """The keys, the signed images and the ESP's extra files."""
    keys = work / "keys"
    keys.mkdir(parents=True, exist_ok=True)
    make_keys(keys)
    signed = work / "signed"
    signed.mkdir(exist_ok=True)
    for image in ("convsim", "convsim-dump"):
        sign(keys, "db", Path(efi_dir) / f"{image}.efi", signed / f"{image}.efi")
    program = Path(efi_dir) / "pellory-testimage.efi"
    mok = sign(keys, "mok", program, signed / "pellory-mok.efi")
    dbx = sign(keys, "mok", restamped(program, signed / "restamped.efi"), signed / "pellory-dbx.efi")
    files = {**disk_files(efi_dir, signed, mok),
             f"{PROGRAMS}/db.efi": str(sign(keys, "db", program, signed / "pellory-db.efi")),
             f"{PROGRAMS}/third.efi": str(sign(keys, "third", program, signed / "pellory-third.efi")),
             f"{PROGRAMS}/dbx.efi": str(dbx)}
    return keys, files, signed_digest(dbx)


def write_keys(machine, keys, forbidden):
    """db gains the simulator's key, dbx the digest, MokList the MOK key."""
    store = ovmf_vars.VarStore.load(machine.vars)
    def certificate(name):
        return ovmf_vars.signature_list(ovmf_vars.CERT_X509, [(keys / f"{name}.der").read_bytes()])
    authenticated = 0x27   # NV, BS, RT, time-based authenticated writes
    ovmf_vars.add_signatures(store, "db", ovmf_vars.IMAGE_SECURITY_GUID, [certificate("db")], authenticated)
    ovmf_vars.add_signatures(store, "dbx", ovmf_vars.IMAGE_SECURITY_GUID,
                             [ovmf_vars.signature_list(ovmf_vars.CERT_SHA256, [forbidden])], authenticated)
    ovmf_vars.add_signatures(store, "MokList", ovmf_vars.SHIM_GUID, [certificate("mok")], ovmf_vars.NV_BS)
    store.save(machine.vars)


def value(body, key):
    for line in body.splitlines():
        if line.strip().startswith(key):
            return line.strip()[len(key):]
    return None


def check_first(step, failures):
    body = step.body if step else ""
    print(body)
    refusals = {"third": " is signed by CN=Pellory test third key, which neither db nor MOK trusts: "
                         "the firmware would refuse it",
                "dbx": " is signed by CN=Pellory test MOK key, whose digest dbx forbids: the firmware would refuse it"}
    for name, says in refusals.items():
        line = f"pelloryctl: /boot/efi/{PROGRAMS}/{name}.efi{says}"
        if line not in body or value(body, f"{name}-rc=") != "3":
            failures.append(f"{name}: not refused with {line!r}")
        if value(body, f"state-before-{name}=") != value(body, f"state-after-{name}=") or \
                not value(body, f"state-after-{name}="):
            failures.append(f"{name}: the refused schedule changed the machine")
    if value(body, "db-rc=") != "0" or "-> \\EFI\\Pellory\\pellory.efi on /boot/efi (BootNext" not in body:
        failures.append("the db-signed program did not get the direct entry")
    if "/File(\\EFI\\Pellory\\pellory.efi)" not in (value(body, "db-entry ") or ""):
        failures.append("the direct entry does not start the program")
    inspected = json.loads(value(body, "INSPECT ") or "{}")
    if inspected.get("trusted_by") != "mok":
        failures.append(f"inspect: trusted_by {inspected.get('trusted_by')!r}")
    through = ("-> \\EFI\\debian\\shimx64.efi \\EFI\\Pellory\\pellory.efi "
               "(through shim: MOK trusts CN=Pellory test MOK key) on /boot/efi (BootNext, not in BootOrder)")
    if value(body, "schedule-rc=") != "0" or through not in body:
        failures.append("schedule did not choose shim")
    if "/File(\\EFI\\debian\\shimx64.efi)" not in (value(body, "mok-entry ") or ""):
        failures.append("the entry does not start shim")


def check_second(machine, step, scheduled, console, image, failures):
    body = step.body if step else ""
    print(body)
    record = json.loads(value(body, "JSON ") or "{}")
    for key, want in (("state", "successful"), ("start", "boot"), ("outcome", "successful")):
        if record.get(key) != want:
            failures.append(f"result {key} is {record.get(key)!r}, not {want!r}")
    if "bootnext=set" in body or "request=left" in body:
        failures.append("BootNext or the request is left after the run")
    if record.get("request") != scheduled:
        failures.append(f"the record names request {record.get('request')!r}, not {scheduled!r}")
    if value(body, "log=") != "successful":
        failures.append(f"log.txt beside the program says {value(body, 'log=')!r}")
    history = [line[len("history "):] for line in body.splitlines() if line.startswith("history ")]
    if len(history) != 2 or history[0].strip() != HISTORY_HEADER or not history[1].strip().endswith(",successful"):
        failures.append(f"history.csv beside the program: {history}")
    if machine.read(f"{SIM}/flash-2.bin") != image:
        failures.append("the converter's flash is not the image")
    for want in ("\\EFI\\debian\\shimx64.efi", "Pellory Version:0.4", "Download success"):
        if want not in console:
            failures.append(f"no {want!r} between the boots")


def test_shim(efi_dir, image, deb, cache, work):
    work = Path(work)
    work.mkdir(parents=True, exist_ok=True)
    guest = debian_guest.build(cache)
    keys, files, forbidden = prepare(work, efi_dir)
    machine = linux.Machine(work / "guest", firmware=RETAIL)
    files[f"{PROGRAMS}/pelloryctl.deb"] = str(Path(deb).resolve())
    machine.copy_guest_disk(guest, {**files, f"{linux.STEPS}/1.sh": FIRST.encode(),
                                    f"{linux.STEPS}/2.sh": SECOND.encode()})
    write_keys(machine, keys, forbidden)
    started = time.monotonic()
    result = machine.boot(limit=BOOT_TIMEOUT, console_out=work / "console.txt")
    steps = {s.number: s for s in result.steps}
    failures = []
    check_first(steps.get(1), failures)
    between = result.text[steps[1].end:steps[2].begin] if 1 in steps and 2 in steps else ""
    print("The firmware's and shim's lines between the boots:")
    for line in between.splitlines():
        if re.search(r"BdsDxe|shim|start_image|Pellory|Download|Aborted|Verification|SBAT|sbat", line):
            print("   ", line.strip())
    ids = re.findall(r"^Request: (\S+)", steps[1].body if 1 in steps else "", re.M)
    check_second(machine, steps.get(2), ids[-1] if ids else None, between, image, failures)
    print(f"QEMU ran {result.wall_time:.1f} s (whole test {time.monotonic() - started:.1f} s)")
    if failures:
        pytest.fail("\n".join(failures) + "\n---- console ----\n" + result.text[-8000:], pytrace=False)
