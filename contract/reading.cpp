#include "contract/reading.h"

#include "contract/key_value.h"

namespace contract {

bool FormatReading(ReadingState state, const char* const (&values)[kReadingValueCount],
                   text::Writer<char>* writer) {
  PutLine(writer, kReadingKeys[0], "1");
  PutLine(writer, kReadingKeys[1], kReadingStateNames[static_cast<size_t>(state)]);
  for (size_t i = 0; i < kReadingValueCount; i++) PutLine(writer, kReadingKeys[2 + i], values[i]);
  return writer->fits;
}

ReadingError ParseReading(const char* bytes, size_t size, ReadingFields* reading) {
  *reading = {};
  size_t at = 0;
  for (size_t k = 0; k < kReadingKeyCount; k++) {
    Span key, value;
    const LineRead read = ReadLine(bytes, size, &at, &key, &value);
    if (read == LineRead::End) return ReadingError::Short;
    if (read == LineRead::NoLineEnd) return ReadingError::NoLineEnd;
    if (read == LineRead::NotKeyValue) return ReadingError::NotKeyValue;
    if (!text::Is(key, kReadingKeys[k])) return ReadingError::WrongKey;
    if (k == 0 && !text::Is(value, "1")) return ReadingError::BadFormat;
    if (k == 1) {
      size_t s = 0;
      while (s < sizeof kReadingStateNames / sizeof kReadingStateNames[0] && !text::Is(value, kReadingStateNames[s])) s++;
      if (s == sizeof kReadingStateNames / sizeof kReadingStateNames[0]) return ReadingError::BadState;
      reading->state = static_cast<ReadingState>(s);
    }
    if (k >= 2) reading->value[k - 2] = value;
  }
  return at == size ? ReadingError::None : ReadingError::Long;
}

}  // namespace contract
