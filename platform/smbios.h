// Which machine this is, from the firmware's SMBIOS System Information
// (structure type 1): its serial number and UUID, so that an update history
// kept on one stick tells the machines of a service campaign apart.
#pragma once

#include "platform/efi.h"

constexpr UINTN kSerialMax = 64;

struct SystemIdentity {
  // Printable ASCII, anything else shown as '?', cut at kSerialMax; empty
  // when the firmware has no serial number.
  char serial[kSerialMax + 1];
  // "00112233-4455-6677-8899-AABBCCDDEEFF", upper case; empty when the
  // firmware has none or reports it unset (all 00) or absent (all FF).
  char uuid[37];
};

// Through the SMBIOS 3.0 entry point when the firmware has one, the 2.x one
// otherwise; both fields empty without either.
void ReadSystemIdentity(SystemIdentity* identity);

// The same from one structure table in memory, for a firmware's table and
// for tests: `version` is the entry point's major * 256 + minor (the UUID's
// byte order changed in 2.6).
void ReadSystemIdentityFrom(const UINT8* table, UINTN length, UINT16 version,
                            SystemIdentity* identity);
