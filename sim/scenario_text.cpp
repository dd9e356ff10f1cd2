// convsim.cfg parsing: one table maps each key to its field and the kind of
// value it takes, so a new scenario switch is one line here.
#include "sim/scenario_text.h"

namespace {

enum class Kind { kByte, kCount, kFlag, kHandles };

struct Field {
  const char* key;
  Kind kind;
  void* (*at)(SimScenarioFile&);
};

// One table line: the key, the kind of its value and the field it sets.
#define SIM_FIELD(key, kind, member)                                       \
  Field {                                                                  \
    key, Kind::kind, [](SimScenarioFile& f) -> void* { return &f.member; } \
  }

constexpr Field kFields[] = {
    SIM_FIELD("answeringPort", kCount, scenario.answeringPort),
    SIM_FIELD("noAnsweringPort", kFlag, scenario.noAnsweringPort),
    SIM_FIELD("downstreamPort", kByte, scenario.downstreamPort),
    SIM_FIELD("oui0", kByte, scenario.oui[0]),
    SIM_FIELD("oui1", kByte, scenario.oui[1]),
    SIM_FIELD("oui2", kByte, scenario.oui[2]),
    SIM_FIELD("firmwareMajor", kByte, scenario.firmwareMajor),
    SIM_FIELD("firmwareMinor", kByte, scenario.firmwareMinor),
    SIM_FIELD("bootloader", kByte, scenario.bootloader),
    SIM_FIELD("imageMajor", kByte, scenario.imageMajor),
    SIM_FIELD("imageMinor", kByte, scenario.imageMinor),
    SIM_FIELD("reg30CInitial", kByte, scenario.reg30CInitial),
    SIM_FIELD("reg30CDrifts", kFlag, scenario.reg30CDrifts),
    SIM_FIELD("commandClearReads", kCount, scenario.commandClearReads),
    SIM_FIELD("echoAfterReads", kCount, scenario.echo.afterReads),
    SIM_FIELD("badEchoIndex", kCount, scenario.badEchoIndex),
    SIM_FIELD("badEchoAttempts", kCount, scenario.badEchoAttempts),
    SIM_FIELD("startAckAfterReads", kCount, scenario.startAck.afterReads),
    SIM_FIELD("pageAckAfterReads", kCount, scenario.pageAck.afterReads),
    SIM_FIELD("pageAckOnlyOnPage", kFlag, scenario.pageAckOnlyOnPage),
    SIM_FIELD("pageAckPage", kCount, scenario.pageAckPage),
    SIM_FIELD("finishAckAfterReads", kCount, scenario.finishAck.afterReads),
    SIM_FIELD("corruptReadBack", kFlag, scenario.corruptReadBack),
    SIM_FIELD("corruptPage", kCount, scenario.corruptPage),
    SIM_FIELD("corruptByte", kCount, scenario.corruptByte),
    SIM_FIELD("windowWriteFails", kFlag, scenario.windowWriteFails),
    SIM_FIELD("windowWriteFailPage", kCount, scenario.windowWriteFailPage),
    SIM_FIELD("windowWriteFailByte", kCount, scenario.windowWriteFailByte),
    SIM_FIELD("windowReadFails", kFlag, scenario.windowReadFails),
    SIM_FIELD("windowReadFailPage", kCount, scenario.windowReadFailPage),
    SIM_FIELD("failDpcdReadNth", kCount, scenario.failDpcdRead.nth),
    SIM_FIELD("failDpcdReadCount", kCount, scenario.failDpcdRead.count),
    SIM_FIELD("failDpcdWriteNth", kCount, scenario.failDpcdWrite.nth),
    SIM_FIELD("failDpcdWriteCount", kCount, scenario.failDpcdWrite.count),
    SIM_FIELD("failI2cReadNth", kCount, scenario.failI2cRead.nth),
    SIM_FIELD("failI2cReadCount", kCount, scenario.failI2cRead.count),
    SIM_FIELD("failI2cWriteNth", kCount, scenario.failI2cWrite.nth),
    SIM_FIELD("failI2cWriteCount", kCount, scenario.failI2cWrite.count),
    SIM_FIELD("handles", kHandles, options.handles),
    SIM_FIELD("installProtocols", kFlag, options.installProtocols),
    SIM_FIELD("fastStall", kFlag, options.fastStall),
    SIM_FIELD("resetAfterPages", kCount, options.resetAfterPages),
};

#undef SIM_FIELD

// A piece of the buffer; never terminated.
struct Text {
  const char* begin;
  const char* end;

  size_t Length() const { return static_cast<size_t>(end - begin); }
  bool Is(const char* word) const {
    const char* p = begin;
    for (; p != end && *word != 0; ++p, ++word)
      if (*p != *word) return false;
    return p == end && *word == 0;
  }
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

Text Trim(Text t) {
  while (t.begin != t.end && IsBlank(*t.begin)) ++t.begin;
  while (t.end != t.begin && IsBlank(t.end[-1])) --t.end;
  return t;
}

const char* Find(Text t, char c) {
  for (const char* p = t.begin; p != t.end; ++p)
    if (*p == c) return p;
  return t.end;
}

int DigitValue(char c, uint32_t base) {
  int value = -1;
  if (c >= '0' && c <= '9') value = c - '0';
  if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
  return value < static_cast<int>(base) ? value : -1;
}

// Decimal, 0x hexadecimal, or `never` / `always` for kSimNever; anything
// above 32 bits is refused rather than cut.
bool ParseNumber(Text t, uint32_t* out) {
  if (t.Is("never") || t.Is("always")) {
    *out = kSimNever;
    return true;
  }
  uint32_t base = 10;
  if (t.Length() > 2 && t.begin[0] == '0' && (t.begin[1] == 'x' || t.begin[1] == 'X')) {
    base = 16;
    t.begin += 2;
  }
  if (t.Length() == 0) return false;
  uint64_t value = 0;
  for (const char* p = t.begin; p != t.end; ++p) {
    const int digit = DigitValue(*p, base);
    if (digit < 0) return false;
    value = value * base + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFull) return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

bool Store(const Field& field, Text value, SimScenarioFile* file) {
  void* at = field.at(*file);
  if (field.kind == Kind::kFlag) {
    if (!value.Is("true") && !value.Is("false")) return false;
    *static_cast<bool*>(at) = value.Is("true");
    return true;
  }
  uint32_t number = 0;
  if (!ParseNumber(value, &number)) return false;
  switch (field.kind) {
    case Kind::kByte:
      if (number > 0xFF) return false;
      *static_cast<uint8_t*>(at) = static_cast<uint8_t>(number);
      return true;
    case Kind::kHandles:
      if (number < 1 || number > kSimScenarioMaxHandles) return false;
      break;
    default:
      break;
  }
  *static_cast<uint32_t*>(at) = number;
  return true;
}

const Field* Lookup(Text key) {
  for (const Field& field : kFields)
    if (key.Is(field.key)) return &field;
  return nullptr;
}

bool Refuse(SimParseError* error, uint32_t line, const char* reason, Text key) {
  error->line = line;
  error->reason = reason;
  size_t n = 0;
  for (const char* p = key.begin; p != key.end && n + 1 < sizeof(error->key); ++p)
    error->key[n++] = *p;
  error->key[n] = 0;
  return false;
}

// One line without its line feed: blank, a comment, or `key = value`.
bool ParseLine(Text line, uint32_t number, SimScenarioFile* file, SimParseError* error) {
  line.end = Find(line, '#');
  line = Trim(line);
  if (line.Length() == 0) return true;
  const char* equals = Find(line, '=');
  const Text key = Trim({line.begin, equals});
  if (equals == line.end || key.Length() == 0)
    return Refuse(error, number, "expected key = value", key);
  const Field* field = Lookup(key);
  if (field == nullptr) return Refuse(error, number, "unknown key", key);
  if (!Store(*field, Trim({equals + 1, line.end}), file))
    return Refuse(error, number, "bad value", key);
  return true;
}

}  // namespace

SimScenarioFile SimDefaultScenarioFile() {
  SimScenarioFile file{};
  file.scenario = SimDefaultScenario();
  file.options = {1, true, true, kSimNever};
  return file;
}

bool SimParseScenarioText(const char* text, size_t length, SimScenarioFile* out,
                          SimParseError* error) {
  SimScenarioFile file = SimDefaultScenarioFile();
  if (text == nullptr) length = 0;
  Text rest{text, length == 0 ? text : text + length};
  // An editor's UTF-8 byte order mark is not part of the first key.
  if (rest.Length() >= 3 && rest.begin[0] == '\xEF' && rest.begin[1] == '\xBB' &&
      rest.begin[2] == '\xBF')
    rest.begin += 3;
  for (uint32_t number = 1; rest.begin != rest.end; ++number) {
    const char* lineEnd = Find(rest, '\n');
    if (!ParseLine({rest.begin, lineEnd}, number, &file, error)) return false;
    rest.begin = lineEnd == rest.end ? lineEnd : lineEnd + 1;
  }
  *out = file;
  return true;
}
