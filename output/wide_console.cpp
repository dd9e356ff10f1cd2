// The wide console channel, in a file of its own: the link layer prints
// through it, and an image that has no standard output (the resident
// driver) links this and not the streams.
#include <stdarg.h>

#include "output/console.h"
#include "output/format.h"
#include "platform/services.h"
#include "text/text.h"

void ConPrint(const char16_t* format, ...) {
  char16_t formatted[kWideCallLimit + 1];
  va_list args;
  va_start(args, format);
  size_t length = FormatText(formatted, kWideCallLimit + 1, HexCase::FirmwareRules, format, args);
  va_end(args);

  // The cut never splits a CR LF pair.
  CHAR16 shown[kWideCallLimit + 1];
  text::Writer<CHAR16> line = text::WriterOn(shown, kWideCallLimit);
  (void)text::PutCrLf(&line, formatted, length);
  shown[line.used] = 0;
  (void)SystemTable()->ConOut->OutputString(SystemTable()->ConOut, shown);
}
