#!/usr/bin/env python3
"""Boot one real-firmware run and return what it left behind.

QEMU boots OVMF with a FAT volume built by mtools. OVMF finds nothing
bootable on the volume and falls through to its built-in UEFI Shell, which
runs the volume's startup.nsh after a countdown; one key on the serial line
ends the countdown at once. The script is expected to end with `reset -s`,
which powers the guest off and makes QEMU exit. Afterwards the files the
caller asks for are read back from the volume with mtools.

A boot may also attach a disk image as a USB stick (`stick`), booted after
the volume: then the volume is expected to hold a loader as
\\EFI\\BOOT\\BOOTX64.EFI that the firmware boots first, and files are read
back from the stick's copy too. `firmware=SECURE` boots Debian's snakeoil
OVMF with Secure Boot enforced. Keys are sent on the serial line when given
texts appear (`keys`); by default one key ends the shell's countdown.

The boots that OVMF's own boot manager drives (a scheduled run, a network
boot) bring their own variable store (`vars_file`, used in place so the
caller reads it afterwards), may let a reset restart the firmware in the
same process (`reboot`: then only a power-off ends QEMU) and may add a NIC
that network-boots a TFTP folder's pellory.efi (`tftp`).

Used as a program (see --help) or as a module:

    import qemu_run
    result = qemu_run.run(files={"pellory.efi": path}, startup=script,
                          timeout=60, fetch=["log.txt"])
    section = result.section()      # text between ==BEGIN== and ==END==

Only the Python standard library is used.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import uuid
from dataclasses import dataclass, field
from pathlib import Path

# Re-exported: callers use the runner as the one module for boots.
from console_text import (BEGIN_MARKER, END_MARKER, MarkerMissing, Section,  # noqa: F401
                          clean, extract, lines, strip_escapes, visible)
from fat_volume import build_volume, list_files, read_file  # noqa: F401
from qemu_serial import (CONTINUE_KEY, KeyPress, SentKey, _drain, _Keys, _send_key,  # noqa: F401
                         end_process)

QEMU = "qemu-system-x86_64"
OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
# Debian's test-only key set: PK, KEK and db hold the snakeoil certificate.
# Secure Boot is enforced only with SMM and the flash marked secure.
SNAKEOIL_CODE = "/usr/share/OVMF/OVMF_CODE_4M.snakeoil.fd"
SNAKEOIL_VARS = "/usr/share/OVMF/OVMF_VARS_4M.snakeoil.fd"
SNAKEOIL_KEY = "/usr/share/ovmf/PkKek-1-snakeoil.key"
SNAKEOIL_CERT = "/usr/share/ovmf/PkKek-1-snakeoil.pem"
SNAKEOIL_PASSWORD = "snakeoil"

# The shell prints this while it counts down to startup.nsh (with colour
# escapes around "ESC", so it is looked for in the clean text); any key other
# than ESC ends the wait, ESC would skip the script.
COUNTDOWN_PROMPT = "Press ESC in"

SECURE = "secure"   # firmware= for a boot with Secure Boot enforced

# A network boot's NIC: a fixed slot and address, so its device path (and the
# boot option that names it) is the same in every run.
NETWORK_BOOTFILE = "pellory.efi"
NIC_SLOT = 0x3
NIC_MAC = "52:54:00:12:34:56"


def startup_script(*commands, volume="fs0:", setup=(), after=()):
    """The usual startup.nsh: no command echo, `setup` (for example loading a
    driver), the markers around `commands`, the status after them, `after`
    (for example reading a record back), then power off. Paths in the shell
    take backslashes."""
    return "\n".join(["@echo -off", volume, *setup, f"echo {BEGIN_MARKER}",
                      *commands, f"echo {END_MARKER} rc=%lasterror%",
                      *after, "reset -s", ""])


# ------------------------------------------------------------------- the boot

@dataclass
class Result:
    console_raw: bytes
    exit_code: int                 # QEMU's; None when it was killed
    wall_time: float               # seconds from QEMU's start to its end
    timed_out: bool = False
    keys_sent: list = field(default_factory=list)  # SentKey, in order
    fetched: dict = field(default_factory=dict)    # volume name -> bytes
    missing: list = field(default_factory=list)    # asked for, not on volume
    stick_fetched: dict = field(default_factory=dict)  # the same for the stick
    stick_missing: list = field(default_factory=list)
    stderr: str = ""
    # (seconds from QEMU's start, console bytes so far) after each read.
    arrivals: list = field(default_factory=list)

    @property
    def text(self):
        return clean(self.console_raw)

    @property
    def key_sent(self):
        """The first key went out (for a shell boot: the countdown was cut)."""
        return bool(self.keys_sent)

    def section(self, begin=BEGIN_MARKER, end=END_MARKER):
        return extract(self.text, begin, end)

    def arrival(self, text):
        """Seconds from QEMU's start until the serial line had delivered
        the first `text` (plain bytes, no escapes inside); None if never."""
        at = self.console_raw.find(text.encode("latin-1"))
        if at == -1:
            return None
        end = at + len(text)
        return next(seconds for seconds, size in self.arrivals if size >= end)


class BootTimeout(RuntimeError):
    def __init__(self, message, result):
        super().__init__(message)
        self.result = result


def firmware_files(firmware=None):
    """(code image, variable store template) for a boot."""
    if firmware == SECURE:
        return SNAKEOIL_CODE, SNAKEOIL_VARS
    return OVMF_CODE, OVMF_VARS


def power_on():
    """QEMU options that give this process's power-on a token of its own, as
    an SMBIOS OEM string: a reset inside the process keeps it, a new process
    brings another, and so the simulator tells a power-on from a reset
    (sim/power_cycle.h)."""
    return ["-smbios", "type=11,value=convsim-power-on=" + uuid.uuid4().hex]


def _network(tftp=None, guestfwd=(), tap=None):
    """OVMF's own PXE and HTTP boot drivers on a virtio NIC (no option ROM),
    QEMU's built-in DHCP, its TFTP serving `tftp`'s pellory.efi, and each
    `guestfwd` ("tcp:ADDRESS:PORT-cmd:COMMAND": a guest connection to that
    address runs COMMAND on its stdin/stdout); restrict=on keeps every other
    packet inside the QEMU process. With `tap` the NIC is that tap device
    instead, whose network (a namespace of the caller's) serves the boot."""
    nic = ["-device", f"virtio-net-pci,netdev=n,romfile=,addr={NIC_SLOT:#x},mac={NIC_MAC}"]
    if tap:
        return ["-netdev", f"tap,id=n,ifname={tap},script=no,downscript=no", *nic]
    options = ["user", "id=n", "restrict=on"]
    if tftp:
        options += [f"tftp={tftp}", f"bootfile={NETWORK_BOOTFILE}"]
    options += [f"guestfwd={forward}" for forward in guestfwd]
    return ["-netdev", ",".join(options), *nic]


def _qemu_command(image, vars_copy, memory_mib, qemu_args=(), firmware=None, stick=None,
                  reboot=False, tftp=None, guestfwd=(), tap=None):
    code = firmware_files(firmware)[0]
    machine = ["-machine", "q35"]
    if firmware == SECURE:
        machine = ["-machine", "q35,smm=on",
                   "-global", "driver=cfi.pflash01,property=secure,value=on"]
    # With a stick the volume is the first boot option and the stick the
    # second; without one the volume stays as the shell boots have it.
    disks = ["-drive", f"format=raw,file={image}"]
    if stick:
        disks = ["-drive", f"if=none,id=volume,format=raw,file={image}",
                 "-device", "ide-hd,drive=volume,bus=ide.0,bootindex=0",
                 "-device", "qemu-xhci,id=xhci",
                 "-drive", f"if=none,id=stick,format=raw,file={stick}",
                 "-device", "usb-storage,bus=xhci.0,drive=stick,bootindex=1"]
    # Without -no-reboot a reset restarts the firmware in the same process
    # (NVRAM kept) and only a power-off ends QEMU.
    return [QEMU, *qemu_args, *power_on(), *machine, "-accel", "tcg", "-m", str(memory_mib),
            "-display", "none", *([] if reboot else ["-no-reboot"]), "-nodefaults",
            "-serial", "stdio",
            "-drive", f"if=pflash,format=raw,readonly=on,file={code}",
            "-drive", f"if=pflash,format=raw,file={vars_copy}",
            *disks, *(_network(tftp, guestfwd, tap) if tftp or guestfwd or tap else [])]


def _timeout_message(result, timeout, startup):
    hint = ""
    if startup is not None and "reset -s" not in startup:
        hint = " (startup.nsh has no 'reset -s', so nothing powered the guest off)"
    return (f"QEMU did not finish within {timeout} s{hint}; "
            f"console so far:\n{result.text}")


def run(files=(), dirs=(), startup=None, timeout=120, fetch=(),
        console_out=None, keep_image=None, memory_mib=256, qemu_args=(),
        firmware=None, stick=None, stick_offset=0, stick_fetch=(), keys=None,
        keep_stick=None, vars_file=None, reboot=False, tftp=None, guestfwd=(), tap=None):
    """Boot once. `files` maps volume names to host paths or bytes; `fetch`
    lists volume names to read back, or maps them to host paths to copy them
    to; `qemu_args` go to QEMU before the machine's own. `stick` is a disk
    image attached, as a copy, as a USB stick; `stick_fetch` is read back
    from the FAT volume at byte `stick_offset` of that copy, and the copy is
    kept as `keep_stick` when given (a later boot may attach it). `keys` lists
    KeyPress entries (default: the shell's countdown key). `vars_file` is a
    variable store used in place (prepared by the caller, read by it after
    the boot) instead of a fresh copy of the template; `reboot` lets a reset
    restart the firmware in the same process, so that only a power-off ends
    QEMU; `tftp` adds a NIC that network-boots that folder's pellory.efi,
    `guestfwd` a NIC whose guest connections to an address run a command,
    `tap` a NIC on that tap device (see _network). Raises
    BootTimeout (carrying the Result) when `timeout` seconds pass before
    QEMU exits; the files are still fetched for the post-mortem."""
    if keys is None:
        keys = [KeyPress(COUNTDOWN_PROMPT)]
    with tempfile.TemporaryDirectory(prefix="qemu_run_") as work:
        image = os.path.join(work, "volume.img")
        vars_copy = os.path.join(work, "vars.fd")
        build_volume(image, files, dirs, startup)
        if vars_file:
            vars_copy = vars_file
        else:
            shutil.copyfile(firmware_files(firmware)[1], vars_copy)
        stick_copy = None
        if stick:
            stick_copy = os.path.join(work, "stick.img")
            shutil.copyfile(stick, stick_copy)
        command = _qemu_command(image, vars_copy, memory_mib, qemu_args,
                                firmware=firmware, stick=stick_copy,
                                **_boot_options(reboot, tftp, guestfwd, tap))

        sink = open(console_out, "wb") if console_out else None
        started = time.monotonic()
        pending = _Keys(keys, started)
        arrivals = []
        try:
            process = subprocess.Popen(
                command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE)
            try:
                console, errors, timed_out = _drain(
                    process, started + timeout, sink, pending, arrivals)
            finally:
                exit_code = end_process(process)
        finally:
            if sink:
                sink.close()

        result = Result(bytes(console), None if timed_out else exit_code,
                        time.monotonic() - started, timed_out, pending.sent,
                        stderr=errors.decode("utf-8", "replace"), arrivals=arrivals)
        result.fetched, result.missing = _fetch(image, fetch)
        if stick_copy:
            result.stick_fetched, result.stick_missing = _fetch(
                f"{stick_copy}@@{stick_offset}", stick_fetch)
        if keep_image:
            shutil.copyfile(image, keep_image)
        if keep_stick and stick_copy:
            shutil.copyfile(stick_copy, keep_stick)
    if timed_out:
        raise BootTimeout(_timeout_message(result, timeout, startup), result)
    return result


def _boot_options(reboot, tftp, guestfwd=(), tap=None):
    """The machine options a caller asked for; none for the usual boots, so
    that a stand-in command needs to know only the options it is given."""
    options = {}
    if reboot:
        options["reboot"] = True
    if tftp:
        options["tftp"] = str(tftp)
    if guestfwd:
        options["guestfwd"] = tuple(guestfwd)
    if tap:
        options["tap"] = tap
    return options


def _fetch(image, fetch):
    """({name: bytes}, [names not there]); `image` may be mtools' IMG@@OFFSET."""
    fetched, missing = {}, []
    targets = fetch.items() if hasattr(fetch, "items") else ((n, None) for n in fetch)
    for name, dest in targets:
        content = read_file(image, name)
        if content is None:
            missing.append(name)
            continue
        fetched[name] = content
        if dest:
            Path(dest).write_bytes(content)
    return fetched, missing


# ------------------------------------------------------------------------ CLI

def _name_value(text):
    name, sep, value = text.partition("=")
    if not sep or not name or not value:
        raise argparse.ArgumentTypeError(f"expected NAME=PATH, got {text!r}")
    return name, value


def _parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Boot OVMF's UEFI Shell in QEMU on a FAT volume and "
                    "run its startup.nsh.")
    parser.add_argument("--file", action="append", type=_name_value, default=[],
                        metavar="NAME=PATH", help="copy PATH to NAME on the volume")
    parser.add_argument("--dir", action="append", default=[], metavar="NAME",
                        help="create an empty directory on the volume")
    parser.add_argument("--startup", required=True, metavar="TEXT|@FILE",
                        help="startup.nsh text (several lines), or a one-line @FILE "
                        "to read it from FILE")
    parser.add_argument("--timeout", type=float, default=120, metavar="SECONDS",
                        help="hard limit for the whole boot (default 120)")
    parser.add_argument("--console-out", metavar="PATH",
                        help="write the raw serial capture to PATH")
    parser.add_argument("--fetch", action="append", type=_name_value, default=[],
                        metavar="NAME=DEST", help="after the run copy NAME to DEST")
    parser.add_argument("--keep-image", metavar="PATH",
                        help="keep the volume image after the run")
    parser.add_argument("--show", choices=("all", "section", "none"),
                        default="all", help="print the clean console, only the "
                        "part between the markers, or nothing (default all)")
    return parser.parse_args(argv)


def startup_argument(text):
    """--startup's value as script text. Scripts themselves start with
    "@echo -off", so only a one-line "@PATH" names a file."""
    if text.startswith("@") and "\n" not in text:
        return Path(text[1:]).read_text()
    return text


def main(argv=None):
    args = _parse_args(argv)
    startup = startup_argument(args.startup)
    try:
        result = run(files=args.file, dirs=args.dir, startup=startup,
                     timeout=args.timeout, fetch=dict(args.fetch),
                     console_out=args.console_out, keep_image=args.keep_image)
    except BootTimeout as failure:
        print(failure, file=sys.stderr)
        return 124
    if args.show == "all":
        sys.stdout.write(result.text)
    elif args.show == "section":
        try:
            sys.stdout.write(result.section().body)
        except MarkerMissing as failure:
            print(failure, file=sys.stderr)
            return 1
    sys.stdout.flush()
    for name in result.missing:
        print(f"note: {name} is not on the volume", file=sys.stderr)
    if result.exit_code != 0:
        print(f"QEMU exited with {result.exit_code}: {result.stderr.strip()}",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
