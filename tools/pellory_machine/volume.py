"""FAT volumes for QEMU boots, built and read back with mtools: no root, no
loop mounts. A volume name may be mtools' IMAGE@@OFFSET, for a partition
inside a disk image. Only the Python standard library is used."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

# 32 MiB volume: 65536 sectors of 512 bytes, 64 heads x 32 sectors a track.
VOLUME_SECTORS = 65536
VOLUME_HEADS = 64
VOLUME_TRACK_SECTORS = 32

# mtools never asks questions here: no geometry check on a bare image, and
# its standard input is closed.
_MTOOLS_ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1")


def _mtools(*args):
    done = subprocess.run(args, env=_MTOOLS_ENV, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed: {done.stderr.strip()}")
    return done


def _volume_path(name):
    name = str(name).replace("\\", "/").strip("/")
    if not name:
        raise ValueError("empty name on the volume")
    return name


def _make_dirs(image, name, made):
    """Create every directory of `name` on the volume that is not there yet."""
    parts = name.split("/")
    for depth in range(1, len(parts) + 1):
        directory = "/".join(parts[:depth])
        if directory not in made:
            _mtools("mmd", "-i", image, "::" + directory)
            made.add(directory)


def _pairs(mapping):
    return mapping.items() if hasattr(mapping, "items") else mapping


def build_volume(image, files=(), dirs=(), startup=None):
    """A fresh FAT volume holding `files` (name -> path or bytes), the empty
    `dirs` and, when given, `startup` as startup.nsh at the root."""
    _mtools("mformat", "-i", image, "-C", "-T", str(VOLUME_SECTORS),
            "-h", str(VOLUME_HEADS), "-s", str(VOLUME_TRACK_SECTORS), "::")
    add_files(image, files, dirs, startup)


def add_files(image, files=(), dirs=(), startup=None, present=()):
    """Copies `files` (name -> path or bytes), the empty `dirs` and, when
    given, `startup` as startup.nsh onto the FAT volume `image` (the
    folders are made here, so none may be there yet but those named in
    `present`)."""
    made = set(present)
    for name in dirs:
        _make_dirs(image, _volume_path(name), made)
    staging = tempfile.mkdtemp(prefix="pellory_machine_")
    try:
        entries = list(_pairs(files))
        if startup is not None:
            if not startup.endswith("\n"):
                startup += "\n"
            entries.append(("startup.nsh", startup.encode("ascii")))
        for number, (name, content) in enumerate(entries):
            name = _volume_path(name)
            if "/" in name:
                _make_dirs(image, name.rsplit("/", 1)[0], made)
            source = content
            if isinstance(content, (bytes, bytearray)):
                source = os.path.join(staging, str(number))
                Path(source).write_bytes(content)
            _mtools("mcopy", "-i", image, "-D", "o", str(source), "::" + name)
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def read_file(image, name):
    """A file's bytes from the volume, or None when it is not there."""
    with tempfile.TemporaryDirectory(prefix="pellory_machine_") as scratch:
        dest = os.path.join(scratch, "file")
        done = subprocess.run(
            ["mcopy", "-n", "-i", image, "::" + _volume_path(name), dest],
            env=_MTOOLS_ENV, stdin=subprocess.DEVNULL, capture_output=True)
        if done.returncode != 0 or not os.path.isfile(dest):
            return None
        return Path(dest).read_bytes()


def list_files(image):
    """Every file on the volume, as names with forward slashes."""
    done = _mtools("mdir", "-/", "-b", "-i", image, "::")
    return sorted(line.strip().lstrip(":").lstrip("/") for line in done.stdout.splitlines()
                  if line.strip() and not line.strip().endswith("/"))
