// The simulator driver's record protocol: a data-only interface that
// convsim.efi installs on its image handle so that convsim-dump.efi (or a
// test) can read what the converters saw after the program has run. The
// driver stays resident, so the pointers stay valid until the machine
// resets. Both images are built from this header; `revision` and
// `converterSize` let a reader refuse a driver built from other sources.
#pragma once

#include "platform/efi.h"
#include "sim/converter.h"
#include "sim/gop_binding.h"

// {F340AC53-EBB4-49DF-8916-9EAB6D99E74A}
constexpr EFI_GUID kConvsimRecordGuid = {
    0xF340AC53, 0xEBB4, 0x49DF, {0x89, 0x16, 0x9E, 0xAB, 0x6D, 0x99, 0xE7, 0x4A}};
constexpr UINT32 kConvsimRecordRevision = 3;

// The stall length of the program's waits, the one the fast stall skips.
constexpr UINTN kConvsimSkippedStall = 500000;

// watchdogSeconds before anyone set the watchdog after the driver started:
// the timeout in force then is not known to the driver.
constexpr UINT64 kConvsimWatchdogUnknown = ~0ull;

struct ConvsimRecordProtocol {
  UINT32 revision;            // kConvsimRecordRevision
  UINT32 converterSize;       // sizeof(SimConverter) in the driver
  UINT32 converterCount;      // handles of the scenario, 1..kSimMaxHandles
  UINT32 protocolsInstalled;  // 0: installProtocols = false (or the install failed)
  UINT32 fastStall;           // 1: Stall is replaced
  UINT32 firmwareStart;       // SimFirmwareStart at the driver's start
  SimConverter* converters[kSimMaxHandles];  // converters[i] is behind handle i
  UINT64 skippedStalls;                      // 500,000 us stalls answered at once
  UINT64 forwardedStalls;                    // other lengths, passed to the firmware's Stall
  UINT64 tscFirstAccess;                     // TSC before the first converter call; 0 = none yet
  UINT64 tscLastAccess;                      // TSC after the latest converter call
  UINT64 tscHz;                              // TSC ticks across a real 10 ms stall, times 100
  UINT64 watchdogSets;                       // SetWatchdogTimer calls since the driver started
  UINT64 watchdogSeconds;        // latest timeout set (0: off); kConvsimWatchdogUnknown before any
  UINT64 watchdogAtFirstAccess;  // watchdogSeconds when the first converter call came
};

static_assert(offsetof(ConvsimRecordProtocol, converters) == 24);
static_assert(offsetof(ConvsimRecordProtocol, skippedStalls) == 24 + 8 * kSimMaxHandles);
static_assert(sizeof(ConvsimRecordProtocol) == 88 + 8 * kSimMaxHandles);
