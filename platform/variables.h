// Pellory's own firmware variables, kept across resets and readable by the
// OS: the OS's request for one unattended run, and each run's record. All
// live under Pellory's vendor GUID, never another tool's.
#pragma once

#include "platform/efi.h"

constexpr EFI_GUID kPelloryVariableGuid = {
    0xbe057045, 0xd74a, 0x4ebf, {0x9e, 0xfa, 0x59, 0x6b, 0x51, 0xb4, 0xc9, 0x9b}};
// Non-volatile, and visible to the OS (RUNTIME_ACCESS) as well as here.
constexpr UINT32 kPelloryVariableAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

// Reads `name` into `bytes` (capacity *size; *size becomes the variable's
// length, also when EFI_BUFFER_TOO_SMALL). EFI_NOT_FOUND when it is not
// there; EFI_UNSUPPORTED when the firmware keeps no variables.
[[nodiscard]] EFI_STATUS VariableRead(const char16_t* name, char* bytes, UINTN* size);
// Writes the whole of `bytes` as `name`, with Pellory's attributes.
[[nodiscard]] EFI_STATUS VariableWrite(const char16_t* name, const char* bytes, UINTN size);
[[nodiscard]] EFI_STATUS VariableDelete(const char16_t* name);

// Restarts (EfiResetCold) or powers off (EfiResetShutdown) the machine.
// Returns only when the firmware could not.
void ResetMachine(EFI_RESET_TYPE type);
