// convsim.cfg parsing: one table maps each key to its field and the kind of
// value it takes, so a new scenario switch is one line here.
#include "sim/scenario_text.h"

#include "text/text.h"

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
    SIM_FIELD("displayDriven", kFlag, scenario.displayDriven),
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

using text::Span;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

Span Trim(Span t) {
  while (t.length > 0 && IsBlank(t.text[0])) {
    t.text++;
    t.length--;
  }
  while (t.length > 0 && IsBlank(t.text[t.length - 1])) t.length--;
  return t;
}

// Where c first stands in t; t.length when it does not.
size_t Find(Span t, char c) {
  size_t at = 0;
  while (at < t.length && t.text[at] != c) at++;
  return at;
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
bool ParseNumber(Span t, uint32_t* out) {
  if (text::Is(t, "never") || text::Is(t, "always")) {
    *out = kSimNever;
    return true;
  }
  uint32_t base = 10;
  if (t.length > 2 && t.text[0] == '0' && (t.text[1] == 'x' || t.text[1] == 'X')) {
    base = 16;
    t.text += 2;
    t.length -= 2;
  }
  if (t.length == 0) return false;
  uint64_t value = 0;
  for (size_t i = 0; i < t.length; ++i) {
    const int digit = DigitValue(t.text[i], base);
    if (digit < 0) return false;
    value = value * base + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFull) return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

bool Store(const Field& field, Span value, SimScenarioFile* file) {
  void* at = field.at(*file);
  if (field.kind == Kind::kFlag) {
    if (!text::Is(value, "true") && !text::Is(value, "false")) return false;
    *static_cast<bool*>(at) = text::Is(value, "true");
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

const Field* Lookup(Span key) {
  for (const Field& field : kFields)
    if (text::Is(key, field.key)) return &field;
  return nullptr;
}

bool Refuse(SimParseError* error, uint32_t line, const char* reason, Span key) {
  error->line = line;
  error->reason = reason;
  size_t n = 0;
  for (; n < key.length && n + 1 < sizeof(error->key); ++n) error->key[n] = key.text[n];
  error->key[n] = 0;
  return false;
}

// One line without its line feed: blank, a comment, or `key = value`.
bool ParseLine(Span line, uint32_t number, SimScenarioFile* file, SimParseError* error) {
  line.length = Find(line, '#');
  line = Trim(line);
  if (line.length == 0) return true;
  const size_t equals = Find(line, '=');
  const Span key = Trim({line.text, equals});
  if (equals == line.length || key.length == 0)
    return Refuse(error, number, "expected key = value", key);
  const Field* field = Lookup(key);
  if (field == nullptr) return Refuse(error, number, "unknown key", key);
  if (!Store(*field, Trim({line.text + equals + 1, line.length - equals - 1}), file))
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

bool SimParseScenarioText(const char* bytes, size_t length, SimScenarioFile* out,
                          SimParseError* error) {
  SimScenarioFile file = SimDefaultScenarioFile();
  const Span all = {bytes, bytes == nullptr ? 0 : length};
  // An editor's UTF-8 byte order mark is not part of the first key.
  size_t at = all.length >= 3 && bytes[0] == '\xEF' && bytes[1] == '\xBB' && bytes[2] == '\xBF' ? 3 : 0;
  Span line;
  bool ended = false;
  for (uint32_t number = 1; text::ReadLine(all, &at, &line, &ended); ++number) {
    if (!ParseLine(line, number, &file, error)) return false;
  }
  *out = file;
  return true;
}
