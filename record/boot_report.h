// The record on the boot server of a network start: the factory line that
// booted the machine learns each run's outcome where it works, without
// booting the machine again.
#pragma once

#include "platform/efi.h"

// PUTs the record's bytes as http://SERVER/.../pellory-results/NAME, NAME
// being the card's MAC address in 12 lower-case hexadecimal digits, '-',
// the run's start and ".txt". `time` is the record's time field; the first
// call of a run keeps it as the start, so both sends name one file. False
// when the server did not take it.
[[nodiscard]] bool SendToBootServer(const char* time, const char* bytes, UINTN size);
