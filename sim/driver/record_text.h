// simrec.txt: the driver's record and each converter's as `key=value`
// lines, for tests that check the converter side of a real-firmware run.
// Portable, so it is also built and tested on the host.
#pragma once

#include <stddef.h>

#include "sim/driver/record_protocol.h"

// How many of each converter's first violations are listed.
constexpr uint32_t kConvsimViolationLines = 8;

// Writes the text into `out`. Returns its length, or 0 when it does not fit
// in `capacity` bytes (nothing partial is ever passed on as complete).
size_t ConvsimRecordText(const ConvsimRecordProtocol& record, char* out, size_t capacity);
