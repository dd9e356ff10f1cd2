"""The Linux test guests' machine: a Machine (pellory_machine.machine)
whose parts are a GPT system disk with one EFI System Partition (the
service stick's writer) on virtio-blk and a variable store that each boot
keeps, across the guest's own reboots inside one QEMU process (a reset
restarts the firmware) and across QEMU processes, all in a folder of the
caller's that stays. QEMU ends when the guest powers off.

The ESP holds the kernel as \\EFI\\linux\\vmlinuz.efi, the initramfs as
\\EFI\\linux\\initrd.img and the steps the guest runs, \\EFI\\linux\\steps\\N.sh
for its Nth boot (run by guest-step.sh beside this file). On fresh variables
the firmware finds no entry for the kernel and falls through to its UEFI
Shell, whose startup.nsh starts the kernel; the first step then makes the
guest's own boot entries. Under Secure Boot, where the shell is refused, a
Kernel part boots the kernel by QEMU's -kernel instead.

The Debian guest (tools/debian_guest.py) boots the same way from a copy of
its own disk: GPT, the ESP with GRUB in \\EFI\\debian\\ (its boot entry first
in BootOrder, as Debian's installer leaves it) and the root file system.

    machine = linux.Machine(work_dir)
    machine.make_disk({"EFI/linux/steps/1.sh": b"...", ...}, kernel, initrd)
    result = machine.boot(limit=120)
    machine.copy_guest_disk(debian_guest.build(cache), files)   # or the Debian guest
    for step in result.steps: ...

Only the Python standard library is used.
"""
import re
import subprocess
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from . import machine, ovmf_vars, stick
from .console import clean
from .volume import add_files

KERNEL = "EFI/linux/vmlinuz.efi"
INITRD = "EFI/linux/initrd.img"
STEPS = "EFI/linux/steps"
# The kernel's command line in its boot entry, in the shell's startup.nsh
# and, with a Kernel part, in -append (where there is no initrd= to give).
CONSOLE_ARGS = "console=ttyS0 quiet"
COMMAND_LINE = "initrd=\\EFI\\linux\\initrd.img " + CONSOLE_ARGS
STARTUP = "@echo -off\nfs0:\\EFI\\linux\\vmlinuz.efi " + COMMAND_LINE + "\n"
# Text that means the boot can not end well: QEMU is stopped at once.
FATAL = ("Kernel panic", "guest: the ESP (/dev/vda1) can not be mounted",
         "You are in emergency mode", "Give root password for maintenance")
MEMORY_MIB = 512
# The guest's side of the steps, which both guests carry: the step runner,
# the busybox guest's /init that runs it, and the command a step says
# what follows it with (the runner's word for the guest).
STEP_RUNNER = Path(__file__).with_name("guest-step.sh")
BUSYBOX_INIT = Path(__file__).with_name("guest-init.sh")
AFTER_SCRIPT = '#!/bin/sh\necho "$1" > /run/guest-after\n'

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


def kernel(image, initrd):
    """The guest's kernel as a Kernel part, with the console's arguments."""
    return machine.Kernel(str(image), str(initrd), CONSOLE_ARGS)


class Machine(machine.Machine):
    """One test machine: its disk and its variable store in `work`."""

    def __init__(self, work, firmware=None, qemu_args=(), memory_mib=MEMORY_MIB):
        super().__init__(firmware or machine.PLAIN, reboot=True, qemu_args=qemu_args,
                         memory_mib=memory_mib, folder=work)
        self.work = Path(self.folder)
        self.add_disk()

    def make_disk(self, files, kernel, initrd, startup=STARTUP):
        """A fresh disk: GPT, one ESP holding the kernel, the initramfs,
        startup.nsh and `files` (name -> host path or bytes)."""
        self.add_disk()
        with open(self.disk, "wb") as disk:
            disk.truncate(stick.DISK_SECTORS * stick.SECTOR)
        stick.write_partition_table(self.disk)
        stick.format_partition(self.disk)
        everything = {KERNEL: str(kernel), INITRD: str(initrd), **files}
        add_files(self.esp, everything, startup=startup)

    def copy_guest_disk(self, guest, files):
        """A fresh copy of the Debian guest's disk (sparse: only what its
        file systems hold is copied) with `files` added to its ESP, and the
        guest's boot entry first in BootOrder."""
        disk = Path(self.add_disk(guest["esp_offset"]))
        disk.unlink(missing_ok=True)
        subprocess.run(["cp", "--sparse=always", "--reflink=auto", guest["disk"], str(disk)],
                       check=True, stdin=subprocess.DEVNULL)
        add_files(self.esp, files, present=guest["esp_dirs"])
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

    def boot(self, keys=machine.SHELL_KEYS, limit=120, console_out=None, fatal=FATAL):
        """One QEMU process, until the guest powers off; its Result carries
        the guest's steps, each with its time. Raises BootTimeout when
        `limit` passes first, and BootStopped when a fatal text showed."""
        result = super().boot(keys, limit, console_out, fatal)
        result.steps = guest_steps(result.text)
        for step in result.steps:
            step.seconds = result.arrival(f"==GUEST {step.number} BEGIN")
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

    def wait_ended(self, timeout=300):
        """Blocks until QEMU ended by itself (the guest powered off); False
        when `timeout` passed first."""
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return False
        self.reader.join(timeout=10)
        return True

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.reader.join(timeout=10)
        self.process.stdout.close()


def start(machine, console="console.txt"):
    """The machine's QEMU in the background, booting from its entries: a
    power-on of its own (a second call is the next power-on, on the same
    disk and variables). The console goes to `console` in its folder."""
    return Running(machine.command(), machine.work / console)
