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

// The firmware's clock, as its real-time clock keeps it. False when the
// firmware has no runtime services or cannot read the clock.
[[nodiscard]] bool ReadTime(EFI_TIME* time);

// True when some handle carries the protocol `guid`.
[[nodiscard]] bool ProtocolPresent(const EFI_GUID& guid);

// The boot manager signals ReadyToBoot right before it starts a boot
// option, once every console and graphics driver is connected. Makes an
// event whose `notify` runs then, at TPL_CALLBACK.
[[nodiscard]] EFI_STATUS NotifyAtReadyToBoot(EFI_EVENT_NOTIFY notify, EFI_EVENT* event);
// Its status is not examined: an event that can not be closed is one the
// firmware already dropped.
void EventClose(EFI_EVENT event);
