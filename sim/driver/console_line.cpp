// A console line for the simulator's two images: the program's formatter
// into 8-bit text, widened for the firmware's OutputString.
#include <stdarg.h>

#include "output/format.h"
#include "sim/driver/driver_parts.h"

void Say(EFI_SYSTEM_TABLE* st, const char* format, ...) {
  char narrow[256];
  va_list args;
  va_start(args, format);
  const size_t length = FormatText(narrow, sizeof(narrow), HexCase::PrintfRules, format, args);
  va_end(args);
  CHAR16 wide[2 * sizeof(narrow) + 1];
  size_t used = 0;
  for (size_t i = 0; i < length; ++i) {
    if (narrow[i] == '\n') wide[used++] = '\r';
    wide[used++] = static_cast<unsigned char>(narrow[i]);
  }
  wide[used] = 0;
  (void)st->ConOut->OutputString(st->ConOut, wide);
}
