// What every link call reads: the port it addresses and whether a failing
// I2C read is worth a message. Identification sets both before anything else
// reads them. The rest of what a run knows is its record (record/).
#pragma once

#include "platform/efi.h"

struct RunState {
  UINT32 port;                // display port every driver call addresses
  UINT8 reportI2cReadErrors;  // 0 while probing: a silent port is normal then
  // The resident driver reads while the firmware's own screen shows: the
  // link then prints nothing at all, and its reading tells what failed.
  bool silent;
};

extern constinit RunState gRunState;
