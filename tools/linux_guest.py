#!/usr/bin/env python3
"""The Linux guest of the real-firmware round trips: Debian's cloud kernel
(its EFI stub boots from the ESP) and an initramfs made from busybox-static,
the kernel's few modules, the guest's /init and step runner (from
pellory_machine.linux) and the Linux programs the tests run in it, each
with the shared libraries ldd names.

    linux_guest.py --cache DIR [--program PATH]...

DIR keeps the downloaded packages and what came out of them, so only the
first build asks the package registry (`apt-get download`; nothing is
installed on the host, least of all a kernel). It ends up holding
vmlinuz.efi and initrd.img; the initramfs is made again only when one of
its inputs changed. Only the standard library and Debian's tools are used.
"""
import argparse
import gzip
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from cpio_newc import Archive
from pellory_machine import linux

KERNEL_PACKAGE = "linux-image-cloud-amd64"   # a metapackage: the kernel is its dependency
BUSYBOX_PACKAGE = "busybox-static"
# What the cloud kernel needs from its modules to reach efivarfs and the
# ESP on a virtio disk (virtio_pci's own dependencies live beside it).
MODULE_PATHS = ("kernel/fs/efivarfs", "kernel/drivers/virtio", "kernel/drivers/block/virtio_blk.ko",
                "kernel/fs/fat", "kernel/fs/nls/nls_cp437.ko", "kernel/fs/nls/nls_ascii.ko",
                "kernel/fs/nls/nls_utf8.ko", "kernel/fs/nls/nls_iso8859-1.ko",
                # The network of the guest the playbook reaches over SSH.
                "kernel/drivers/net/virtio_net.ko", "kernel/drivers/net/net_failover.ko",
                "kernel/net/core/failover.ko")
DIRECTORIES = ("bin", "dev", "proc", "sys", "run", "tmp", "boot", "boot/efi", "etc")


def _run(*command, cwd=None):
    done = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, command))} failed:\n{done.stderr.strip()}")
    return done.stdout


def _download(names, into):
    """The packages' .deb files, by name, into `into`. A registry list that
    no longer has the version is renewed once (as root)."""
    try:
        _run("apt-get", "download", *names, cwd=into)
    except RuntimeError:
        if os.geteuid() != 0:
            raise
        _run("apt-get", "update")
        _run("apt-get", "download", *names, cwd=into)
    found = {}
    for deb in Path(into).glob("*.deb"):
        name = _run("dpkg-deb", "-f", str(deb), "Package").strip()
        found[name] = deb
    return found


def _kernel_package(meta_deb):
    """The real kernel package the metapackage depends on."""
    depends = _run("dpkg-deb", "-f", str(meta_deb), "Depends")
    name = depends.split(",")[0].split("(")[0].strip()
    if not name.startswith("linux-image-"):
        raise RuntimeError(f"{KERNEL_PACKAGE} depends on {depends!r}, not a kernel")
    return name


def fetch(cache):
    """Downloads and unpacks the kernel and busybox once; returns the
    description of what the cache holds."""
    cache = Path(cache)
    stamp = cache / "packages.json"
    if stamp.exists():
        described = json.loads(stamp.read_text())
        if described.get("module_paths") == list(MODULE_PATHS):
            return described
    debs = cache / "debs"
    shutil.rmtree(debs, ignore_errors=True)
    debs.mkdir(parents=True)
    meta = _download([KERNEL_PACKAGE], debs)[KERNEL_PACKAGE]
    kernel_name = _kernel_package(meta)
    found = _download([kernel_name, BUSYBOX_PACKAGE], debs)
    with tempfile.TemporaryDirectory(dir=cache) as scratch:
        for name in (kernel_name, BUSYBOX_PACKAGE):
            _run("dpkg-deb", "-x", str(found[name]), scratch)
        release = next(Path(scratch, "lib/modules").iterdir()).name
        shutil.copyfile(Path(scratch, "boot", f"vmlinuz-{release}"), cache / "vmlinuz.efi")
        shutil.copyfile(Path(scratch, "bin/busybox"), cache / "busybox")
        (cache / "busybox").chmod(0o755)
        modules = cache / "modules" / release
        shutil.rmtree(cache / "modules", ignore_errors=True)
        for part in MODULE_PATHS:
            source, target = Path(scratch, "lib/modules", release, part), modules / part
            target.parent.mkdir(parents=True, exist_ok=True)
            (shutil.copytree if source.is_dir() else shutil.copyfile)(source, target)
    versions = {name: _run("dpkg-deb", "-f", str(found[name]), "Version").strip()
                for name in (kernel_name, BUSYBOX_PACKAGE)}
    shutil.rmtree(debs)
    described = {"release": release, "kernel": kernel_name, "versions": versions,
                 "module_paths": list(MODULE_PATHS)}
    stamp.write_text(json.dumps(described, indent=1) + "\n")
    return described


def shared_libraries(program):
    """The files ldd says `program` loads, the dynamic loader among them."""
    out = _run("ldd", str(program))
    libraries = []
    for line in out.splitlines():
        words = line.split()
        if "=>" in words:
            path = words[words.index("=>") + 1]
            if path == "not":
                raise RuntimeError(f"{program}: {line.strip()}")
            libraries.append(path)
        elif words and words[0].startswith("/"):
            libraries.append(words[0])
    return libraries


def _module_tree(cache, release):
    """The modules with a modules.dep from busybox's depmod, as
    (name in the initramfs, host path) pairs."""
    base = Path(cache, "modules-base")
    shutil.rmtree(base, ignore_errors=True)
    shutil.copytree(Path(cache, "modules"), base / "lib/modules")
    _run(str(Path(cache, "busybox")), "depmod", "-b", str(base), release)
    for path in sorted(base.rglob("*")):
        yield str(path.relative_to(base)), path


def _applets(busybox):
    return sorted(set(_run(str(busybox), "--list").split()) - {"busybox"})


def add_program(archive, program, name=None):
    """`program` in the archive as `name` (default bin/ and its own name),
    with the shared libraries it loads at their own paths."""
    archive.file(name or f"bin/{Path(program).name}", Path(program).read_bytes(), 0o755)
    for library in shared_libraries(program):
        archive.file(library.lstrip("/"), Path(library).read_bytes(), 0o755)


def build_initramfs(cache, described, programs, out):
    """The initramfs as one gzip'd newc archive, every entry owned by root
    with time 0, so the same inputs give the same bytes."""
    archive = Archive()
    for name in DIRECTORIES:
        archive.directory(name)
    archive.device("dev/console", 5, 1)
    archive.file("init", linux.BUSYBOX_INIT.read_bytes(), 0o755)
    archive.file("bin/guest-step", linux.STEP_RUNNER.read_bytes(), 0o755)
    busybox = Path(cache, "busybox")
    archive.file("bin/busybox", busybox.read_bytes(), 0o755)
    for applet in _applets(busybox):
        archive.symlink(f"bin/{applet}", "busybox")
    archive.file("bin/after", linux.AFTER_SCRIPT.encode(), 0o755)
    for name, path in _module_tree(cache, described["release"]):
        if path.is_dir():
            archive.directory(name)
        else:
            archive.file(name, path.read_bytes(), 0o644)
    for program in programs:
        add_program(archive, program)
    Path(out).write_bytes(gzip.compress(archive.finish(), compresslevel=6, mtime=0))


def _inputs_digest(described, programs):
    digest = hashlib.sha256(json.dumps(described, sort_keys=True).encode())
    files = [linux.BUSYBOX_INIT, linux.STEP_RUNNER, Path(__file__)]
    for program in programs:
        files += [Path(program), *map(Path, shared_libraries(program))]
    for path in files:
        digest.update(str(path).encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()


def build(cache, programs=()):
    """Kernel and initramfs in `cache`; returns (vmlinuz.efi, initrd.img)."""
    cache = Path(cache)
    cache.mkdir(parents=True, exist_ok=True)
    described = fetch(cache)
    initrd, stamp = cache / "initrd.img", cache / "initrd.inputs"
    wanted = _inputs_digest(described, programs)
    if not initrd.exists() or not stamp.exists() or stamp.read_text() != wanted:
        build_initramfs(cache, described, programs, cache / "initrd.partial")
        os.replace(cache / "initrd.partial", initrd)
        stamp.write_text(wanted)
    return cache / "vmlinuz.efi", initrd


def main(argv=None):
    parser = argparse.ArgumentParser(description="Build the Linux test guest.")
    parser.add_argument("--cache", required=True)
    parser.add_argument("--program", action="append", default=[],
                        help="a Linux program to put in the guest's /bin")
    args = parser.parse_args(argv)
    kernel, initrd = build(args.cache, args.program)
    described = json.loads(Path(args.cache, "packages.json").read_text())
    print(f"linux guest: {kernel} ({described['kernel']} {described['versions'][described['kernel']]}), "
          f"{initrd} ({initrd.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
