// The firmware services the rest of the program calls, bound once at start.
#pragma once

#include "platform/efi.h"

// Keeps the image handle and system table the firmware started us with.
void PlatformBind(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable);

EFI_HANDLE ImageHandle();
EFI_SYSTEM_TABLE* SystemTable();
EFI_BOOT_SERVICES* BootServices();

// Loader-data memory from the firmware pool; null when the pool refuses.
[[nodiscard]] void* PoolAllocate(UINTN size);
void PoolFree(void* buffer);

// Holds the program for the given time. The status is not examined: a stall
// that returns early only shortens a wait the converter was already late for.
void StallMicroseconds(UINTN microseconds);

// Turns the firmware's watchdog off. Its status is not examined: a firmware
// without a watchdog has nothing to turn off.
void WatchdogOff();
