// The layout of simrec.txt. Global keys first, then one block per converter
// whose keys end in the converter's index (dpcdReads0, ...); numbers are decimal unless they are
// bytes or addresses, lists are comma-separated, an empty list reads "none".
#include "sim/driver/record_text.h"

#include "hash/sha256.h"
#include "sim/power_cycle.h"
#include "text/text.h"

namespace {

using Out = text::Writer<char>;

void Dec(Out& o, uint64_t value) { text::PutNumber(&o, value); }
void Hex(Out& o, uint64_t value, int width) { text::PutNumber(&o, value, {.base = 16, .upper = true, .width = width}); }
// "<key><i>=" for converter i, "<key>=" for the global block.
void Key(Out& o, int converter, const char* key) {
  text::Put(&o, key);
  if (converter >= 0) Dec(o, static_cast<uint64_t>(converter));
  text::PutChar(&o, '=');
}
void Line(Out& o, int converter, const char* key, uint64_t value) {
  Key(o, converter, key);
  Dec(o, value);
  text::PutChar(&o, '\n');
}
void Flag(Out& o, const char* key, bool value) {
  Key(o, -1, key);
  text::Put(&o, value ? "true\n" : "false\n");
}

// Whole microseconds between the first and the last converter call.
void AccessTime(Out& o, const ConvsimRecordProtocol& r) {
  Key(o, -1, "accessMicroseconds");
  if (r.tscHz == 0 || r.tscFirstAccess == 0 || r.tscLastAccess < r.tscFirstAccess) {
    text::Put(&o, "none\n");
    return;
  }
  const uint64_t ticks = r.tscLastAccess - r.tscFirstAccess;
  Dec(o, ticks / r.tscHz * 1000000 + ticks % r.tscHz * 1000000 / r.tscHz);
  text::PutChar(&o, '\n');
}

// A watchdog timeout in seconds, "unknown" before anyone set it after the
// driver started; the one at the first converter call is "none" when no
// call came.
void Watchdog(Out& o, const ConvsimRecordProtocol& r) {
  Line(o, -1, "watchdogSets", r.watchdogSets);
  Key(o, -1, "watchdogSeconds");
  if (r.watchdogSeconds == kConvsimWatchdogUnknown) {
    text::Put(&o, "unknown\n");
  } else {
    Dec(o, r.watchdogSeconds);
    text::PutChar(&o, '\n');
  }
  Key(o, -1, "watchdogAtFirstAccess");
  if (r.tscFirstAccess == 0) {
    text::Put(&o, "none\n");
  } else if (r.watchdogAtFirstAccess == kConvsimWatchdogUnknown) {
    text::Put(&o, "unknown\n");
  } else {
    Dec(o, r.watchdogAtFirstAccess);
    text::PutChar(&o, '\n');
  }
}

// The count, then the first few as "sequence 0xdetail name" entries.
void Violations(Out& o, int i, const SimRecord& r) {
  Line(o, i, "violations", r.violationCount);
  Key(o, i, "violationLog");
  if (r.violationCount == 0) text::Put(&o, "none");
  for (uint32_t k = 0; k < r.violationCount && k < kSimViolationLog && k < kConvsimViolationLines;
       ++k) {
    const SimViolationEntry& v = r.violations[k];
    if (k > 0) text::Put(&o, "; ");
    Dec(o, v.sequence);
    text::Put(&o, " 0x");
    Hex(o, v.detail, 1);
    text::PutChar(&o, ' ');
    text::Put(&o, SimViolationName(v.code));
  }
  text::PutChar(&o, '\n');
}

void ModeChanges(Out& o, int i, const SimRecord& r) {
  Line(o, i, "modeChanges", r.modeChangeCount);
  Key(o, i, "modeChangeSequences");
  const uint32_t shown =
      r.modeChangeCount < kSimModeChangeLog ? r.modeChangeCount : kSimModeChangeLog;
  if (shown == 0) text::Put(&o, "none");
  for (uint32_t k = 0; k < shown; ++k) {
    if (k > 0) text::PutChar(&o, ',');
    Dec(o, r.modeChangeSequence[k]);
  }
  text::PutChar(&o, '\n');
}

// Address:value of each logged write to 0x300..0x302 and 0x30C, in order.
void SourceWrites(Out& o, int i, const SimRecord& r) {
  Line(o, i, "sourceWriteCount", r.sourceWriteCount);
  Key(o, i, "sourceWrites");
  const uint32_t shown = r.sourceWriteCount < kSimSourceLog ? r.sourceWriteCount : kSimSourceLog;
  if (shown == 0) text::Put(&o, "none");
  for (uint32_t k = 0; k < shown; ++k) {
    if (k > 0) text::PutChar(&o, ',');
    Hex(o, r.sourceWrites[k].address, 3);
    text::PutChar(&o, ':');
    Hex(o, r.sourceWrites[k].value, 2);
  }
  text::PutChar(&o, '\n');
}

void FlashDigest(Out& o, int i, const SimConverter& c) {
  uint8_t digest[kSha256Size];
  Sha256(c.flash, kSimFlashSize, digest);
  Key(o, i, "flashSha");
  for (uint8_t byte : digest) text::PutNumber(&o, byte, {.base = 16, .width = 2});
  text::PutChar(&o, '\n');
}

// What +0xA / +0xB show, the way the program prints it ("0x07_0x22"), and
// whether a whole image went to flash in this start.
void Firmware(Out& o, int i, const SimConverter& c) {
  Key(o, i, "firmwareVersion");
  text::Put(&o, "0x");
  Hex(o, c.vendor[kSimRegFirmwareMajor], 2);
  text::Put(&o, "_0x");
  Hex(o, c.vendor[kSimRegFirmwareMinor], 2);
  text::PutChar(&o, '\n');
  Key(o, i, "firmwareWritten");
  text::Put(&o, c.firmwareWritten ? "true\n" : "false\n");
}

// What the machine start did to a written image (sim/power_cycle.h).
void FirmwareStart(Out& o, uint32_t start) {
  constexpr const char* kNames[] = {"nothing-waits", "started", "waits"};
  static_assert(static_cast<uint32_t>(SimFirmwareStart::kStillWaits) == 2);
  Key(o, -1, "firmwareStart");
  text::Put(&o, start < 3 ? kNames[start] : "?");
  text::PutChar(&o, '\n');
}

void Converter(Out& o, int i, const SimConverter& c) {
  const SimRecord& r = c.record;
  Line(o, i, "dpcdReads", r.dpcdReads);
  Line(o, i, "dpcdWrites", r.dpcdWrites);
  Line(o, i, "i2cReads", r.i2cReads);
  Line(o, i, "i2cWrites", r.i2cWrites);
  Line(o, i, "failures", r.failures);
  Violations(o, i, r);
  ModeChanges(o, i, r);
  Line(o, i, "lastSequence", r.sequence);
  Line(o, i, "downloadModeSequence", r.downloadModeSequence);
  Line(o, i, "badEchoesGiven", r.badEchoesGiven);
  Line(o, i, "commands", r.commandCount);
  Line(o, i, "pagesOpened", r.pagesOpened);
  Line(o, i, "pagesCommitted", r.pagesCommitted);
  SourceWrites(o, i, r);
  Firmware(o, i, c);
  FlashDigest(o, i, c);
}

}  // namespace

size_t ConvsimRecordText(const ConvsimRecordProtocol& record, char* out, size_t capacity) {
  Out o = text::WriterOn(out, capacity);
  Line(o, -1, "handles", record.converterCount);
  Flag(o, "protocolsInstalled", record.protocolsInstalled != 0);
  Flag(o, "fastStall", record.fastStall != 0);
  Line(o, -1, "stalls", record.skippedStalls);
  Line(o, -1, "forwardedStalls", record.forwardedStalls);
  Line(o, -1, "tscFirst", record.tscFirstAccess);
  Line(o, -1, "tscLast", record.tscLastAccess);
  Line(o, -1, "tscHz", record.tscHz);
  AccessTime(o, record);
  Watchdog(o, record);
  FirmwareStart(o, record.firmwareStart);
  for (uint32_t i = 0; i < record.converterCount && i < kSimMaxHandles; ++i)
    if (record.converters[i] != nullptr) Converter(o, static_cast<int>(i), *record.converters[i]);
  return o.fits ? o.used : 0;
}
