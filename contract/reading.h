// The resident driver's reading of the converter (PelloryConverter): its
// one writer, in the firmware, and its one reader, in pelloryctl and the
// tests. Freestanding, like the rest of the contract.
#pragma once

#include "contract/contract.h"
#include "text/text.h"

namespace contract {

// The values after format= and state=, in key order: time, port,
// vendor_block, converter_oui, bootloader, firmware.
inline constexpr size_t kReadingValueCount = kReadingKeyCount - 2;

// format=1, the state, then each value under its key, a line each (through
// PutLine, so a value never breaks its line). False when it does not fit.
bool FormatReading(ReadingState state, const char* const (&values)[kReadingValueCount],
                   text::Writer<char>* writer);

struct ReadingFields {
  ReadingState state;
  text::Span value[kReadingValueCount];  // into the bytes read
};
enum class ReadingError : uint8_t { None, NoLineEnd, NotKeyValue, WrongKey, BadFormat, BadState, Short, Long };
// Reads a reading strictly: the eight keys in their order, each once and
// ended by a line feed, format=1, a known state, nothing after them.
ReadingError ParseReading(const char* bytes, size_t size, ReadingFields* reading);

}  // namespace contract
