#include "output/format.h"

#include <stdint.h>

namespace {

template <typename Char>
struct Sink {
  Char* out;
  size_t capacity;
  size_t used;

  void Put(Char c) {
    if (used + 1 < capacity) out[used++] = c;
  }
};

// Digits of `value` in `base`, most significant first, into `digits`.
int Digits(uint64_t value, unsigned base, bool upper, char* digits) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char reversed[20];
  int count = 0;
  do {
    reversed[count++] = set[value % base];
    value /= base;
  } while (value != 0);
  for (int i = 0; i < count; i++) digits[i] = reversed[count - 1 - i];
  return count;
}

template <typename Char>
void PutNumber(Sink<Char>& sink, uint64_t magnitude, bool negative, unsigned base, bool upper,
               int width, bool zeroFill) {
  char digits[20];
  int count = Digits(magnitude, base, upper, digits);
  int padding = width - count - (negative ? 1 : 0);
  if (!zeroFill) {
    for (; padding > 0; padding--) sink.Put(' ');
  }
  if (negative) sink.Put('-');
  for (; padding > 0; padding--) sink.Put('0');
  for (int i = 0; i < count; i++) sink.Put(static_cast<Char>(digits[i]));
}

template <typename Char>
size_t Format(Char* out, size_t capacity, HexCase hexCase, const Char* format, va_list args) {
  if (capacity == 0) return 0;
  Sink<Char> sink{out, capacity, 0};
  for (const Char* p = format; *p != 0; p++) {
    if (*p != '%') {
      sink.Put(*p);
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
    switch (*p) {
      case 'd': {
        int value = va_arg(args, int);
        uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        PutNumber(sink, magnitude, value < 0, 10, false, width, zeroFill);
        break;
      }
      case 'u':
        PutNumber(sink, va_arg(args, unsigned), false, 10, false, width, zeroFill);
        break;
      case 'x':
        PutNumber(sink, va_arg(args, unsigned), false, 16, hexCase == HexCase::FirmwareRules, width,
                  zeroFill);
        break;
      case 'X':
        PutNumber(sink, va_arg(args, unsigned), false, 16, true, width, zeroFill);
        break;
      case 'c':
        sink.Put(static_cast<Char>(va_arg(args, int)));
        break;
      case 's': {
        const Char* text = va_arg(args, const Char*);
        for (; text != nullptr && *text != 0; text++) sink.Put(*text);
        break;
      }
      case '%':
        sink.Put('%');
        break;
      case 0:
        p--;  // a lone % at the end: stop at the terminator
        break;
      default:
        sink.Put('%');
        sink.Put(*p);
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
