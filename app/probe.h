// Finding the port: shared by the program's identification and the
// resident driver's reading, so both look where the other looks.
#pragma once

#include "platform/efi.h"

// Tries ports 0, 2, 4, 6, 8 and 10 in that order with a one-byte read of
// the adaptor registers and leaves the run state's port at the first that
// answers; at the last one tried when none does. The caller keeps I2C
// read errors quiet: a port without the converter fails by nature. True
// when a port answered.
[[nodiscard]] bool ProbePort();
