// The one door to gnu-efi's headers for every build of this program.
// They carry no extern "C" guards and define NULL as a void pointer, so
// they are included here once, after the freestanding standard headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

extern "C" {
#include <efi.h>
#include <efishell.h>
}

// u"..." literals are char16_t; the firmware wants CHAR16 (UINT16).
inline CHAR16* Wide(const char16_t* text) {
  return reinterpret_cast<CHAR16*>(const_cast<char16_t*>(text));
}
