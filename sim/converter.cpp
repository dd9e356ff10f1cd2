// The converter's set-up, its four calls and its register map: which port
// answers, which calls fail, where each DPCD address and I2C slave leads.
// The mailbox and the page window live in converter_mailbox.cpp.
#include "sim/converter.h"

#include "sim/converter_parts.h"

namespace sim {

void Violate(SimConverter* c, SimViolation code, uint32_t detail) {
  SimRecord& r = c->record;
  const uint32_t index = static_cast<uint32_t>(code);
  if (index < static_cast<uint32_t>(SimViolation::kCount)) ++r.violationsByCode[index];
  if (r.violationCount < kSimViolationLog)
    r.violations[r.violationCount] = {r.sequence, code, detail};
  ++r.violationCount;
}

}  // namespace sim

using namespace sim;

namespace {

constexpr uint8_t kAdaptorSignature[] = "DP-HDMI ADAPTOR\x04";
constexpr uint32_t kAdaptorIdOffset = 0x10, kAdaptorOuiOffset = 0x11;
constexpr uint8_t kAdaptorType2 = 0xA0;
constexpr uint8_t kDpcdRevision = 0x12;  // receiver capability 0x000: DPCD 1.2

template <typename T>
void Zero(T* object) {
  auto* bytes = reinterpret_cast<unsigned char*>(object);
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = 0;
}

// --- Calls -----------------------------------------------------------------------

bool Hits(const SimCallFailure& f, uint64_t call) {
  if (f.nth == 0 || call < f.nth) return false;
  if (f.count == kSimNever) return true;
  return call - f.nth < (f.count == 0 ? 1u : f.count);
}

// A call on a port where the converter is not, or one the scenario fails,
// does nothing at all: the link never reached the converter.
bool Refused(const SimConverter* c, uint32_t port, uint64_t call, const SimCallFailure& f) {
  const SimScenario& s = c->scenario;
  if (s.noAnsweringPort || port != s.answeringPort) return true;
  return Hits(f, call);
}

// Each call notes itself first; a failure marks the note it made.
void NoteAccess(SimConverter* c, SimAccessKind kind, uint32_t port, uint32_t target, uint32_t offset,
                uint32_t count) {
  SimRecord& r = c->record;
  if (r.accessCount < kSimAccessLog) r.accesses[r.accessCount] = {r.sequence, kind, port, target, offset, count, false};
  ++r.accessCount;
}

int64_t Fail(SimConverter* c, int64_t status) {
  SimRecord& r = c->record;
  ++r.failures;
  if (r.accessCount > 0 && r.accessCount <= kSimAccessLog) r.accesses[r.accessCount - 1].failed = true;
  return status;
}

int64_t Reject(SimConverter* c, uint32_t detail) {
  Violate(c, SimViolation::kBadArgument, detail);
  return Fail(c, kSimInvalidParameter);
}

// The driver takes a single-byte write from the whole staging buffer, so
// the host must hand it zeroed beyond the byte it writes; the first stale
// byte found is recorded. A whole update makes 65,538 such writes, so the
// bytes are looked at eight at a time and one by one only when one is set.
void CheckStaging(SimConverter* c, const uint8_t* staging) {
  uint64_t any = 0;
  for (uint32_t k = 1; k < 8; ++k) any |= staging[k];
  for (uint32_t k = 8; k < kSimStagingSize; k += 8) {
    uint64_t word;
    __builtin_memcpy(&word, staging + k, sizeof word);
    any |= word;
  }
  if (any == 0) return;
  uint32_t k = 1;
  while (staging[k] == 0) ++k;
  Violate(c, SimViolation::kStagingNotZeroed, k);
}

bool I2cArgumentsFit(const SimI2cOffset* offset, uint32_t count, const uint8_t* buffer) {
  if (offset == nullptr || buffer == nullptr) return false;
  if (count == 0 || count > 256 || offset->offset >= 256) return false;
  return count <= 256 - offset->offset;
}

// --- DPCD register map ------------------------------------------------------------

enum class Area { kReceiverCaps, kSource, kVendor, kOtherVendor, kNone };

Area AreaOf(const SimConverter* c, uint32_t address) {
  if (address < 0x100) return Area::kReceiverCaps;
  if (address >= kSimSourceOui && address < kSimSourceOui + 0x10) return Area::kSource;
  const uint32_t other = c->vendorBase == kSimBlockHigh ? kSimBlockLow : kSimBlockHigh;
  if (address >= c->vendorBase && address < c->vendorBase + kSimBlockSize) return Area::kVendor;
  if (address >= other && address < other + kSimBlockSize) return Area::kOtherVendor;
  return Area::kNone;
}

// A real converter answers DPCD only in protocol-converter mode; a host that
// asks earlier is recorded, and answered all the same so that the run goes on.
void NoteDpcdAccess(SimConverter* c, uint32_t address) {
  if (!c->converterMode) Violate(c, SimViolation::kDpcdBeforeModeChange, address);
}

uint8_t ReadSourceRegister(SimConverter* c, uint32_t reg) {
  const uint8_t value = c->source[reg];
  if (reg == kSimReg30C - kSimSourceOui && !c->reg30CRead) {
    c->reg30CRead = true;
    if (c->scenario.reg30CDrifts) ++c->source[reg];
  }
  return value;
}

uint8_t ReadRegister(SimConverter* c, uint32_t address) {
  switch (AreaOf(c, address)) {
    case Area::kReceiverCaps:
      return c->receiverCaps[address];
    case Area::kSource:
      return ReadSourceRegister(c, address - kSimSourceOui);
    case Area::kVendor: {
      const uint32_t reg = address - c->vendorBase;
      if (reg == kSimRegCommand) return ReadCommand(c);
      if (reg == kSimRegStatus) return ReadStatus(c);
      return c->vendor[reg];
    }
    case Area::kOtherVendor:
      Violate(c, SimViolation::kOtherVendorBlock, address);
      return 0;
    case Area::kNone:
      break;
  }
  Violate(c, SimViolation::kUnmappedDpcd, address);
  return 0;
}

void WriteSourceRegister(SimConverter* c, uint32_t address, uint8_t value) {
  c->source[address - kSimSourceOui] = value;
  if (address > kSimSourceOui + 2 && address != kSimReg30C) return;
  SimRecord& r = c->record;
  if (r.sourceWriteCount < kSimSourceLog)
    r.sourceWrites[r.sourceWriteCount] = {r.sequence, static_cast<uint16_t>(address), value};
  ++r.sourceWriteCount;
}

void WriteRegister(SimConverter* c, uint32_t address, uint8_t value) {
  switch (AreaOf(c, address)) {
    case Area::kReceiverCaps:
      Violate(c, SimViolation::kReadOnlyWrite, address);
      return;
    case Area::kSource:
      WriteSourceRegister(c, address, value);
      return;
    case Area::kVendor: {
      const uint32_t reg = address - c->vendorBase;
      if (reg == kSimRegCommand) return WriteCommand(c, value);
      if (reg == kSimRegStatus) {
        c->mailbox.status = value;
        return;
      }
      Violate(c, SimViolation::kReadOnlyWrite, address);
      return;
    }
    case Area::kOtherVendor:
      Violate(c, SimViolation::kOtherVendorBlock, address);
      return;
    case Area::kNone:
      break;
  }
  Violate(c, SimViolation::kUnmappedDpcd, address);
}

// --- Adaptor registers (I2C 0x80) ---------------------------------------------------

// Writing 1 at 0x40 asks for protocol-converter mode; nothing else is
// written here by a sound host, so other writes are recorded and dropped.
void AdaptorWrite(SimConverter* c, uint32_t offset, uint32_t count, const uint8_t* bytes) {
  SimRecord& r = c->record;
  for (uint32_t k = 0; k < count; ++k) {
    if (offset + k != kSimModeChangeOffset || bytes[k] != kSimConverterMode) {
      Violate(c, SimViolation::kAdaptorWrite, offset + k);
      continue;
    }
    c->adaptor[kSimModeChangeOffset] = kSimConverterMode;
    c->converterMode = true;
    if (r.modeChangeCount < kSimModeChangeLog) r.modeChangeSequence[r.modeChangeCount] = r.sequence;
    ++r.modeChangeCount;
  }
}

void SetUpRegisters(SimConverter* c) {
  const SimScenario& s = c->scenario;
  Copy(c->adaptor, kAdaptorSignature, sizeof(kAdaptorSignature) - 1);
  c->adaptor[kAdaptorIdOffset] = kAdaptorType2;
  Copy(c->adaptor + kAdaptorOuiOffset, s.oui, 3);
  c->receiverCaps[0] = kDpcdRevision;
  c->receiverCaps[kSimDownstreamPort] = s.downstreamPort;
  c->source[kSimReg30C - kSimSourceOui] = s.reg30CInitial;
  c->vendorBase = (s.downstreamPort & 1) != 0 ? kSimBlockHigh : kSimBlockLow;
  Copy(c->vendor + kSimRegOui, s.oui, 3);
  c->vendor[kSimRegFirmwareMajor] = s.firmwareMajor;
  c->vendor[kSimRegFirmwareMinor] = s.firmwareMinor;
  c->vendor[kSimRegBootloader] = s.bootloader;
}

}  // namespace

SimScenario SimDefaultScenario() {
  SimScenario s{};
  s.downstreamPort = 0x01;
  s.oui[0] = 0x0A;
  s.oui[1] = 0x1B;
  s.oui[2] = 0x2C;
  s.firmwareMajor = 0x07;
  s.firmwareMinor = 0x22;
  s.bootloader = 0x21;
  s.imageMajor = 0x07;
  s.imageMinor = 0x23;
  s.reg30CInitial = 0x5C;
  return s;
}

void SimInit(SimConverter* c, const SimScenario* scenario) {
  Zero(c);
  if (scenario != nullptr) c->scenario = *scenario;
  Fill(c->flash, kSimFlashSize, kSimErased);
  Fill(c->window, kSimPageSize, kSimErased);
  SetUpRegisters(c);
  c->converterMode = c->scenario.displayDriven;
}

uint32_t SimViolationCount(const SimConverter* c, SimViolation v) {
  const uint32_t index = static_cast<uint32_t>(v);
  return index < static_cast<uint32_t>(SimViolation::kCount) ? c->record.violationsByCode[index]
                                                             : 0;
}

int64_t SimDpcdRead(SimConverter* c, uint32_t port, uint32_t address, uint32_t count,
                    uint8_t* buffer) {
  if (c == nullptr) return kSimInvalidParameter;
  SimRecord& r = c->record;
  ++r.sequence;
  NoteAccess(c, SimAccessKind::kDpcdRead, port, address, 0, count);
  if (Refused(c, port, ++r.dpcdReads, c->scenario.failDpcdRead)) return Fail(c, kSimDeviceError);
  if (count != 1 || buffer == nullptr) return Reject(c, address);
  NoteDpcdAccess(c, address);
  *buffer = ReadRegister(c, address);
  return kSimOk;
}

int64_t SimDpcdWrite(SimConverter* c, uint32_t port, uint32_t address, uint32_t count,
                     uint8_t* buffer) {
  if (c == nullptr) return kSimInvalidParameter;
  SimRecord& r = c->record;
  ++r.sequence;
  NoteAccess(c, SimAccessKind::kDpcdWrite, port, address, 0, count);
  if (Refused(c, port, ++r.dpcdWrites, c->scenario.failDpcdWrite)) return Fail(c, kSimDeviceError);
  if (count != 1 || buffer == nullptr) return Reject(c, address);
  NoteDpcdAccess(c, address);
  WriteRegister(c, address, *buffer);
  return kSimOk;
}

int64_t SimI2cRead(SimConverter* c, uint32_t port, uint8_t slave, const SimI2cOffset* offset,
                   uint32_t count, uint8_t* buffer) {
  if (c == nullptr) return kSimInvalidParameter;
  SimRecord& r = c->record;
  ++r.sequence;
  NoteAccess(c, SimAccessKind::kI2cRead, port, slave, offset != nullptr ? offset->offset : 0, count);
  if (Refused(c, port, ++r.i2cReads, c->scenario.failI2cRead)) return Fail(c, kSimDeviceError);
  if (!I2cArgumentsFit(offset, count, buffer)) return Reject(c, count);
  if (offset->second != 1) Violate(c, SimViolation::kOffsetSecondField, offset->second);
  if (slave == kSimAdaptorSlave) {
    Copy(buffer, c->adaptor + offset->offset, count);
    return kSimOk;
  }
  if (slave == kSimWindowSlave) {
    const int64_t status = WindowRead(c, offset->offset, count, buffer);
    return status < 0 ? Fail(c, status) : status;
  }
  Violate(c, SimViolation::kUnknownSlave, slave);
  return Fail(c, kSimDeviceError);
}

int64_t SimI2cWrite(SimConverter* c, uint32_t port, uint8_t slave, const SimI2cOffset* offset,
                    uint32_t count, uint8_t* buffer) {
  if (c == nullptr) return kSimInvalidParameter;
  SimRecord& r = c->record;
  ++r.sequence;
  NoteAccess(c, SimAccessKind::kI2cWrite, port, slave, offset != nullptr ? offset->offset : 0, count);
  if (Refused(c, port, ++r.i2cWrites, c->scenario.failI2cWrite)) return Fail(c, kSimDeviceError);
  if (!I2cArgumentsFit(offset, count, buffer)) return Reject(c, count);
  if (offset->second != 1) Violate(c, SimViolation::kOffsetSecondField, offset->second);
  if (count == 1) CheckStaging(c, buffer);
  if (slave == kSimAdaptorSlave) {
    AdaptorWrite(c, offset->offset, count, buffer);
    return kSimOk;
  }
  if (slave == kSimWindowSlave) {
    const int64_t status = WindowWrite(c, offset->offset, count, buffer);
    return status < 0 ? Fail(c, status) : status;
  }
  Violate(c, SimViolation::kUnknownSlave, slave);
  return Fail(c, kSimDeviceError);
}

const char* SimViolationName(SimViolation v) {
  constexpr const char* kNames[] = {
      "bad argument",
      "DPCD before mode change",
      "unmapped DPCD address",
      "other vendor block",
      "write to read-only register",
      "unknown I2C slave",
      "adaptor write",
      "offset record second field",
      "command before download mode",
      "unknown command",
      "command before acknowledgement",
      "status not cleared",
      "start repeated",
      "page before start",
      "command after finish",
      "too many pages",
      "finish before all pages",
      "window write outside a page",
      "window write before acknowledgement",
      "window byte rewritten",
      "window read outside a page",
      "read-back before page complete",
      "page committed incomplete",
      "staging not zeroed",
  };
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<size_t>(SimViolation::kCount));
  const uint32_t index = static_cast<uint32_t>(v);
  return index < static_cast<uint32_t>(SimViolation::kCount) ? kNames[index] : "?";
}
