#include "output/console.h"

#include <stdarg.h>

#include "output/format.h"
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
