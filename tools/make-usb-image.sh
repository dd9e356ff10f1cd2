#!/bin/sh
# make-usb-image.sh IMAGE PELLORY_EFI
# A FAT volume holding pellory.efi at its root, ready to be written to a
# stick (dd if=IMAGE of=/dev/sdX). Built with mtools: no root, no mounts.
set -eu
image=$1 program=$2
rm -f "$image"
# 32 MiB: 65536 sectors of 512 bytes.
mformat -i "$image" -C -T 65536 -h 64 -s 32 -v PELLORY ::
mcopy -i "$image" "$program" ::/pellory.efi
echo "built $image holding pellory.efi ($(stat -c %s "$program") bytes)"
