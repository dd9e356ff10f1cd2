// A console line for the simulator's two images: the program's formatter
// into 8-bit text, widened for the firmware's OutputString.
#include <stdarg.h>

#include "output/format.h"
#include "sim/driver/driver_parts.h"
#include "text/text.h"

void Say(EFI_SYSTEM_TABLE* st, const char* format, ...) {
  char narrow[256];
  va_list args;
  va_start(args, format);
  const size_t length = FormatText(narrow, sizeof(narrow), HexCase::PrintfRules, format, args);
  va_end(args);
  // Room for every character as CR LF: nothing is cut.
  CHAR16 wide[2 * sizeof(narrow) + 1];
  text::Writer<CHAR16> line = text::WriterOn(wide, 2 * sizeof(narrow));
  (void)text::PutCrLf(&line, narrow, length);
  wide[line.used] = 0;
  (void)st->ConOut->OutputString(st->ConOut, wide);
}
