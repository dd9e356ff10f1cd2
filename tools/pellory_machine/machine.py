"""One QEMU machine built from parts, booted and looked at afterwards.

The parts: the firmware (OVMF, or Debian's snakeoil OVMF with Secure Boot
enforced) and its variable store, a FAT volume built by mtools as the first
disk, a disk image as a USB stick behind it, a system disk on virtio-blk
(the Linux guests', pellory_machine.linux), a kernel QEMU starts itself, a
network card, and the QEMU options of the caller's own (an SMBIOS table,
say). A boot sends keys on the serial line when given texts appear and
waits for QEMU to end, within a limit; the parts stay in the machine's
folder until it is closed (or for good, in a folder of the caller's), for
the caller to read back.

With no bootable file on the volume OVMF falls through to its built-in UEFI
Shell, which runs the volume's startup.nsh after a countdown; the default
keys end the countdown at once. A script is expected to end with `reset -s`,
which powers the guest off and makes QEMU exit. With a stick the volume is
expected to hold a loader as \\EFI\\BOOT\\BOOTX64.EFI that the firmware
boots first.

    with Machine() as machine:
        machine.add_volume({"pellory.efi": path}, startup=script)
        result = machine.boot(limit=60)
        section = result.section()       # text between ==BEGIN== and ==END==
        log = machine.read("log.txt")

Only the Python standard library is used.
"""

import os
import shutil
import subprocess
import tempfile
import time
import uuid
from dataclasses import dataclass, field

from . import stick as stick_image
from .console import BEGIN_MARKER, END_MARKER, MarkerMissing, clean, extract
from .serial import KeyPress, Keys, drain, end_process
from .volume import build_volume, list_files, read_file

QEMU = "qemu-system-x86_64"

# The shell prints this while it counts down to startup.nsh (with colour
# escapes around "ESC", so it is looked for in the clean text); any key other
# than ESC ends the wait, ESC would skip the script.
COUNTDOWN_PROMPT = "Press ESC in"
SHELL_KEYS = (KeyPress(COUNTDOWN_PROMPT),)


@dataclass(frozen=True)
class Firmware:
    code: str             # the flash image QEMU maps read-only
    vars_template: str    # the variable store a fresh machine starts with
    secure: bool = False  # Secure Boot enforced: needs SMM and the flash marked secure

    def machine_options(self):
        if self.secure:
            return ["-machine", "q35,smm=on",
                    "-global", "driver=cfi.pflash01,property=secure,value=on"]
        return ["-machine", "q35"]


PLAIN = Firmware("/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd")
# Debian's test-only key set: PK, KEK and db hold the snakeoil certificate.
SECURE = Firmware("/usr/share/OVMF/OVMF_CODE_4M.snakeoil.fd",
                  "/usr/share/OVMF/OVMF_VARS_4M.snakeoil.fd", secure=True)
# As a retail PC ships: Secure Boot enforced, db trusting Microsoft's UEFI CA
# (which signs the distributions' shim) and Windows' PCA; PK and KEK
# Debian's and Microsoft's.
RETAIL = Firmware("/usr/share/OVMF/OVMF_CODE_4M.secboot.fd",
                  "/usr/share/OVMF/OVMF_VARS_4M.ms.fd", secure=True)
SNAKEOIL_KEY = "/usr/share/ovmf/PkKek-1-snakeoil.key"
SNAKEOIL_CERT = "/usr/share/ovmf/PkKek-1-snakeoil.pem"
SNAKEOIL_PASSWORD = "snakeoil"

# A network boot's NIC: a fixed slot and address, so its device path (and the
# boot option that names it) is the same in every run.
NETWORK_BOOTFILE = "pellory.efi"
NIC_SLOT = 0x3
NIC_MAC = "52:54:00:12:34:56"


@dataclass(frozen=True)
class Nic:
    """OVMF's own PXE and HTTP boot drivers on a virtio NIC (no option ROM),
    QEMU's built-in DHCP, its TFTP serving `tftp`'s pellory.efi, and each
    `guestfwd` ("tcp:ADDRESS:PORT-cmd:COMMAND": a guest connection to that
    address runs COMMAND on its stdin/stdout); restrict=on keeps every other
    packet inside the QEMU process. With `tap` the NIC is that tap device
    instead, whose network (a namespace of the caller's) serves the boot."""
    tftp: str = None
    guestfwd: tuple = ()
    tap: str = None

    def qemu_options(self):
        nic = ["-device", f"virtio-net-pci,netdev=n,romfile=,addr={NIC_SLOT:#x},mac={NIC_MAC}"]
        if self.tap:
            return ["-netdev", f"tap,id=n,ifname={self.tap},script=no,downscript=no", *nic]
        options = ["user", "id=n", "restrict=on"]
        if self.tftp:
            options += [f"tftp={self.tftp}", f"bootfile={NETWORK_BOOTFILE}"]
        options += [f"guestfwd={forward}" for forward in self.guestfwd]
        return ["-netdev", ",".join(options), *nic]


@dataclass(frozen=True)
class Kernel:
    """A kernel QEMU starts itself (-kernel), before the firmware looks at
    its boot entries: the way to a first boot where the shell can not run
    (Secure Boot), for the boots it is a part of."""
    image: str
    initrd: str
    append: str

    def qemu_options(self):
        return ["-kernel", str(self.image), "-initrd", str(self.initrd), "-append", self.append]


def power_on():
    """QEMU options that give this process's power-on a token of its own, as
    an SMBIOS OEM string: a reset inside the process keeps it, a new process
    brings another, and so the simulator tells a power-on from a reset
    (sim/power_cycle.h)."""
    return ["-smbios", "type=11,value=convsim-power-on=" + uuid.uuid4().hex]


def startup_script(*commands, volume="fs0:", setup=(), after=()):
    """The usual startup.nsh: no command echo, `setup` (for example loading a
    driver), the markers around `commands`, the status after them, `after`
    (for example reading a record back), then power off. Paths in the shell
    take backslashes."""
    return "\n".join(["@echo -off", volume, *setup, f"echo {BEGIN_MARKER}",
                      *commands, f"echo {END_MARKER} rc=%lasterror%",
                      *after, "reset -s", ""])


@dataclass
class Result:
    console_raw: bytes
    exit_code: int                 # QEMU's; None when it was killed
    wall_time: float               # seconds from QEMU's start to its end
    timed_out: bool = False
    keys_sent: list = field(default_factory=list)  # SentKey, in order
    stderr: str = ""
    # (seconds from QEMU's start, console bytes so far) after each read.
    arrivals: list = field(default_factory=list)

    @property
    def text(self):
        return clean(self.console_raw)

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


class BootFailed(RuntimeError):
    """A boot that did not end by itself; carries its Result."""

    def __init__(self, message, result):
        super().__init__(message)
        self.result = result


class BootTimeout(BootFailed):
    """The limit passed before QEMU ended."""


class BootStopped(BootFailed):
    """The console showed a text after which the boot can not end well."""


class Machine:
    """The parts of one machine, in a folder of its own (removed on close),
    or in `folder`, which stays. `firmware` is PLAIN or SECURE; `nic` a Nic
    or None; `kernel` a Kernel or None; `reboot` lets a reset restart the
    firmware in the same process (NVRAM kept), so that only a power-off
    ends QEMU; `qemu_args` go to QEMU after the machine's own options."""

    def __init__(self, firmware=PLAIN, nic=None, reboot=False, qemu_args=(), memory_mib=256,
                 folder=None, kernel=None):
        self.firmware, self.nic, self.reboot, self.kernel = firmware, nic, reboot, kernel
        self.qemu_args, self.memory_mib = tuple(qemu_args), memory_mib
        self.kept = folder is not None
        if self.kept:
            os.makedirs(folder, exist_ok=True)
            self.folder = str(folder)
        else:
            self.folder = tempfile.mkdtemp(prefix="pellory_machine_")
        # The variable store, a copy of the template: the caller may write
        # variables into it before a boot and reads it after one.
        self.vars = os.path.join(self.folder, "vars.fd")
        shutil.copyfile(firmware.vars_template, self.vars)
        self.volume = None
        self.stick = None
        self.startup = None
        # The system disk, a GPT disk image, and where its EFI System
        # Partition starts.
        self.disk = None
        self.esp_offset = stick_image.ESP_OFFSET

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if not self.kept:
            shutil.rmtree(self.folder, ignore_errors=True)

    def add_volume(self, files=(), dirs=(), startup=None):
        """The first disk: a fresh FAT volume holding `files` (name -> host
        path or bytes), the empty `dirs` and `startup` as startup.nsh."""
        self.volume = os.path.join(self.folder, "volume.img")
        self.startup = startup
        build_volume(self.volume, files, dirs, startup)

    def add_stick(self, image):
        """A copy of the disk image `image` as a USB stick, booted after the
        volume; its EFI System Partition is where the stick builder puts it."""
        self.stick = os.path.join(self.folder, "stick.img")
        shutil.copyfile(image, self.stick)

    def add_disk(self, esp_offset=stick_image.ESP_OFFSET):
        """The system disk's place (disk.img in the machine's folder, which
        the caller fills) and its EFI System Partition's offset."""
        self.disk = os.path.join(self.folder, "disk.img")
        self.esp_offset = esp_offset
        return self.disk

    @property
    def esp(self):
        """The system disk's EFI System Partition, as mtools names it."""
        return f"{self.disk}@@{self.esp_offset}"

    def read(self, name):
        """A file's bytes from the volume (on a machine with only a system
        disk, from its EFI System Partition), or None when it is not there."""
        return read_file(self.volume or self.esp, name)

    def read_stick(self, name):
        return read_file(f"{self.stick}@@{stick_image.ESP_OFFSET}", name)

    def files(self):
        """Every file on the volume, as names with forward slashes."""
        return list_files(self.volume)

    def _disks(self):
        # With a stick the volume is the first boot option and the stick the
        # second; without one the volume stays as the shell boots have it.
        disks = []
        if self.volume and self.stick:
            disks = ["-drive", f"if=none,id=volume,format=raw,file={self.volume}",
                     "-device", "ide-hd,drive=volume,bus=ide.0,bootindex=0",
                     "-device", "qemu-xhci,id=xhci",
                     "-drive", f"if=none,id=stick,format=raw,file={self.stick}",
                     "-device", "usb-storage,bus=xhci.0,drive=stick,bootindex=1"]
        elif self.volume:
            disks = ["-drive", f"format=raw,file={self.volume}"]
        if self.disk:
            disks += ["-drive", f"if=none,id=esp,format=raw,cache=unsafe,file={self.disk}",
                      "-device", "virtio-blk-pci,drive=esp"]
        return disks

    def command(self):
        # Without -no-reboot a reset restarts the firmware in the same process
        # (NVRAM kept) and only a power-off ends QEMU.
        return [QEMU, *self.firmware.machine_options(),
                "-accel", "tcg", "-m", str(self.memory_mib), "-display", "none",
                *([] if self.reboot else ["-no-reboot"]), "-nodefaults", "-serial", "stdio",
                "-drive", f"if=pflash,format=raw,readonly=on,file={self.firmware.code}",
                "-drive", f"if=pflash,format=raw,file={self.vars}",
                *self._disks(), *(self.nic.qemu_options() if self.nic else []),
                *power_on(), *self.qemu_args,
                *(self.kernel.qemu_options() if self.kernel else [])]

    def boot(self, keys=SHELL_KEYS, limit=120, console_out=None, fatal=()):
        """Start QEMU, send `keys` (KeyPress entries) as their texts appear,
        and wait until it ends. Raises BootTimeout (carrying the Result) when
        `limit` seconds pass first, and BootStopped when one of the `fatal`
        texts showed (QEMU is stopped at once); the parts stay for the
        post-mortem. `console_out` receives the raw serial capture as it
        arrives."""
        if self.volume is None and self.disk is None:
            self.add_volume()
        sink = open(console_out, "wb") if console_out else None
        started = time.monotonic()
        pending = Keys(keys, started, fatal)
        arrivals = []
        try:
            process = subprocess.Popen(self.command(), stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                console, errors, timed_out = drain(process, started + limit, sink, pending,
                                                   arrivals)
            finally:
                exit_code = end_process(process)
        finally:
            if sink:
                sink.close()
        result = Result(bytes(console), None if timed_out else exit_code,
                        time.monotonic() - started, timed_out, pending.sent,
                        stderr=errors.decode("utf-8", "replace"), arrivals=arrivals)
        if timed_out:
            hint = ""
            if self.startup is not None and "reset -s" not in self.startup:
                hint = " (startup.nsh has no 'reset -s', so nothing powered the guest off)"
            raise BootTimeout(f"QEMU did not finish within {limit} s{hint}; "
                              f"console so far:\n{result.text}", result)
        if pending.stopped_by:
            raise BootStopped(f"stopped on {pending.stopped_by!r}; console:\n{result.text}",
                              result)
        return result
