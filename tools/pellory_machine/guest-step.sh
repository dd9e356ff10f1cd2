#!/bin/sh
# The test guests' step runner, at every boot once the EFI System Partition
# is mounted at /boot/efi (the busybox guest's /init runs it, the Debian
# guest's guest-step.service after sshd; pellory_machine.linux reads what it
# prints). Boot N of a disk runs \EFI\linux\steps\N.sh from the ESP, or
# every.sh when there is no N.sh; \EFI\linux\boots counts the boots. The
# step's output lies between the markers below, on ttyS0. A step says what
# follows it with `after reboot`, `after stay` (the guest keeps running) or
# `after poweroff`, the default; a boot with no step to run stays. The
# guest does what follows, as its own start-up does it, after this ends:
# its word is in /run/guest-after.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
AFTER_FILE=/run/guest-after
ESP=/boot/efi
STEPS=$ESP/EFI/linux/steps
COUNT=$ESP/EFI/linux/boots

mkdir -p "$STEPS"
boot=$(( $(cat $COUNT 2>/dev/null || echo 0) + 1 ))
echo "$boot" > $COUNT
sync
export BOOT="$boot"

if [ -f "$STEPS/$boot.sh" ]; then
  step="$STEPS/$boot.sh"
elif [ -f "$STEPS/every.sh" ]; then
  step="$STEPS/every.sh"
else
  echo "guest: boot $boot, no step"
  echo stay > $AFTER_FILE
  exit 0
fi
echo poweroff > $AFTER_FILE
echo "==GUEST $boot BEGIN uptime=$(cut -d' ' -f1 /proc/uptime)=="
sh "$step"
rc=$?
echo "==GUEST $boot END rc=$rc uptime=$(cut -d' ' -f1 /proc/uptime)=="
sync
exit 0
