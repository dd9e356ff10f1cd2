"""Boots of the Linux test guest under OVMF, on one machine whose NVRAM
lives on: a GPT disk with one EFI System Partition (the service stick's
writer) on virtio-blk, and a variable store that each boot of the machine
keeps, across the guest's own reboots inside one QEMU process (there is no
-no-reboot here) and across QEMU processes. QEMU ends when the guest
powers off.

The ESP holds the kernel as \\EFI\\linux\\vmlinuz.efi, the initramfs as
\\EFI\\linux\\initrd.img and the steps the guest runs, \\EFI\\linux\\steps\\N.sh
for its Nth boot (see tools/linux-guest-init.sh). On fresh variables the
firmware finds no entry for the kernel and falls through to its UEFI Shell,
whose startup.nsh starts the kernel; the first step then makes the guest's
own boot entries.

The Debian guest (tools/debian_guest.py) boots the same way from a copy of
its own disk: GPT, the ESP with GRUB in \\EFI\\debian\\ (its boot entry first
in BootOrder, as Debian's installer leaves it) and the root file system.

    machine = linux.Machine(work_dir, firmware=None)
    machine.make_disk({"EFI/linux/steps/1.sh": b"...", ...}, kernel, initrd)
    result = machine.boot(timeout=120)
    machine.copy_guest_disk(debian_guest.build(cache), files)   # or the Debian guest
    for step in linux.guest_steps(result.text): ...

Only the Python standard library is used; the boot loop is the package's
(serial.py), the firmware and its options the machine's.
"""
import re
import shutil
import subprocess
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from . import ovmf_vars, stick
from .console import clean
from .machine import COUNTDOWN_PROMPT, PLAIN, QEMU, BootTimeout, Result, power_on
from .serial import KeyPress, Keys, drain, end_process
from .volume import add_files, read_file

ESP_OFFSET = stick.ESP_OFFSET
KERNEL = "EFI/linux/vmlinuz.efi"
INITRD = "EFI/linux/initrd.img"
STEPS = "EFI/linux/steps"
# The kernel's command line in its boot entry, in the shell's startup.nsh
# and, with -kernel, in -append (where there is no initrd= to give).
CONSOLE_ARGS = "console=ttyS0 quiet"
COMMAND_LINE = "initrd=\\EFI\\linux\\initrd.img " + CONSOLE_ARGS
STARTUP = "@echo -off\nfs0:\\EFI\\linux\\vmlinuz.efi " + COMMAND_LINE + "\n"
# Text that means the boot can not end well: QEMU is stopped at once.
FATAL = ("Kernel panic", "guest: the ESP (/dev/vda1) can not be mounted",
         "You are in emergency mode", "Give root password for maintenance")
MEMORY_MIB = 512

_STEP = re.compile(r"==GUEST (\d+) BEGIN uptime=([\d.]+)==\r?\n(.*?)"
                   r"==GUEST \1 END rc=(\d+) uptime=([\d.]+)==", re.S)


@dataclass
class GuestStep:
    number: int         # the boot of the disk this step ran in (1, 2, ...)
    body: str           # its output, CR LF as the serial line gave it
    rc: int
    uptime: float       # the kernel's uptime when the step began
    begin: int          # offsets of the markers in the clean console
    end: int
    seconds: float = None   # from QEMU's start to the step's begin marker


def guest_steps(text):
    """The guest steps in a clean console, in order."""
    return [GuestStep(int(m.group(1)), m.group(3), int(m.group(4)), float(m.group(2)),
                      m.start(), m.end()) for m in _STEP.finditer(text)]


class _Clock:
    """A console sink that notes when each piece of the serial output came,
    so a text's offset tells its time."""

    def __init__(self, started):
        self.started = started
        self.marks = []   # (raw length before the chunk, seconds)
        self.length = 0

    def write(self, chunk):
        self.marks.append((self.length, time.monotonic() - self.started))
        self.length += len(chunk)

    def flush(self):
        pass

    def seconds_at(self, raw_offset):
        seconds = None
        for start, at in self.marks:
            if start > raw_offset:
                break
            seconds = at
        return seconds


class _Watch(Keys):
    """The usual key presses, plus a stop as soon as a fatal text shows."""

    def __init__(self, presses, started, fatal):
        super().__init__(presses, started)
        self.fatal = fatal
        self.stopped_by = None

    def step(self, process, console):
        super().step(process, console)
        if self.stopped_by is None:
            text = clean(bytes(console))
            self.stopped_by = next((f for f in self.fatal if f in text), None)
            if self.stopped_by and process.poll() is None:
                process.kill()


class Machine:
    """One test machine: its disk and its variable store in `work`."""

    def __init__(self, work, firmware=None, qemu_args=(), memory_mib=MEMORY_MIB):
        self.work = Path(work)
        self.work.mkdir(parents=True, exist_ok=True)
        self.firmware = firmware or PLAIN
        self.qemu_args = list(qemu_args)
        self.memory_mib = memory_mib
        self.disk = self.work / "disk.img"
        self.vars = self.work / "vars.fd"
        self.esp_offset = ESP_OFFSET
        shutil.copyfile(self.firmware.vars_template, self.vars)

    @property
    def volume(self):
        return f"{self.disk}@@{self.esp_offset}"

    def make_disk(self, files, kernel, initrd, startup=STARTUP):
        """A fresh disk: GPT, one ESP holding the kernel, the initramfs,
        startup.nsh and `files` (name -> host path or bytes)."""
        with open(self.disk, "wb") as disk:
            disk.truncate(stick.DISK_SECTORS * stick.SECTOR)
        stick.write_partition_table(self.disk)
        stick.format_partition(self.disk)
        everything = {KERNEL: str(kernel), INITRD: str(initrd), **files}
        add_files(self.volume, everything, startup=startup)

    def copy_guest_disk(self, guest, files):
        """A fresh copy of the Debian guest's disk (sparse: only what its
        file systems hold is copied) with `files` added to its ESP, and the
        guest's boot entry first in BootOrder."""
        self.esp_offset = guest["esp_offset"]
        self.disk.unlink(missing_ok=True)
        subprocess.run(["cp", "--sparse=always", "--reflink=auto", guest["disk"], str(self.disk)],
                       check=True, stdin=subprocess.DEVNULL)
        add_files(self.volume, files, present=guest["esp_dirs"])
        store = ovmf_vars.VarStore.load(self.vars)
        loader = "\\" + guest["loader"].replace("/", "\\")
        path = ovmf_vars.partition_path(1, guest["esp_first_lba"], guest["esp_sectors"],
                                        guest["esp_guid"], loader)
        # The first free number: the Secure Boot template has entries of its own.
        taken = {name for name, guid in store.variables() if guid == ovmf_vars.GLOBAL_GUID}
        number = next(n for n in range(0x10000) if f"Boot{n:04X}" not in taken)
        order = store.get("BootOrder")
        rest = [n for n in ovmf_vars.parse_list(order[1]) if n != number] if order else []
        store.add(f"Boot{number:04X}", ovmf_vars.GLOBAL_GUID, ovmf_vars.NV_BS_RT,
                  ovmf_vars.load_option("debian", path))
        store.set("BootOrder", ovmf_vars.GLOBAL_GUID, ovmf_vars.NV_BS_RT,
                  ovmf_vars.option_list(number, *rest))
        store.save(self.vars)

    def read(self, name):
        """A file's bytes from the ESP, or None."""
        return read_file(self.volume, name)

    def _command(self, kernel=None, initrd=None, append=None):
        code = self.firmware.code
        machine = self.firmware.machine_options()
        direct = []
        if kernel:
            direct = ["-kernel", str(kernel), "-initrd", str(initrd), "-append", append]
        return [QEMU, *machine, "-accel", "tcg", "-m", str(self.memory_mib),
                "-display", "none", "-nodefaults", "-serial", "stdio",
                "-drive", f"if=pflash,format=raw,readonly=on,file={code}",
                "-drive", f"if=pflash,format=raw,file={self.vars}",
                "-drive", f"if=none,id=esp,format=raw,cache=unsafe,file={self.disk}",
                "-device", "virtio-blk-pci,drive=esp", *power_on(), *self.qemu_args,
                *direct]

    def boot(self, timeout, kernel=None, initrd=None, append=CONSOLE_ARGS, console_out=None,
             fatal=FATAL):
        """One QEMU process, until the guest powers off. `kernel`/`initrd`
        boot through QEMU's -kernel instead of the firmware's boot entries.
        Returns the machine's Result; each GuestStep of it has its time.
        Raises BootTimeout when `timeout` passes first, and
        RuntimeError when a fatal text showed."""
        command = self._command(kernel, initrd, append)
        started = time.monotonic()
        clock = _Clock(started)
        watch = _Watch([KeyPress(COUNTDOWN_PROMPT)], started, fatal)
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        try:
            console, errors, timed_out = drain(process, started + timeout, clock, watch)
        finally:
            exit_code = end_process(process)
        if console_out:
            Path(console_out).write_bytes(console)
        result = Result(bytes(console), None if timed_out else exit_code,
                                 time.monotonic() - started, timed_out, watch.sent,
                                 stderr=errors.decode("utf-8", "replace"))
        result.steps = guest_steps(result.text)
        _time_steps(result, clock)
        if timed_out:
            raise BootTimeout(f"QEMU did not finish within {timeout} s; console:\n"
                                       f"{result.text}", result)
        if watch.stopped_by:
            raise RuntimeError(f"stopped on {watch.stopped_by!r}; console:\n{result.text}")
        return result


class Running:
    """A guest that runs while the caller talks to it (over SSH): its
    serial console goes to `console_path`, read by a thread that wakes the
    waiters of a text."""

    def __init__(self, command, console_path):
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)
        self.console = bytearray()
        self.changed = threading.Condition()
        self.path = Path(console_path)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        with open(self.path, "wb") as out:
            for chunk in iter(lambda: self.process.stdout.read1(4096), b""):
                out.write(chunk)
                out.flush()
                with self.changed:
                    self.console += chunk
                    self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def text(self):
        with self.changed:
            return clean(bytes(self.console))

    def wait_for(self, text, count=1, timeout=300):
        """Blocks until `text` showed `count` times; False when the guest
        ended or `timeout` passed first."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while clean(bytes(self.console)).count(text) < count:
                left = deadline - time.monotonic()
                if left <= 0 or not self.reader.is_alive():
                    return False
                self.changed.wait(left)
        return True

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.reader.join(timeout=10)
        self.process.stdout.close()


def start(machine):
    """The machine's QEMU in the background, booting from its entries."""
    return Running(machine._command(), machine.work / "console.txt")


def _time_steps(result, clock):
    # The clean console drops escapes, so each begin marker is found again
    # in the raw bytes to read its time.
    raw = result.console_raw.decode("latin-1")
    for step in result.steps:
        at = raw.find(f"==GUEST {step.number} BEGIN")
        step.seconds = clock.seconds_at(at) if at != -1 else None
