#include "contract/key_value.h"

namespace contract {

namespace {

using text::Length;

// The index of `value` among `names`; false when it is none of them.
template <typename Value, size_t N>
bool Named(Span value, const char* const (&names)[N], Value* out) {
  for (size_t k = 0; k < N; k++) {
    if (names[k] == nullptr || !text::Is(value, names[k])) continue;
    *out = static_cast<Value>(k);
    return true;
  }
  return false;
}

bool ValidId(Span id) {
  if (id.length == 0 || id.length > kIdLimit) return false;
  for (size_t i = 0; i < id.length; i++)
    if (!IdCharacter(id.text[i])) return false;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWith(const uint8_t* bytes, size_t size, const char* word) {
  size_t n = Length(word);
  if (size < n) return false;
  for (size_t i = 0; i < n; i++)
    if (bytes[i] != static_cast<uint8_t>(word[i])) return false;
  return true;
}

// The first place in bytes where word starts; size when there is none.
size_t Find(const uint8_t* bytes, size_t size, const char* word) {
  size_t at = 0;
  while (at < size && !StartsWith(bytes + at, size - at, word)) at++;
  return at;
}

// The next place after `at` where word starts; size when there is none.
size_t FindAfter(const uint8_t* bytes, size_t size, size_t at, const char* word) {
  return at + 1 + Find(bytes + at + 1, size - at - 1, word);
}

}  // namespace

LineRead ReadLine(const char* bytes, size_t size, size_t* at, Span* key, Span* value) {
  size_t next = *at;
  Span line;
  bool ended = false;
  if (!text::ReadLine({bytes, size}, &next, &line, &ended)) return LineRead::End;
  if (!ended) return LineRead::NoLineEnd;
  size_t equals = 0;
  while (equals < line.length && line.text[equals] != '=') equals++;
  if (equals == line.length || equals == 0) return LineRead::NotKeyValue;
  *key = {line.text, equals};
  *value = {line.text + equals + 1, line.length - equals - 1};
  *at = next;
  return LineRead::Line;
}

void PutLine(text::Writer<char>* writer, const char* key, const char* value) {
  text::Put(writer, key);
  text::PutChar(writer, '=');
  for (; *value != 0; value++) text::PutChar(writer, static_cast<unsigned char>(*value) < 0x20 ? '?' : *value);
  text::PutChar(writer, '\n');
}

RequestError ParseRequest(const char* bytes, size_t size, RequestFields* request, Span* where) {
  *request = {{}, After::Return, Mode::Update, Allow::Newer};
  *where = {bytes, 0};
  bool seen[5] = {};  // format, id, after, mode, allow
  constexpr const char* kKeys[] = {"format", "id", "after", "mode", "allow"};
  Span key, value;
  for (size_t at = 0;;) {
    const LineRead read = ReadLine(bytes, size, &at, &key, &value);
    if (read == LineRead::End) break;
    if (read == LineRead::NoLineEnd) return RequestError::NoLineEnd;
    if (read == LineRead::NotKeyValue) return RequestError::NotKeyValue;
    *where = key;
    size_t k = 0;
    if (!Named(key, kKeys, &k)) return RequestError::UnknownKey;
    if (seen[k]) return RequestError::Twice;
    seen[k] = true;
    *where = value;
    bool ok = true;
    switch (k) {
      case 0: ok = text::Is(value, "1"); break;
      case 1:
        ok = ValidId(value);
        for (size_t i = 0; ok && i < value.length; i++) request->id[i] = value.text[i];
        break;
      case 2: ok = Named(value, kAfterNames, &request->after); break;
      case 3: ok = Named(value, kModeNames, &request->mode); break;
      default: ok = Named(value, kAllowNames, &request->allow); break;
    }
    constexpr RequestError kBad[] = {RequestError::BadFormat, RequestError::BadId, RequestError::BadAfter,
                                     RequestError::BadMode, RequestError::BadAllow};
    if (!ok) return kBad[k];
  }
  *where = {bytes, 0};
  if (!seen[0]) return RequestError::NoFormat;
  if (!seen[1]) return RequestError::NoId;
  return RequestError::None;
}

bool FormatRequest(const RequestFields& request, text::Writer<char>* writer) {
  PutLine(writer, "format", "1");
  PutLine(writer, "id", request.id);
  PutLine(writer, "after", kAfterNames[static_cast<size_t>(request.after)]);
  if (request.mode != Mode::Update) PutLine(writer, "mode", kModeNames[static_cast<size_t>(request.mode)]);
  if (request.allow != Allow::Newer)
    PutLine(writer, "allow", kAllowNames[static_cast<size_t>(request.allow)]);
  return writer->fits;
}

bool KnownOutcome(Span outcome) {
  constexpr const char* kWords[] = {kOutcomeStarted, kOutcomeSuccessful, kOutcomeFailed,
                                    kOutcomeCurrent, kOutcomeIdentified};
  for (const char* word : kWords)
    if (text::Is(outcome, word)) return true;
  const size_t n = Length(kOutcomeStopped);
  return outcome.length > n && text::Is({outcome.text, n}, kOutcomeStopped);
}

bool ParseImageVersion(Span text, uint8_t* major, uint8_t* minor) {
  if (text.length != kImageVersionLength || text.text[2] != '_') return false;
  int digits[4];
  const size_t at[4] = {0, 1, 3, 4};
  for (size_t i = 0; i < 4; i++)
    if ((digits[i] = HexDigit(text.text[at[i]])) < 0) return false;
  *major = static_cast<uint8_t>(digits[0] << 4 | digits[1]);
  *minor = static_cast<uint8_t>(digits[2] << 4 | digits[3]);
  return true;
}

bool ParseFirmwareVersion(Span text, uint8_t* major, uint8_t* minor) {
  if (text.length != 9 || !text::Is({text.text, 2}, "0x") || !text::Is({text.text + 4, 3}, "_0x")) return false;
  const char digits[kImageVersionLength] = {text.text[2], text.text[3], '_', text.text[7], text.text[8]};
  return ParseImageVersion({digits, kImageVersionLength}, major, minor);
}

bool FindBanner(const uint8_t* bytes, size_t size, Span* program, Span* image) {
  // The reader's own words may stand elsewhere in the file: every place
  // they start is tried.
  const char* text = reinterpret_cast<const char*>(bytes);
  for (size_t at = Find(bytes, size, kBannerStart); at < size; at = FindAfter(bytes, size, at, kBannerStart)) {
    const size_t start = at + Length(kBannerStart);
    size_t end = start;
    while (end < size && bytes[end] > 0x20 && bytes[end] < 0x7F && bytes[end] != ',') end++;
    if (end == start || !StartsWith(bytes + end, size - end, kBannerImage)) continue;
    const size_t version = end + Length(kBannerImage);
    uint8_t major, minor;
    if (size - version < kImageVersionLength + 1 || bytes[version + kImageVersionLength] != '\n' ||
        !ParseImageVersion({text + version, kImageVersionLength}, &major, &minor))
      continue;
    *program = {text + start, end - start};
    *image = {text + version, kImageVersionLength};
    return true;
  }
  return false;
}

bool FindConverter(const uint8_t* bytes, size_t size, uint8_t oui[3]) {
  for (size_t at = Find(bytes, size, kConverterTag); at < size; at = FindAfter(bytes, size, at, kConverterTag)) {
    const size_t digits = at + Length(kConverterTag);
    if (size - digits < 7 || bytes[digits + 6] != '\n') continue;
    int value[6];
    for (size_t i = 0; i < 6; i++) value[i] = HexDigit(static_cast<char>(bytes[digits + i]));
    bool hex = true;
    for (int v : value) hex = hex && v >= 0;
    if (!hex) continue;
    for (size_t i = 0; i < 3; i++) oui[i] = static_cast<uint8_t>(value[2 * i] << 4 | value[2 * i + 1]);
    return true;
  }
  return false;
}

bool FindDriverTag(const uint8_t* bytes, size_t size, Span* version) {
  for (size_t at = Find(bytes, size, kDriverTag); at < size; at = FindAfter(bytes, size, at, kDriverTag)) {
    const size_t start = at + Length(kDriverTag);
    size_t end = start;
    while (end < size && bytes[end] > 0x20 && bytes[end] < 0x7F) end++;
    if (end == start || end == size || bytes[end] != '\n') continue;
    *version = {reinterpret_cast<const char*>(bytes) + start, end - start};
    return true;
  }
  return false;
}

}  // namespace contract
