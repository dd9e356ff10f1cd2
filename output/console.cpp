#include "output/console.h"

#include <stdarg.h>

#include "output/format.h"
#include "platform/services.h"
#include "platform/stream.h"

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
  char16_t text[kWideCallLimit + 1];
  va_list args;
  va_start(args, format);
  size_t length = FormatText(text, sizeof text / sizeof text[0], HexCase::FirmwareRules, format, args);
  va_end(args);

  // The cut never splits a CR LF pair.
  CHAR16 shown[kWideCallLimit + 1];
  size_t used = 0;
  for (size_t i = 0; i < length; i++) {
    size_t need = text[i] == u'\n' ? 2 : 1;
    if (used + need > kWideCallLimit) break;
    if (text[i] == u'\n') shown[used++] = u'\r';
    shown[used++] = text[i];
  }
  shown[used] = 0;
  (void)SystemTable()->ConOut->OutputString(SystemTable()->ConOut, shown);
}
