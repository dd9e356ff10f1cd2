// What the simulator driver's files share: its record, the volume reader,
// the fast stall, the watchdog watch, the timed binding and a console line.
// Only the simulator's images (convsim.efi, convsim-dump.efi,
// convsim-boot.efi) are built from these; nothing else includes it.
#pragma once

#include "platform/efi.h"
#include "sim/driver/record_protocol.h"

// The record the driver installs; the fast stall and the timed binding
// keep its counts and timestamps up to date.
extern constinit ConvsimRecordProtocol gConvsimRecord;

inline UINT64 ReadTsc() { return __builtin_ia32_rdtsc(); }

// Reads the file `name` at the root of the volume the image was loaded
// from into `buffer`. EFI_NOT_FOUND when it is not there,
// EFI_BAD_BUFFER_SIZE when it holds more than `capacity` bytes.
[[nodiscard]] EFI_STATUS ReadRootFile(EFI_HANDLE image, EFI_BOOT_SERVICES* bs, const char16_t* name,
                                      char* buffer, UINTN capacity, UINTN* length);

// TSC ticks a second, from a real 10 ms stall of the firmware's Stall.
UINT64 MeasureTscHz(EFI_BOOT_SERVICES* bs);

// Replaces bs->Stall with one that skips the program's 500,000 us polls,
// counting them, and forwards every other length; the table's CRC is
// made valid again.
void InstallFastStall(EFI_BOOT_SERVICES* bs);
// Makes the boot services table's CRC valid again after a function in it
// was replaced.
void RefreshTableCrc(EFI_BOOT_SERVICES* bs);

// Replaces bs->SetWatchdogTimer with one that keeps the timeout it sets in
// the record (the timed binding copies it at the first converter call) and
// forwards the call.
void InstallWatchdogWatch(EFI_BOOT_SERVICES* bs);

// Puts timing wrappers in place of the binding's interface records on the
// handles SimInstall made, so every converter call is timestamped.
[[nodiscard]] EFI_STATUS InstallTimedBinding(EFI_BOOT_SERVICES* bs, const EFI_HANDLE* handles,
                                             unsigned count);
// From now on the timed binding resets the machine (cold) right after the
// write that makes a converter's committed pages reach `pages`.
void ArmResetAfterPages(EFI_SYSTEM_TABLE* st, UINT32 pages);

// The converter's firmware at this machine start (sim/power_cycle.h):
// reads the power-on token and the firmware memory, starts an image that
// waits when this is a power-on, and sets `scenario`'s version to the one
// the converter runs. Returns the SimFirmwareStart, as a number.
UINT32 StartConverterFirmware(EFI_SYSTEM_TABLE* st, SimScenario* scenario);
// After a converter call: once the converter holds a whole written image,
// the memory keeps it as waiting for the next power-on.
void KeepWrittenFirmware(unsigned converter);
// The power-on token this start found; empty when there is none.
const char* ConverterPowerOn();

// One printf-style line on the console (%d %u %x %s with 8-bit strings);
// "\n" becomes CR LF.
void Say(EFI_SYSTEM_TABLE* st, const char* format, ...);
