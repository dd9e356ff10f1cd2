#include "pelloryctl/machine.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "pelloryctl/esp.h"
#include "pelloryctl/system_paths.h"
#include "pelloryctl/variables.h"

namespace {

constexpr long kEfivarfsMagic = 0xde5e81e4;
// What the firmware's store spends on a variable beside its name and data
// (EDK2's authenticated header is 60 bytes, rounded up).
constexpr size_t kVarOverhead = 64;

}  // namespace

Outcome CheckMachine(bool to_write) {
  if (access(SystemPath("/sys/firmware/efi").c_str(), F_OK) != 0)
    return Fail("this machine was not booted with UEFI (no /sys/firmware/efi)", errno);
  if (to_write && geteuid() != 0) return Fail("pelloryctl must run as root", EPERM);
  Mount mount;
  if (!FindMount("/sys/firmware/efi/efivars", &mount) || mount.fstype != "efivarfs" ||
      !efi_variables_supported())
    return Fail("efivarfs is not mounted at /sys/firmware/efi/efivars");
  if (to_write && MountedReadOnly(mount))
    return Fail("efivarfs is mounted read-only at /sys/firmware/efi/efivars "
                "(mount -o remount,rw /sys/firmware/efi/efivars)",
                EROFS);
  return Done();
}

bool RoomEnough(const struct statfs& store, size_t needed) {
  if (store.f_type != kEfivarfsMagic || store.f_blocks == 0) return true;
  return uint64_t(store.f_bavail) * uint64_t(store.f_bsize) >= needed;
}

Outcome CheckRoom(size_t needed) {
  const char* dir = getenv("EFIVARFS_PATH");
  struct statfs store = {};
  if (statfs(dir ? dir : "/sys/firmware/efi/efivars/", &store) != 0)
    return Fail("the firmware's variable store can not be measured", errno);
  if (!RoomEnough(store, needed))
    return Fail("not enough room in the firmware's variable store (" +
                    std::to_string(uint64_t(store.f_bavail) * uint64_t(store.f_bsize)) + " bytes free, " +
                    std::to_string(needed) + " needed)",
                ENOSPC);
  return Done();
}

size_t VariableCost(const std::string& name, size_t data) { return kVarOverhead + 2 * (name.size() + 1) + data; }

Outcome SecureBootOn(bool* on) {
  std::vector<uint8_t> value;
  if (Outcome read = VarGet(efi_guid_global, "SecureBoot", &value, 16); !read)
    return Fail("SecureBoot can not be read", read.error);
  *on = value.size() == 1 && value[0] == 1;
  return Done();
}
