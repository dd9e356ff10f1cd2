// One formatter for both console channels. The channels differ only in the
// case of %x: standard output follows printf (lower case), the wide console
// follows the firmware's print service (upper case). Supported: %d %u %x %X
// %c %s %%, with an optional 0 flag and a field width.
#pragma once

#include <stdarg.h>
#include <stddef.h>

enum class HexCase { PrintfRules, FirmwareRules };

// Formats into `out` (capacity `capacity` including the terminator), cutting
// what does not fit. Returns the characters written, terminator excluded.
size_t FormatText(char* out, size_t capacity, HexCase hexCase, const char* format, va_list args);
// The same with its arguments, printf rules.
size_t FormatString(char* out, size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
size_t FormatText(char16_t* out, size_t capacity, HexCase hexCase, const char16_t* format,
                  va_list args);
