// The converter's firmware memory across resets and power-ons, and the
// power-on token from the machine's SMBIOS OEM strings.
#include "sim/power_cycle.h"

namespace {

constexpr uint8_t kOemStrings = 11;
constexpr uint8_t kEndOfTable = 127;

bool TokenCharacter(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

// 1 to kSimPowerOnMax token characters, then the end.
bool IsToken(const char* s) {
  if (s == nullptr) return false;
  uint32_t n = 0;
  for (; s[n] != 0; ++n)
    if (n == kSimPowerOnMax || !TokenCharacter(s[n])) return false;
  return n > 0;
}

bool SameText(const char* a, const char* b) {
  for (; *a != 0 || *b != 0; ++a, ++b)
    if (*a != *b) return false;
  return true;
}

void CopyToken(char* to, const char* from) {
  uint32_t n = 0;
  for (; from[n] != 0 && n < kSimPowerOnMax; ++n) to[n] = from[n];
  for (; n <= kSimPowerOnMax; ++n) to[n] = 0;
}

bool Sound(const SimFirmwareMemory& m) {
  if (m.revision != kSimFirmwareMemoryRevision || m.runsWritten > 1 || m.waiting > 1) return false;
  if (m.writtenIn[kSimPowerOnMax] != 0) return false;
  return m.waiting == 0 || IsToken(m.writtenIn);
}

void Forget(SimFirmwareMemory* m) {
  *m = SimFirmwareMemory{};
  m->revision = kSimFirmwareMemoryRevision;
}

// The text after `tag` when the string `s` (ended by 0 before `end`)
// starts with it.
const char* After(const uint8_t* s, const uint8_t* end, const char* tag) {
  for (; *tag != 0; ++s, ++tag)
    if (s == end || *s != static_cast<uint8_t>(*tag)) return nullptr;
  return reinterpret_cast<const char*>(s);
}

// The first string of one OEM strings structure that carries the tag, cut
// at the table's end (a string the end cuts off is refused).
bool TokenIn(const uint8_t* strings, const uint8_t* end, char* token) {
  for (const uint8_t* s = strings; s < end && *s != 0;) {
    const uint8_t* stop = s;
    while (stop < end && *stop != 0) ++stop;
    if (stop == end) return false;
    const char* value = After(s, stop, kSimPowerOnTag);
    if (value != nullptr) {
      if (!IsToken(value)) return false;
      CopyToken(token, value);
      return true;
    }
    s = stop + 1;
  }
  return false;
}

}  // namespace

SimFirmwareStart SimStartFirmware(SimFirmwareMemory* memory, const char* powerOn,
                                  SimScenario* scenario, bool* changed) {
  *changed = false;
  if (!Sound(*memory)) {
    Forget(memory);
    *changed = true;
  }
  SimFirmwareStart start = SimFirmwareStart::kNothingWaits;
  if (memory->waiting != 0) {
    start = SimFirmwareStart::kStillWaits;
    if (IsToken(powerOn) && !SameText(powerOn, memory->writtenIn)) {
      memory->runsWritten = 1;
      memory->runningMajor = memory->waitingMajor;
      memory->runningMinor = memory->waitingMinor;
      memory->waiting = 0;
      CopyToken(memory->writtenIn, "");
      *changed = true;
      start = SimFirmwareStart::kStarted;
    }
  }
  if (memory->runsWritten != 0) {
    scenario->firmwareMajor = memory->runningMajor;
    scenario->firmwareMinor = memory->runningMinor;
  }
  return start;
}

bool SimRememberWrittenFirmware(SimFirmwareMemory* memory, const SimConverter* c,
                                const char* powerOn) {
  if (!c->firmwareWritten || !IsToken(powerOn)) return false;
  const SimScenario& s = c->scenario;
  if (memory->waiting != 0 && memory->waitingMajor == s.imageMajor &&
      memory->waitingMinor == s.imageMinor && SameText(memory->writtenIn, powerOn))
    return false;
  memory->revision = kSimFirmwareMemoryRevision;
  memory->waiting = 1;
  memory->waitingMajor = s.imageMajor;
  memory->waitingMinor = s.imageMinor;
  CopyToken(memory->writtenIn, powerOn);
  return true;
}

bool SimFindPowerOn(const uint8_t* table, size_t length, char* token) {
  CopyToken(token, "");
  if (table == nullptr) return false;
  const uint8_t* end = table + length;
  for (const uint8_t* p = table; end - p >= 4;) {
    const uint8_t type = p[0], formatted = p[1];
    if (formatted < 4 || formatted > end - p) return false;
    const uint8_t* strings = p + formatted;
    if (type == kOemStrings && TokenIn(strings, end, token)) return true;
    if (type == kEndOfTable) return false;
    // The string set ends with two zero bytes (two also when it is empty).
    const uint8_t* next = strings;
    while (end - next >= 2 && (next[0] != 0 || next[1] != 0)) ++next;
    if (end - next < 2) return false;
    p = next + 2;
  }
  return false;
}
