// The layout of simrec.txt. Global keys first, then one block per converter
// whose keys end in the converter's index (dpcdReads0, ...); numbers are decimal unless they are
// bytes or addresses, lists are comma-separated, an empty list reads "none".
#include "sim/driver/record_text.h"

#include "hash/sha256.h"
#include "sim/power_cycle.h"

namespace {

struct Out {
  char* text;
  size_t capacity;
  size_t used;
  bool cut;

  void Put(char c) {
    if (used < capacity) {
      text[used++] = c;
    } else {
      cut = true;
    }
  }
  void Str(const char* s) {
    while (*s != 0) Put(*s++);
  }
  void Dec(uint64_t value) {
    char digits[20];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (n > 0) Put(digits[--n]);
  }
  void Hex(uint64_t value, int width) {
    char digits[16];
    int n = 0;
    do {
      digits[n++] = "0123456789ABCDEF"[value & 0xF];
      value >>= 4;
    } while (value != 0 || n < width);
    while (n > 0) Put(digits[--n]);
  }
  // Two digits the way sha256sum and hashlib print a digest.
  void HexLower(uint8_t byte) {
    Put("0123456789abcdef"[byte >> 4]);
    Put("0123456789abcdef"[byte & 0xF]);
  }
  // "<key><i>=" for converter i, "<key>=" for the global block.
  void Key(int converter, const char* key) {
    Str(key);
    if (converter >= 0) Dec(static_cast<uint64_t>(converter));
    Put('=');
  }
  void Line(int converter, const char* key, uint64_t value) {
    Key(converter, key);
    Dec(value);
    Put('\n');
  }
  void Flag(const char* key, bool value) {
    Key(-1, key);
    Str(value ? "true\n" : "false\n");
  }
};

// Whole microseconds between the first and the last converter call.
void AccessTime(Out& o, const ConvsimRecordProtocol& r) {
  o.Key(-1, "accessMicroseconds");
  if (r.tscHz == 0 || r.tscFirstAccess == 0 || r.tscLastAccess < r.tscFirstAccess) {
    o.Str("none\n");
    return;
  }
  const uint64_t ticks = r.tscLastAccess - r.tscFirstAccess;
  o.Dec(ticks / r.tscHz * 1000000 + ticks % r.tscHz * 1000000 / r.tscHz);
  o.Put('\n');
}

// A watchdog timeout in seconds, "unknown" before anyone set it after the
// driver started; the one at the first converter call is "none" when no
// call came.
void Watchdog(Out& o, const ConvsimRecordProtocol& r) {
  o.Line(-1, "watchdogSets", r.watchdogSets);
  o.Key(-1, "watchdogSeconds");
  if (r.watchdogSeconds == kConvsimWatchdogUnknown) {
    o.Str("unknown\n");
  } else {
    o.Dec(r.watchdogSeconds);
    o.Put('\n');
  }
  o.Key(-1, "watchdogAtFirstAccess");
  if (r.tscFirstAccess == 0) {
    o.Str("none\n");
  } else if (r.watchdogAtFirstAccess == kConvsimWatchdogUnknown) {
    o.Str("unknown\n");
  } else {
    o.Dec(r.watchdogAtFirstAccess);
    o.Put('\n');
  }
}

// The count, then the first few as "sequence 0xdetail name" entries.
void Violations(Out& o, int i, const SimRecord& r) {
  o.Line(i, "violations", r.violationCount);
  o.Key(i, "violationLog");
  if (r.violationCount == 0) o.Str("none");
  for (uint32_t k = 0; k < r.violationCount && k < kSimViolationLog && k < kConvsimViolationLines;
       ++k) {
    const SimViolationEntry& v = r.violations[k];
    if (k > 0) o.Str("; ");
    o.Dec(v.sequence);
    o.Str(" 0x");
    o.Hex(v.detail, 1);
    o.Put(' ');
    o.Str(SimViolationName(v.code));
  }
  o.Put('\n');
}

void ModeChanges(Out& o, int i, const SimRecord& r) {
  o.Line(i, "modeChanges", r.modeChangeCount);
  o.Key(i, "modeChangeSequences");
  const uint32_t shown =
      r.modeChangeCount < kSimModeChangeLog ? r.modeChangeCount : kSimModeChangeLog;
  if (shown == 0) o.Str("none");
  for (uint32_t k = 0; k < shown; ++k) {
    if (k > 0) o.Put(',');
    o.Dec(r.modeChangeSequence[k]);
  }
  o.Put('\n');
}

// Address:value of each logged write to 0x300..0x302 and 0x30C, in order.
void SourceWrites(Out& o, int i, const SimRecord& r) {
  o.Line(i, "sourceWriteCount", r.sourceWriteCount);
  o.Key(i, "sourceWrites");
  const uint32_t shown = r.sourceWriteCount < kSimSourceLog ? r.sourceWriteCount : kSimSourceLog;
  if (shown == 0) o.Str("none");
  for (uint32_t k = 0; k < shown; ++k) {
    if (k > 0) o.Put(',');
    o.Hex(r.sourceWrites[k].address, 3);
    o.Put(':');
    o.Hex(r.sourceWrites[k].value, 2);
  }
  o.Put('\n');
}

void FlashDigest(Out& o, int i, const SimConverter& c) {
  uint8_t digest[kSha256Size];
  Sha256(c.flash, kSimFlashSize, digest);
  o.Key(i, "flashSha");
  for (uint8_t byte : digest) o.HexLower(byte);
  o.Put('\n');
}

// What +0xA / +0xB show, the way the program prints it ("0x07_0x22"), and
// whether a whole image went to flash in this start.
void Firmware(Out& o, int i, const SimConverter& c) {
  o.Key(i, "firmwareVersion");
  o.Str("0x");
  o.Hex(c.vendor[kSimRegFirmwareMajor], 2);
  o.Str("_0x");
  o.Hex(c.vendor[kSimRegFirmwareMinor], 2);
  o.Put('\n');
  o.Key(i, "firmwareWritten");
  o.Str(c.firmwareWritten ? "true\n" : "false\n");
}

// What the machine start did to a written image (sim/power_cycle.h).
void FirmwareStart(Out& o, uint32_t start) {
  constexpr const char* kNames[] = {"nothing-waits", "started", "waits"};
  static_assert(static_cast<uint32_t>(SimFirmwareStart::kStillWaits) == 2);
  o.Key(-1, "firmwareStart");
  o.Str(start < 3 ? kNames[start] : "?");
  o.Put('\n');
}

void Converter(Out& o, int i, const SimConverter& c) {
  const SimRecord& r = c.record;
  o.Line(i, "dpcdReads", r.dpcdReads);
  o.Line(i, "dpcdWrites", r.dpcdWrites);
  o.Line(i, "i2cReads", r.i2cReads);
  o.Line(i, "i2cWrites", r.i2cWrites);
  o.Line(i, "failures", r.failures);
  Violations(o, i, r);
  ModeChanges(o, i, r);
  o.Line(i, "lastSequence", r.sequence);
  o.Line(i, "downloadModeSequence", r.downloadModeSequence);
  o.Line(i, "badEchoesGiven", r.badEchoesGiven);
  o.Line(i, "commands", r.commandCount);
  o.Line(i, "pagesOpened", r.pagesOpened);
  o.Line(i, "pagesCommitted", r.pagesCommitted);
  SourceWrites(o, i, r);
  Firmware(o, i, c);
  FlashDigest(o, i, c);
}

}  // namespace

size_t ConvsimRecordText(const ConvsimRecordProtocol& record, char* out, size_t capacity) {
  Out o{out, capacity, 0, false};
  o.Line(-1, "handles", record.converterCount);
  o.Flag("protocolsInstalled", record.protocolsInstalled != 0);
  o.Flag("fastStall", record.fastStall != 0);
  o.Line(-1, "stalls", record.skippedStalls);
  o.Line(-1, "forwardedStalls", record.forwardedStalls);
  o.Line(-1, "tscFirst", record.tscFirstAccess);
  o.Line(-1, "tscLast", record.tscLastAccess);
  o.Line(-1, "tscHz", record.tscHz);
  AccessTime(o, record);
  Watchdog(o, record);
  FirmwareStart(o, record.firmwareStart);
  for (uint32_t i = 0; i < record.converterCount && i < kSimMaxHandles; ++i)
    if (record.converters[i] != nullptr) Converter(o, static_cast<int>(i), *record.converters[i]);
  return o.cut ? 0 : o.used;
}
