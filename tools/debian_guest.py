#!/usr/bin/env python3
"""The Linux test guest: a Debian 12 (bookworm) system made from Debian's
packages with mmdebstrap, as a GPT disk that OVMF boots through shim and
GRUB, as it boots an installed Debian, with Secure Boot on or off.

    debian_guest.py --cache DIR

The disk holds an EFI System Partition (shim and Debian's signed GRUB in
\\EFI\\debian\\, mounted at /boot/efi by /etc/fstab) and the root file
system on ext4. No
loop device and no mount is used: mkfs.ext4 -d fills the root from the
folder mmdebstrap made, mtools fills the ESP, sgdisk writes the partition
table and dd puts the file system in its place. The finished disk and
guest.json (what a machine needs to boot it) are kept in DIR/<key>/,
where the key is a
hash of the package list and of this script and the step runner, so only
a change of either builds it again.

At every boot the guest runs the step the test left on the ESP (the step
runner of pellory_machine.linux) and then does what the step asked for.
Only the standard library and Debian's tools are used; building needs
root (mmdebstrap's root mode and the chroot in which GRUB's image and the
initramfs are made).
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from pellory_machine import linux
from pellory_machine import volume as fat_volume

MIRROR = "http://deb.debian.org/debian"
SUITE = "bookworm"
# --variant=apt is the Essential set and apt; everything else is named.
# efibootmgr also brings libefiboot1 and libefivar1, what pelloryctl's
# package depends on (the guest has no package source to fetch them from);
# python3-apt is what Ansible's apt module needs for `deb=`; dbus and
# libpam-systemd (logind) are what `shutdown -r` talks to, the command
# Ansible's reboot runs (without them it fails: "Failed to connect to bus").
# The guest boots as an installed Debian does, under Secure Boot too:
# Microsoft-signed shim (shim-signed), Debian-signed GRUB
# (grub-efi-amd64-signed) and Debian's signed cloud kernel.
PACKAGES = ("systemd", "systemd-sysv", "udev", "kmod", "dbus", "libpam-systemd",
            "openssh-server", "python3", "python3-apt",
            "sudo", "apt", "linux-image-cloud-amd64", "initramfs-tools", "grub-efi-amd64",
            "shim-signed", "grub-efi-amd64-signed",
            "efibootmgr", "e2fsprogs", "man-db", "iproute2", "findutils")
# Trimmed while it is built: no manuals, documentation or translations of
# the packages above. The file mmdebstrap keeps for later installs is
# removed at the end, so what the tests install later (pelloryctl and its
# manual page) lands whole, as on any machine.
EXCLUDED = ("/usr/share/man/*", "/usr/share/doc/*", "/usr/share/locale/*", "/usr/share/info/*",
            "/usr/share/lintian/*", "/usr/share/bash-completion/*")
# Units that only slow a boot under QEMU without KVM and that no test needs.
# No login prompts either: the tests reach the guest over SSH, and a getty
# on ttyS0 would hang up the steps' output there (agetty's vhangup).
MASKED = ("systemd-networkd-wait-online.service", "apt-daily.timer", "apt-daily-upgrade.timer",
          "e2scrub_all.timer", "e2scrub_reap.service", "man-db.timer", "fstrim.timer",
          "dpkg-db-backup.timer", "systemd-firstboot.service", "getty@tty1.service",
          "getty-static.service", "serial-getty@ttyS0.service")
INITRAMFS_HOOK_PATH = "etc/initramfs-tools/hooks/test-guest"
INITRAMFS_HOOK = ("#!/bin/sh\\n[ \"$1\" = prereqs ] && exit 0\\n"
                  ". /usr/share/initramfs-tools/hook-functions\\n"
                  "manual_add_modules virtio_pci virtio_blk ext4\\n")

SECTOR = 512
ESP_FIRST_LBA = 2048
ESP_MIB = 64
ROOT_MIB = 1536
ESP_TYPE = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"
ROOT_TYPE = "4F68BCE3-E8CD-4DB1-96E7-FBCAF984B709"   # Linux root (x86-64)
# Fixed identities, so the boot entry, GRUB's search and /etc/fstab agree
# with every copy of the disk.
DISK_GUID = "5045C1A0-72D1-4B0E-9A53-4445424E0001"
ESP_GUID = "5045C1A0-72D1-4B0E-9A53-4445424E0002"
ROOT_GUID = "5045C1A0-72D1-4B0E-9A53-4445424E0003"
ROOT_UUID = "5045c1a0-72d1-4b0e-9a53-4445424e0004"
ESP_SERIAL = "50454C44"
MACHINE_ID = "5045c1a072d14b0e9a534445424e0005"
HOSTNAME = "pellory-guest"
# The ESP as Debian's grub-install leaves it on a machine with shim: the
# boot entry starts shim, shim the signed GRUB beside it (and MokManager
# when a key waits to be enrolled), GRUB reads grub.cfg beside itself,
# which hands over to the root file system's /boot/grub/grub.cfg.
SHIM_PATH = "EFI/debian/shimx64.efi"
ESP_LOADERS = {SHIM_PATH: "usr/lib/shim/shimx64.efi.signed",
               "EFI/debian/mmx64.efi": "usr/lib/shim/mmx64.efi.signed",
               "EFI/debian/grubx64.efi": "usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed"}
ESP_GRUB_CFG = "EFI/debian/grub.cfg"
# The kernel's command line: its messages and the steps' output on the
# serial line the tests read.
KERNEL_ARGS = "console=ttyS0 quiet fsck.mode=skip"

FSTAB = f"""# <file system> <mount point> <type> <options> <dump> <pass>
UUID={ROOT_UUID} / ext4 errors=remount-ro 0 0
UUID={ESP_SERIAL[:4]}-{ESP_SERIAL[4:]} /boot/efi vfat umask=0077,flush 0 0
"""
NETWORK = "[Match]\nName=en* eth*\n\n[Network]\nDHCP=ipv4\n"
STEP_UNIT = """[Unit]
Description=The test's step for this boot (\\EFI\\linux\\steps on the ESP)
After=local-fs.target ssh.service systemd-networkd.service
RequiresMountsFor=/boot/efi

[Service]
Type=oneshot
ExecStart=/usr/local/sbin/guest-step
ExecStartPost=/bin/sh -c 'case "$$(cat /run/guest-after)" in \\
    reboot) systemctl --no-block reboot ;; poweroff) systemctl --no-block poweroff ;; esac'
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyS0

[Install]
WantedBy=multi-user.target
"""


def _run(*command, **kwargs):
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          **kwargs)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, command))} failed:\n{done.stdout[-3000:]}"
                           f"{done.stderr[-3000:]}")
    return done.stdout


def cache_key():
    digest = hashlib.sha256()
    for part in (SUITE, MIRROR, " ".join(PACKAGES)):
        digest.update(part.encode() + b"\0")
    for path in (Path(__file__), linux.STEP_RUNNER):
        digest.update(path.read_bytes() + b"\0")
    return digest.hexdigest()[:16]


def _grub_cfg(release):
    return f"""set timeout=0
search --no-floppy --fs-uuid --set=root {ROOT_UUID}
menuentry 'Debian GNU/Linux' {{
    linux /boot/vmlinuz-{release} root=UUID={ROOT_UUID} ro {KERNEL_ARGS}
    initrd /boot/initrd.img-{release}
}}
"""


def _write(root, name, text, mode=0o644):
    path = Path(root, name.lstrip("/"))
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    path.chmod(mode)


def make_root(root):
    """The system in `root`, made by mmdebstrap and set up for the tests."""
    command = ["mmdebstrap", "--mode=root", "--variant=apt", "--include=" + ",".join(PACKAGES)]
    command += [f"--dpkgopt=path-exclude={p}" for p in EXCLUDED]
    # The initramfs holds only what reaches the root file system on the
    # test machine's virtio disk (made in a chroot, it can not find out
    # what the machine needs; a smaller one boots faster without KVM).
    command += ["--essential-hook=mkdir -p \"$1/etc/initramfs-tools/conf.d\"",
                "--essential-hook=echo MODULES=list > \"$1/etc/initramfs-tools/conf.d/guest\"",
                "--essential-hook=mkdir -p \"$1/etc/initramfs-tools/hooks\"",
                f"--essential-hook=printf '{INITRAMFS_HOOK}' > \"$1/{INITRAMFS_HOOK_PATH}\"",
                f"--essential-hook=chmod 755 \"$1/{INITRAMFS_HOOK_PATH}\"",
                "--essential-hook=echo 'man-db man-db/auto-update boolean false' | "
                "chroot \"$1\" debconf-set-selections"]
    command += [SUITE, str(root), MIRROR]
    _run(*command)
    release = sorted(p.name[len("vmlinuz-"):] for p in Path(root, "boot").glob("vmlinuz-*"))[-1]
    _write(root, "boot/grub/grub.cfg", _grub_cfg(release))
    _write(root, "etc/default/grub", "# The guest's grub.cfg is written when the disk is made "
           "(tools/debian_guest.py).\nGRUB_TIMEOUT=0\n"
           f"GRUB_CMDLINE_LINUX=\"{KERNEL_ARGS}\"\n")
    _write(root, "etc/fstab", FSTAB)
    _write(root, "etc/hostname", HOSTNAME + "\n")
    _write(root, "etc/hosts", f"127.0.0.1 localhost\n127.0.1.1 {HOSTNAME}\n")
    _write(root, "etc/machine-id", MACHINE_ID + "\n", 0o444)
    _write(root, "etc/systemd/network/10-wired.network", NETWORK)
    _write(root, "etc/systemd/system/guest-step.service", STEP_UNIT)
    _write(root, "usr/local/sbin/guest-step", linux.STEP_RUNNER.read_text(), 0o755)
    _write(root, "usr/local/bin/after", linux.AFTER_SCRIPT, 0o755)
    Path(root, "boot/efi").mkdir(exist_ok=True)
    wants = Path(root, "etc/systemd/system/multi-user.target.wants")
    wants.mkdir(parents=True, exist_ok=True)
    for unit, target in (("guest-step.service", "/etc/systemd/system/guest-step.service"),
                         ("systemd-networkd.service",
                          "/lib/systemd/system/systemd-networkd.service")):
        (wants / unit).unlink(missing_ok=True)
        (wants / unit).symlink_to(target)
    for unit in MASKED:
        masked = Path(root, "etc/systemd/system", unit)
        masked.unlink(missing_ok=True)
        masked.symlink_to("/dev/null")
    Path(root, "etc/dpkg/dpkg.cfg.d/99mmdebstrap").unlink(missing_ok=True)
    for leftover in Path(root, "var/cache/apt").glob("*.bin"):
        leftover.unlink()
    shutil.rmtree(Path(root, "var/lib/apt/lists"), ignore_errors=True)
    Path(root, "var/lib/apt/lists/partial").mkdir(parents=True)
    return release


def make_disk(root, disk):
    """GPT: the ESP (GRUB) and the root file system filled from `root`."""
    esp_sectors = ESP_MIB * 1024 * 1024 // SECTOR
    root_first = ESP_FIRST_LBA + esp_sectors
    root_sectors = ROOT_MIB * 1024 * 1024 // SECTOR
    total = root_first + root_sectors + 2048
    with open(disk, "wb") as out:
        out.truncate(total * SECTOR)
    # Without -q: sgdisk -q can fail and still make nothing.
    _run("sgdisk", "-U", DISK_GUID,
         "-n", f"1:{ESP_FIRST_LBA}:+{ESP_MIB}M", "-t", f"1:{ESP_TYPE}", "-u", f"1:{ESP_GUID}",
         "-c", "1:EFI System Partition",
         "-n", f"2:{root_first}:{root_first + root_sectors - 1}", "-t", f"2:{ROOT_TYPE}",
         "-u", f"2:{ROOT_GUID}", "-c", "2:root", str(disk))
    table = _run("sgdisk", "-p", str(disk))
    if "EFI System" not in table or f"{root_first}" not in table:
        raise RuntimeError(f"sgdisk made no such table:\n{table}")
    root_image = Path(disk).with_suffix(".root")
    try:
        _run("mkfs.ext4", "-q", "-F", "-d", str(root), "-U", ROOT_UUID, "-L", "root",
             "-E", "root_owner=0:0", str(root_image), f"{ROOT_MIB}M")
        _run("dd", f"if={root_image}", f"of={disk}", "bs=1M", f"seek={root_first * SECTOR}",
             "oflag=seek_bytes", "conv=notrunc,sparse")
    finally:
        root_image.unlink(missing_ok=True)
    volume = f"{disk}@@{ESP_FIRST_LBA * SECTOR}"
    fat_volume._mtools("mformat", "-i", volume, "-F", "-T", str(esp_sectors), "-h", "64",
                       "-s", "32", "-H", str(ESP_FIRST_LBA), "-N", ESP_SERIAL, "-v", "ESP", "::")
    esp_grub = (f"search.fs_uuid {ROOT_UUID} root\nset prefix=($root)'/boot/grub'\n"
                "configfile $prefix/grub.cfg\n")
    fat_volume.add_files(volume, {**{name: str(Path(root, source)) for name, source in ESP_LOADERS.items()},
                                  ESP_GRUB_CFG: esp_grub.encode()})
    return {"esp_offset": ESP_FIRST_LBA * SECTOR, "esp_first_lba": ESP_FIRST_LBA,
            "esp_sectors": esp_sectors, "esp_guid": ESP_GUID, "loader": SHIM_PATH,
            "esp_dirs": ["EFI", "EFI/debian"], "root_uuid": ROOT_UUID}


def build(cache):
    """The guest in `cache`/<key>/: returns its description (guest.json),
    with the disk's, kernel's and initramfs' paths."""
    folder = Path(cache) / cache_key()
    described_path = folder / "guest.json"
    if described_path.exists():
        return _with_paths(folder, json.loads(described_path.read_text()))
    if os.geteuid() != 0:
        raise RuntimeError("the Debian guest is built as root (mmdebstrap --mode=root); "
                           f"run once as root to fill {folder}")
    Path(cache).mkdir(parents=True, exist_ok=True)
    for old in Path(cache).iterdir():
        if old.is_dir() and (old / "guest.json").exists() or old.name.endswith(".partial"):
            shutil.rmtree(old, ignore_errors=True)
    partial = Path(cache) / (folder.name + ".partial")
    shutil.rmtree(partial, ignore_errors=True)
    partial.mkdir()
    started = time.monotonic()
    with tempfile.TemporaryDirectory(dir=cache) as scratch:
        root = Path(scratch, "root")
        root.mkdir()
        release = make_root(root)
        made = time.monotonic()
        described = make_disk(root, partial / "disk.img")
    described.update({"release": release, "kernel_args": KERNEL_ARGS,
                      "packages": list(PACKAGES),
                      "seconds": {"mmdebstrap": round(made - started, 1),
                                  "disk": round(time.monotonic() - made, 1)}})
    (partial / "guest.json").write_text(json.dumps(described, indent=1) + "\n")
    os.replace(partial, folder)
    return _with_paths(folder, json.loads(described_path.read_text()))


def _with_paths(folder, described):
    folder = Path(folder).resolve()
    return {**described, "disk": str(folder / "disk.img")}


def main(argv=None):
    parser = argparse.ArgumentParser(description="Build the Debian test guest.")
    parser.add_argument("--cache", required=True)
    args = parser.parse_args(argv)
    started = time.monotonic()
    described = build(args.cache)
    disk = Path(described["disk"])
    print(f"debian guest: {disk} (kernel {described['release']}, "
          f"{disk.stat().st_blocks * 512 // (1024 * 1024)} MiB used of "
          f"{disk.stat().st_size // (1024 * 1024)} MiB), built in {described['seconds']}, "
          f"this call {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
