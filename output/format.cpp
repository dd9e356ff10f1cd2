#include "output/format.h"

#include <stdint.h>

#include "text/text.h"

namespace {

template <typename Char>
size_t Format(Char* out, size_t capacity, HexCase hexCase, const Char* format, va_list args) {
  if (capacity == 0) return 0;
  // What does not fit is cut; the last place is the terminator's.
  text::Writer<Char> sink = text::WriterOn(out, capacity - 1);
  for (const Char* p = format; *p != 0; p++) {
    if (*p != '%') {
      text::PutChar(&sink, *p);
      continue;
    }
    p++;
    bool zeroFill = false;
    int width = 0;
    if (*p == '0') {
      zeroFill = true;
      p++;
    }
    for (; *p >= '0' && *p <= '9'; p++) width = width * 10 + (*p - '0');
    text::Number how = {.width = width, .zeroFill = zeroFill};
    switch (*p) {
      case 'd': {
        int value = va_arg(args, int);
        how.negative = value < 0;
        text::PutNumber(&sink, value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value), how);
        break;
      }
      case 'u':
        text::PutNumber(&sink, va_arg(args, unsigned), how);
        break;
      case 'x':
      case 'X':
        how.base = 16;
        how.upper = *p == 'X' || hexCase == HexCase::FirmwareRules;
        text::PutNumber(&sink, va_arg(args, unsigned), how);
        break;
      case 'c':
        text::PutChar(&sink, static_cast<Char>(va_arg(args, int)));
        break;
      case 's': {
        const Char* string = va_arg(args, const Char*);
        if (string != nullptr) text::Put(&sink, string);
        break;
      }
      case '%':
        text::PutChar(&sink, '%');
        break;
      case 0:
        p--;  // a lone % at the end: stop at the terminator
        break;
      default:
        text::PutChar(&sink, '%');
        text::PutChar(&sink, *p);
        break;
    }
  }
  out[sink.used] = 0;
  return sink.used;
}

}  // namespace

size_t FormatText(char* out, size_t capacity, HexCase hexCase, const char* format, va_list args) {
  return Format(out, capacity, hexCase, format, args);
}

size_t FormatString(char* out, size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  size_t length = Format(out, capacity, HexCase::PrintfRules, format, args);
  va_end(args);
  return length;
}

size_t FormatText(char16_t* out, size_t capacity, HexCase hexCase, const char16_t* format,
                  va_list args) {
  return Format(out, capacity, hexCase, format, args);
}
