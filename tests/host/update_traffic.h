// The link traffic of one whole, successful update against a converter that
// answers on port 0 and satisfies every wait at its first read, counted
// from the flow's steps. The program's test and the floor's test both hold
// their runs to it.
#pragma once

#include <stdint.h>

#include "payload/firmware_image.h"

namespace update_traffic {

// "Download", sent one character per handshake step.
constexpr uint32_t kKeyword = 8;
constexpr uint32_t kPages = kPageCount;

// Source OUI (3); per keyword character the command register and 0x30C
// (2 x 8); the start command and the status cleared after it (1 + 1); per
// page its command and the status cleared after its read-back (2 x 256);
// the finish command (1).
constexpr uint32_t kDpcdWrites = 3 + 2 * kKeyword + 1 + 1 + 2 * kPages + 1;
static_assert(kDpcdWrites == 534);

// Identification: 0x005, the OUI, bootloader, firmware major and minor
// (1 + 3 + 1 + 2); 0x30C read once (1); per keyword character the command
// register and the echo (2 x 8); the start acknowledgement (1); per page
// its acknowledgement (256); the finish acknowledgement (1).
constexpr uint32_t kDpcdReads = 1 + 3 + 1 + 2 + 1 + 2 * kKeyword + 1 + kPages + 1;
static_assert(kDpcdReads == 282);

// Protocol-converter mode at the start (1); every byte of every page
// (256 x 256); the mode again at the very end (1).
constexpr uint32_t kI2cWrites = 1 + kPages * kPageSize + 1;
static_assert(kI2cWrites == 65538);

// The probe of port 0 and the adaptor block (1 + 1); each page read back
// whole (256).
constexpr uint32_t kI2cReads = 1 + 1 + kPages;
static_assert(kI2cReads == 258);

}  // namespace update_traffic
