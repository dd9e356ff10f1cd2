"""What the Linux test guest needs to be reached the way Ansible reaches a
fleet: Debian's dropbear (dropbear-bin) as the SSH server, Debian's Python
interpreter with its standard library (Ansible runs its modules with it),
a root account and the script that reboots the guest. All of it is copied
from the host's installed Debian packages, with the shared libraries ldd
names; the keys are not here: the guest takes the authorized key from its
ESP and makes its own host key at start (tools/linux-guest-init.sh steps).
"""
from pathlib import Path

DROPBEAR = Path("/usr/sbin/dropbear")
# Debian's interpreter (python3.11), whatever `python3` runs this script.
PYTHON = Path("/usr/bin/python3").resolve()
STDLIB = Path("/usr/lib") / PYTHON.name
# Parts of the standard library no Ansible module run uses: tests, tools
# and GUI, and the compiled caches (their recorded times would not match
# the archive's, so Python would ignore them anyway).
SKIPPED = {"__pycache__", "test", "idlelib", "tkinter", "turtledemo", "lib2to3", "ensurepip",
           "pydoc_data", "dist-packages", "site-packages", "distutils", "unittest"}
# Debian builds zlib, hashing, sockets and the like into the interpreter;
# of the loadable modules the guest takes only these small ones, which
# need no large library (no OpenSSL, SQLite, curses), so the kernel and the
# initramfs fit on the test disk's ESP (Ansible's fact gathering imports
# multiprocessing).
DYNLOAD = ("_json", "_queue", "_contextvars", "_typing", "resource", "termios", "mmap",
           "_posixshmem", "_uuid", "_multiprocessing", "_ctypes", "_bz2", "_lzma", "_decimal",
           "_asyncio", "_zoneinfo", "_crypt")
ETC = {
    "etc/passwd": b"root:x:0:0:root:/root:/bin/sh\n",
    "etc/group": b"root:x:0:\n",
    "etc/shells": b"/bin/sh\n",
}
# The guest's reboot: /var/lib (a folder of the ESP) and the ESP are
# unmounted first, so the firmware and the next boot find everything
# pelloryctl wrote there. Like `shutdown -r`, it returns at once
# and the reboot follows a moment later, so the SSH session that asked for
# it ends cleanly (an abrupt reset leaves the client waiting for ever). The
# delayed part must outlive that session: Ansible runs the command on a
# terminal, whose hang-up at the end of the session reaches the background
# job before `setsid` has moved it into a session of its own, so the hang-up
# is ignored first (measured: without the trap no reboot in three tries).
REBOOT = (b"#!/bin/sh\ntrap '' HUP\nsetsid sh -c 'sleep 1; sync; umount /var/lib; umount /boot/efi; "
          b"reboot -f' "
          b"</dev/null >/dev/null 2>&1 &\nexit 0\n")


def _stdlib_files():
    for path in sorted(STDLIB.rglob("*")):
        parts = path.relative_to(STDLIB).parts
        if any(part in SKIPPED or part.startswith("config-") for part in parts) or path.is_dir():
            continue
        if parts[0] == "lib-dynload" and path.name.split(".")[0] not in DYNLOAD:
            continue
        yield path


def inputs():
    """The host files the SSH part of the initramfs is made from."""
    return [Path(__file__), DROPBEAR, PYTHON]


def add_to(archive, add_program):
    """Adds the SSH server, Python and the account to `archive`;
    `add_program(archive, path, name)` copies a program with its libraries."""
    add_program(archive, DROPBEAR, "usr/sbin/dropbear")
    add_program(archive, PYTHON, f"usr/bin/{PYTHON.name}")
    archive.symlink("usr/bin/python3", PYTHON.name)
    for path in _stdlib_files():
        if path.is_symlink():
            continue
        name = str(path.relative_to("/"))
        if path.suffix == ".so":
            add_program(archive, path, name)
        else:
            archive.file(name, path.read_bytes(), 0o644)
    for name, text in ETC.items():
        archive.file(name, text)
    archive.directory("root")
    archive.directory("dev/pts")
    archive.file("bin/guest-reboot", REBOOT, 0o755)
