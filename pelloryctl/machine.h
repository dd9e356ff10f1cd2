// What pelloryctl demands of the machine before it changes anything:
// booted with UEFI, run as root, efivarfs mounted writable, and room in
// the firmware's variable store.
#pragma once

#include <sys/vfs.h>

#include <cstddef>
#include <string>

#include "pelloryctl/outcome.h"

// Fails with the one line that says what is not as it should be.
// Reading needs UEFI and efivarfs; writing also root and a writable mount.
Outcome CheckMachine(bool to_write);
// The kernel's word on the variable store (efivarfs statfs, which Debian
// 12's kernel fills from QueryVariableInfo; f_bavail already leaves out
// what an x86 kernel keeps free). Stores that report nothing pass: the
// write itself then answers ENOSPC.
bool RoomEnough(const struct statfs& store, size_t needed);
Outcome CheckRoom(size_t needed);
// What the store spends on a variable of that name and data length.
size_t VariableCost(const std::string& name, size_t data);
// SecureBoot of the EFI global GUID is 1.
Outcome SecureBootOn(bool* on);
