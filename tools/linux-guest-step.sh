#!/bin/sh
# The test guest's step runner (guest-step.service, after the ESP is
# mounted at /boot/efi and sshd started; tools/debian_guest.py installs
# it). Boot N of a disk runs \EFI\linux\steps\N.sh from the ESP, or
# every.sh when there is no N.sh; \EFI\linux\boots counts the boots. The
# step's output lies between the markers below, on ttyS0. A step says what
# follows it with `after reboot`, `after stay` (the guest keeps running)
# or `after poweroff`, the default. A boot with no step to run stays up.
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
  exit 0
fi
rm -f $AFTER_FILE
echo "==GUEST $boot BEGIN uptime=$(cut -d' ' -f1 /proc/uptime)=="
sh "$step"
rc=$?
echo "==GUEST $boot END rc=$rc uptime=$(cut -d' ' -f1 /proc/uptime)=="
sync
case "$(cat $AFTER_FILE 2>/dev/null || echo poweroff)" in
  reboot) systemctl --no-block reboot ;;
  stay) ;;
  *) systemctl --no-block poweroff ;;
esac
exit 0
