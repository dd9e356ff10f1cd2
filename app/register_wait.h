#pragma once

#include "platform/efi.h"

// Reads `address` once, then re-reads it up to `rereads` times, one poll
// interval apart, until it holds `expected`. True when the last value read
// is `expected`; that value is left in `last`. Only the byte is judged,
// never the status of the read.
[[nodiscard]] bool WaitForRegister(UINT32 address, UINT8 expected, UINT32 rereads, UINT8* last);
