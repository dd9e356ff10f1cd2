#include "output/console.h"

#include <stdarg.h>

#include "output/format.h"
#include "platform/services.h"
#include "platform/stream.h"
#include "text/text.h"

namespace {
constexpr size_t kStdLine = 1024;
}  // namespace

void StdPrint(const char* format, ...) {
  char text[kStdLine];
  va_list args;
  va_start(args, format);
  size_t length = FormatText(text, sizeof text, HexCase::PrintfRules, format, args);
  va_end(args);
  StreamWrite(StandardOutput(), text, length);
}

void StdFlush() { StreamFlush(StandardOutput()); }

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
