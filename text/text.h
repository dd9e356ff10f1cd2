// The small text tools every room uses, written once: a piece of text that
// is not terminated, one bounded writer and one line reader. Freestanding
// (the firmware, the simulator and pelloryctl build it alike); nothing here
// allocates, and a writer never writes past its capacity.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace text {

// Characters before the terminator.
template <typename Char>
constexpr size_t Length(const Char* text) {
  size_t n = 0;
  while (text[n] != 0) n++;
  return n;
}

// Bytes that are not terminated: a piece of a larger text.
struct Span {
  const char* text;
  size_t length;
};

// The span holds exactly `word`.
constexpr bool Is(Span span, const char* word) {
  size_t i = 0;
  for (; i < span.length && word[i] != 0; i++)
    if (span.text[i] != word[i]) return false;
  return i == span.length && word[i] == 0;
}

// The line that starts at *at, without its line feed, and *at moved past
// it. False when *at is at the end. `ended` tells whether a line feed ended
// the line (the last one may have none).
constexpr bool ReadLine(Span all, size_t* at, Span* line, bool* ended) {
  if (*at >= all.length) return false;
  size_t end = *at;
  while (end < all.length && all.text[end] != '\n') end++;
  *line = {all.text + *at, end - *at};
  *ended = end < all.length;
  *at = *ended ? end + 1 : end;
  return true;
}

// A bounded text being written. Once something did not fit, nothing more
// is added and `fits` stays false; what was written before stays.
template <typename Char>
struct Writer {
  Char* bytes;
  size_t capacity;
  size_t used;
  bool fits;
};

template <typename Char>
constexpr Writer<Char> WriterOn(Char* bytes, size_t capacity) {
  return {bytes, capacity, 0, true};
}

template <typename Char, typename From>
constexpr void PutChar(Writer<Char>* w, From c) {
  if (!w->fits) return;
  if (w->used == w->capacity) {
    w->fits = false;
    return;
  }
  w->bytes[w->used++] = static_cast<Char>(c);
}

template <typename Char, typename From>
constexpr void Put(Writer<Char>* w, const From* text) {
  for (; w->fits && *text != 0; text++) PutChar(w, *text);
}

constexpr void Put(Writer<char>* w, Span span) {
  for (size_t i = 0; i < span.length; i++) PutChar(w, span.text[i]);
}

// How a number is written: its base, the case of its hexadecimal digits,
// and a field width filled with zeros (after the sign) or spaces (before).
struct Number {
  unsigned base = 10;
  bool upper = false;
  int width = 0;
  bool zeroFill = true;
  bool negative = false;
};

template <typename Char>
constexpr void PutNumber(Writer<Char>* w, uint64_t magnitude, Number how = {}) {
  const char* set = how.upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char reversed[64] = {};
  int count = 0;
  do {
    reversed[count++] = set[magnitude % how.base];
    magnitude /= how.base;
  } while (magnitude != 0);
  int padding = how.width - count - (how.negative ? 1 : 0);
  for (; !how.zeroFill && padding > 0; padding--) PutChar(w, ' ');
  if (how.negative) PutChar(w, '-');
  for (; padding > 0; padding--) PutChar(w, '0');
  while (count > 0) PutChar(w, reversed[--count]);
}

// A field of a comma-separated line (RFC 4180): quoted when it holds a
// comma, a quote or a line break, each quote inside doubled.
constexpr void PutCsvField(Writer<char>* w, const char* field) {
  bool quoted = false;
  for (const char* c = field; *c != 0; c++) quoted = quoted || *c == ',' || *c == '"' || *c == '\r' || *c == '\n';
  if (quoted) PutChar(w, '"');
  for (const char* c = field; *c != 0; c++) {
    if (*c == '"') PutChar(w, '"');
    PutChar(w, *c);
  }
  if (quoted) PutChar(w, '"');
}

// A character's code: bytes above 0x7F widen as themselves, not as negative
// numbers.
constexpr unsigned char Code(char c) { return static_cast<unsigned char>(c); }
constexpr char16_t Code(char16_t c) { return c; }

// Copies `count` characters, each line feed as CR LF, and stops before one
// that does not fit (a CR LF pair is never split). Returns how many were
// taken; `fits` stays true, so the rest can go to the next text.
template <typename Char, typename From>
constexpr size_t PutCrLf(Writer<Char>* w, const From* from, size_t count) {
  size_t taken = 0;
  for (; taken < count; taken++) {
    const bool lineFeed = from[taken] == '\n';
    if (w->used + (lineFeed ? 2 : 1) > w->capacity) break;
    if (lineFeed) PutChar(w, '\r');
    PutChar(w, Code(from[taken]));
  }
  return taken;
}

}  // namespace text
