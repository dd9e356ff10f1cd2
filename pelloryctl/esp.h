// The EFI System Partition the program goes on: a mounted GPT partition of
// the ESP type on a disk that stays in the machine, read from the mount
// table, sysfs and the disk's own partition table (through libblkid).
#pragma once

#include <cstdint>
#include <string>

#include "pelloryctl/outcome.h"

struct Esp {
  std::string mount_point;  // as the machine names it, e.g. /boot/efi
  uint32_t partition = 0;   // GPT entry number, from 1
  uint64_t start = 0;       // in logical blocks of the disk
  uint64_t size = 0;
  uint8_t unique_guid[16] = {};  // the HD node's signature
  bool read_only = false;        // mounted ro: the copy could not be written
};

struct Mount {
  std::string mount_point, fstype, options, device;  // device: major:minor
  std::string root;  // the folder of the file system mounted there; "/" unless a bind mount
};

// Mounted with "ro" among its own options.
bool MountedReadOnly(const Mount& mount);
// The last mount of mount_point in /proc/self/mountinfo (the one in view).
Outcome FindMount(const std::string& mount_point, Mount* mount);
// Done when esp_dir (or /boot/efi, then /efi, when esp_dir is empty) is
// an ESP; otherwise fails with the one line that says why not.
Outcome FindEsp(const std::string& esp_dir, Esp* esp);
// The same, and fails when the ESP is mounted read-only: nothing could be
// copied to it or removed from it.
Outcome FindWritableEsp(const std::string& esp_dir, Esp* esp);
