// The one record shared across the run. Identification fills in the
// converter's part before anything else reads it; it stays unchanged
// afterwards. The outcome is set once, where the run ends, for the history.
// It lives here, in the lowest layer that reads it: every link call reads
// the port and the quiet flag, and the flow above includes it from here.
#pragma once

#include "platform/efi.h"

struct RunState {
  UINT32 port;                // display port every driver call addresses
  UINT8 reportI2cReadErrors;  // 0 while probing: a silent port is normal then
  UINT32 vendorBlockBase;     // DPCD 0x500 or 0x400
  UINT8 converterOui[3];      // in register order
  UINT8 bootloader;           // as read: major in the high nibble
  UINT8 firmwareMajor;        // the firmware the converter ran before
  UINT8 firmwareMinor;
  char outcome[128];          // "successful", "failed" or "stopped: <message>"
};

extern constinit RunState gRunState;
