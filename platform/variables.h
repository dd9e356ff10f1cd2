// Pellory's own firmware variables, kept across resets and readable by the
// OS: the OS's request for one unattended run, and each run's record. All
// live under Pellory's vendor GUID, never another tool's.
#pragma once

#include "contract/contract.h"
#include "platform/efi.h"

constexpr EFI_GUID kPelloryVariableGuid = {
    contract::kVendorGuid.data1, contract::kVendorGuid.data2, contract::kVendorGuid.data3,
    {contract::kVendorGuid.data4[0], contract::kVendorGuid.data4[1], contract::kVendorGuid.data4[2],
     contract::kVendorGuid.data4[3], contract::kVendorGuid.data4[4], contract::kVendorGuid.data4[5],
     contract::kVendorGuid.data4[6], contract::kVendorGuid.data4[7]}};
// Non-volatile, and visible to the OS (RUNTIME_ACCESS) as well as here.
constexpr UINT32 kPelloryVariableAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

// Boot and runtime access, never written to flash: gone at the next reset.
constexpr UINT32 kPelloryVolatileAttributes = EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

// Names are ASCII, as the contract writes them (at most 31 characters).
// Reads `name` into `bytes` (capacity *size; *size becomes the variable's
// length, also when EFI_BUFFER_TOO_SMALL). EFI_NOT_FOUND when it is not
// there; EFI_UNSUPPORTED when the firmware keeps no variables.
[[nodiscard]] EFI_STATUS VariableRead(const char* name, char* bytes, UINTN* size);
// Writes the whole of `bytes` as `name`, with Pellory's attributes (kept
// across resets unless `attributes` says otherwise).
[[nodiscard]] EFI_STATUS VariableWrite(const char* name, const char* bytes, UINTN size,
                                       UINT32 attributes = kPelloryVariableAttributes);
[[nodiscard]] EFI_STATUS VariableDelete(const char* name);

// Restarts (EfiResetCold) or powers off (EfiResetShutdown) the machine.
// Returns only when the firmware could not.
void ResetMachine(EFI_RESET_TYPE type);
