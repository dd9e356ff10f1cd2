// The converter's firmware across the machine's starts. The converter
// runs the firmware it started at power-on: what a host writes to its
// flash starts only when the machine is switched off and on, never at a
// reset. So the converter keeps, in memory of its own that both survive,
// which firmware it runs and which one waits in flash, and the power-on in
// which that one was written.
//
// A power-on is told from a reset by a token that each power-on brings
// anew: the test harness starts every QEMU process with an SMBIOS OEM
// string (type 11) "convsim-power-on=TOKEN", and a reset inside that
// process keeps it. Without a token no start can be told from a reset, so
// a written image never starts (and nothing is remembered).
//
// Freestanding like the model; the driver keeps the memory in a variable.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sim/converter.h"

// A token: 1 to 32 of 0-9 a-z A-Z and '-'.
constexpr uint32_t kSimPowerOnMax = 32;
constexpr char kSimPowerOnTag[] = "convsim-power-on=";
constexpr uint8_t kSimFirmwareMemoryRevision = 1;

struct SimFirmwareMemory {
  uint8_t revision;  // kSimFirmwareMemoryRevision; anything else reads as empty
  uint8_t runsWritten;  // 1: it runs a written image (running*), 0: the scenario's firmware
  uint8_t runningMajor, runningMinor;
  uint8_t waiting;  // 1: a whole image waits in flash (waiting*)
  uint8_t waitingMajor, waitingMinor;
  uint8_t reserved;
  char writtenIn[kSimPowerOnMax + 1];  // the power-on the waiting image was written in
};

// What a machine start did to the converter's firmware.
enum class SimFirmwareStart : uint8_t {
  kNothingWaits,  // no written image waits: it runs what it ran
  kStarted,       // a power-on: the waiting image runs from now on
  kStillWaits,    // a reset (or no token): the waiting image keeps waiting
};

// At a machine start, before the converters are made: the waiting image
// starts when `powerOn` is a token other than the one it was written in;
// `scenario`'s firmware version becomes the one the converter runs. A
// memory that is not sound (revision, flags, an unterminated token) is
// forgotten first. Returns what happened; `*changed` says the memory must
// be kept anew.
SimFirmwareStart SimStartFirmware(SimFirmwareMemory* memory, const char* powerOn,
                                  SimScenario* scenario, bool* changed);

// After a converter call: once `c` holds a whole written image, the memory
// says it waits, with `c`'s scenario's image version and this power-on.
// True when the memory changed (only once per image); false without a
// token.
bool SimRememberWrittenFirmware(SimFirmwareMemory* memory, const SimConverter* c,
                                const char* powerOn);

// The token of the first "convsim-power-on=" string in the OEM strings
// (type 11) of an SMBIOS structure table, into `token` (kSimPowerOnMax + 1
// bytes). False, `token` empty, when there is none or it is not a token.
bool SimFindPowerOn(const uint8_t* table, size_t length, char* token);
