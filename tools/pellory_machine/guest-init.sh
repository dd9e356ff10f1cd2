#!/bin/sh
# /init of the busybox test guest (tools/linux_guest.py puts it in the
# initramfs). It brings up what a real OS gives a program that schedules a
# firmware update: proc, sysfs, devtmpfs, efivarfs and the EFI System
# Partition at /boot/efi. Then the step runner (guest-step.sh) runs this
# boot's step from the ESP, so one cached initramfs serves every test; a
# guest that has nothing more to do, or is asked to stay, powers off.
export PATH=/bin:/usr/bin:/sbin:/usr/sbin
ESP=/boot/efi

say() { echo "guest: $*"; }

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp

# Debian's cloud kernel builds all of these as modules.
for module in efivarfs virtio_pci virtio_blk vfat nls_cp437 nls_ascii nls_utf8 nls_iso8859-1 \
              virtio_net; do
  modprobe "$module" || say "modprobe $module failed"
done
mount -t efivarfs efivarfs /sys/firmware/efi/efivars || say "no efivarfs"

# The disk's partition shows up a moment after virtio_blk binds.
tries=0
while [ ! -b /dev/vda1 ] && [ "$tries" -lt 200 ]; do
  sleep 0.05
  tries=$((tries + 1))
done
mount -t vfat -o flush /dev/vda1 $ESP || say "the ESP (/dev/vda1) can not be mounted"

# An OS keeps /var/lib on its own disk across reboots (pelloryctl keeps
# what it asked for there); this guest's only disk is the ESP, so a folder
# of it serves.
mkdir -p $ESP/EFI/linux/var-lib /var/lib
mount --bind $ESP/EFI/linux/var-lib /var/lib || say "no /var/lib"

guest-step
next=$(cat /run/guest-after 2>/dev/null || echo poweroff)
umount /var/lib
umount $ESP
sync
case "$next" in
  reboot) reboot -f ;;
  *) poweroff -f ;;
esac
# reboot -f returns before the reset takes effect.
sleep 60
