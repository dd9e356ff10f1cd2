// The witness's judgement of calls as they happen. The stand-ins that feed
// it live in witness_tables.cpp.
#include "tests/soak/witness.h"

#include <algorithm>
#include <iterator>

#include "link/gop.h"
#include "payload/firmware_image.h"
#include "platform/boot_server.h"
#include "sim/gop_binding.h"

namespace soak {
namespace {

constexpr UINTN kPoll = 500000;
constexpr UINTN kKeyPoll = 50000;
constexpr EFI_GUID kShellParametersGuid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
constexpr EFI_GUID kLoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
constexpr EFI_GUID kFileSystemGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
constexpr size_t kViolationsKept = 24;

bool Same(const EFI_GUID* a, const EFI_GUID& b) {
  return a != nullptr && a->Data1 == b.Data1 && a->Data2 == b.Data2 && a->Data3 == b.Data3 &&
         std::equal(std::begin(a->Data4), std::end(a->Data4), std::begin(b.Data4));
}

bool IsGop(const EFI_GUID* g) { return Same(g, kSimGopNativeGuid) || Same(g, kSimGopI2cGuid); }

std::string Narrow(const std::u16string& text) {
  std::string s;
  for (char16_t c : text) {
    if (c == u'\r') {
      s += "\\r";
    } else if (c == u'\n') {
      s += "\\n";
    } else {
      s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
  }
  return s;
}

// The program's name for each operation, as its call and close messages show it.
std::u16string OperationName(LinkKind kind) {
  switch (kind) {
    case LinkKind::DpcdRead:
      return u"ReadDPCD";
    case LinkKind::DpcdWrite:
      return u"WriteDPCD";
    case LinkKind::I2cRead:
      return u"I2CProtocolRead";
    case LinkKind::I2cWrite:
      return u"I2CProtocolWrite";
    case LinkKind::Unknown:
      break;
  }
  return u"?";
}

std::u16string CallMessage(LinkKind kind) { return u"ERROR : " + OperationName(kind) + u" failed.\r\n"; }

std::u16string CloseMessage(LinkKind kind) {
  return u"ERROR : Close " + OperationName(kind) + u" device handle failed.\r\n";
}

bool IsI2c(LinkKind k) { return k == LinkKind::I2cRead || k == LinkKind::I2cWrite; }

// Whether the program may call through what an open handed it: a record
// with both functions.
template <typename Record>
bool Callable(const void* iface) {
  const auto* record = static_cast<const Record*>(iface);
  return record != nullptr && record->read != nullptr && record->write != nullptr;
}

// "Page:XX\r", shown by itself: the flushed progress line.
bool ProgressValue(const std::string& text, unsigned* value) {
  if (text.size() != 8 || text.compare(0, 5, "Page:") != 0 || text[7] != '\r') return false;
  unsigned v = 0;
  for (int i = 5; i < 7; i++) {
    char c = text[static_cast<size_t>(i)];
    if (c >= '0' && c <= '9') {
      v = v * 16 + static_cast<unsigned>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      v = v * 16 + static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
  }
  *value = v;
  return true;
}

}  // namespace

void Witness::Violate(const std::string& what) {
  if (violations.size() < kViolationsKept) violations.push_back(what);
}

Mark Witness::Now() const {
  Mark m;
  m.lookups = lookups;
  m.stalls = stalls;
  for (unsigned i = 0; i < count_; i++) m.sequence += converters_[i]->record.sequence;
  m.events = events_;
  m.failures = loudFailures + quietFailures;
  m.lastOpFailed = op_.active ? op_.failed : lastOp.failed;
  m.lastOpI2c = op_.active ? op_.i2c : lastOp.i2c;
  return m;
}

// Any call but the message's own: a failure's message must come first.
void Witness::Event(const char* what) {
  events_++;
  if (pending_.empty()) return;
  Violate("the message \"" + Narrow(pending_) + "\" was not shown before " + what);
  pending_.clear();
}

void Witness::Expect(const std::u16string& message) {
  op_.failed = true;
  anyLinkFailure = true;
  loudFailures++;
  pending_ = message;
}

void Witness::EndOp() {
  if (!op_.active) return;
  if (!op_.failed && !op_.complete) Violate("a link operation ended before every handle was served");
  lastOp = {op_.failed, op_.i2c, op_.kind, op_.slave, op_.offset, op_.value};
  if (op_.failed) failedOps.push_back(lookups);
  // Reset in place: this runs once per link operation, and the handle
  // vector keeps its storage.
  op_.active = op_.i2c = op_.quiet = op_.failed = op_.complete = false;
  op_.handles.clear();
  op_.next = 0;
  op_.step = LinkOp::Step::Open;
  op_.kind = LinkKind::Unknown;
  op_.slave = op_.offset = op_.count = 0;
  op_.value = 0;
  op_.produced = false;
  op_.producedValue = 0;
}

void Witness::Finish() {
  Event("the program's end");
  EndOp();
  if (pendingList_ != nullptr) Violate("the last lookup's handle list was not returned to the pool");
}

void Witness::OnLookup(const EFI_GUID* guid, EFI_STATUS status, UINTN count, EFI_HANDLE* list) {
  Event("the next lookup");
  if (!IsGop(guid)) return;
  if (firstLookupEvent == 0) firstLookupEvent = events_;
  EndOp();
  if (pendingList_ != nullptr) Violate("a handle list was not returned to the pool before the next lookup");
  pendingList_ = nullptr;
  lookups++;
  const bool i2c = Same(guid, kSimGopI2cGuid);
  if (!i2c) nativeSeen_ = true;
  op_.active = true;
  op_.i2c = i2c;
  op_.quiet = i2c && !nativeSeen_;
  if (EFI_ERROR(status)) {
    Expect(i2c ? u"ERROR : Can't get GopI2c Protocol.\r\n" : u"ERROR : Can't get GopNative Protocol.\r\n");
    return;
  }
  pendingList_ = list;
  for (UINTN i = 0; i < count && list != nullptr; i++) op_.handles.push_back(list[i]);
  if (op_.handles.empty()) op_.complete = true;
}

void Witness::BreakOpen(uint64_t nth, Defect defect) {
  brokenOpen_ = nth;
  defect_ = defect;
}

Defect Witness::NextOpenDefect() { return ++opensDone_ == brokenOpen_ ? defect_ : Defect::None; }

void Witness::OnOpen(EFI_HANDLE handle, const EFI_GUID* guid, EFI_STATUS status, const void* iface) {
  Event("OpenProtocol");
  if (guid != nullptr && Same(guid, kShellParametersGuid) && status == EFI_UNSUPPORTED)
    startedWithoutShell = true;
  if (guid != nullptr && Same(guid, kFileSystemGuid) && !fileSystemOpened) {
    fileSystemOpened = true;
    firstFileSystemStatus = status;
  }
  // Without a shell the program's folder comes from these two; when either
  // is refused, neither log.txt nor history.csv has a place.
  if (guid != nullptr && (Same(guid, kLoadedImageGuid) || Same(guid, kFileSystemGuid)) && EFI_ERROR(status)) {
    shellFailures++;
    historyFailures++;
  }
  if (!IsGop(guid)) return;
  if (!op_.active || op_.failed || op_.complete || op_.step != LinkOp::Step::Open ||
      op_.i2c != Same(guid, kSimGopI2cGuid) || handle != op_.handles[op_.next]) {
    Violate("OpenProtocol out of the link sequence (handle " + std::to_string(op_.next) + ")");
    return;
  }
  const bool callable = op_.i2c ? Callable<GopI2cProtocol>(iface) : Callable<GopNativeProtocol>(iface);
  if (EFI_ERROR(status) || !callable) {
    Expect(op_.i2c ? u"ERROR : Open GopI2c Protocol failed.\r\n" : u"ERROR : Open GopNative Protocol failed.\r\n");
    return;
  }
  op_.step = LinkOp::Step::Call;
}

void Witness::CheckPort(LinkKind kind, UINT32 port) {
  if (!nativeSeen_) {
    // The probe: even ports from 0 up to 10, in ascending order.
    if (port % 2 != 0 || port > 10 || (probed_ && port < lastProbePort_))
      Violate("probe call on port " + std::to_string(port));
    if (kind == LinkKind::I2cRead || kind == LinkKind::I2cWrite) {
      probed_ = true;
      lastProbePort_ = port;
    }
    return;
  }
  if (!portSettled_) {
    portSettled_ = true;
    port_ = port;
    if (probed_ && port != lastProbePort_)
      Violate("port " + std::to_string(port) + " after probing up to " + std::to_string(lastProbePort_));
  } else if (port != port_) {
    Violate("a driver call on port " + std::to_string(port) + ", the run settled on " + std::to_string(port_));
  }
}

void Witness::OnDriver(unsigned index, LinkKind kind, UINT32 port, UINT32 slaveOrAddress, UINT32 offset,
                       UINT32 count, const UINT8* buffer, EFI_STATUS status) {
  Event("a driver call");
  driverCalls++;
  if (!op_.active || op_.failed || op_.step != LinkOp::Step::Call || index >= count_ ||
      handles_[index] != op_.handles[op_.next] || op_.i2c != IsI2c(kind) ||
      (op_.kind != LinkKind::Unknown && op_.kind != kind)) {
    Violate("a driver call out of the link sequence");
    return;
  }
  CheckPort(kind, port);
  op_.kind = kind;
  op_.slave = slaveOrAddress;
  op_.offset = offset;
  op_.count = count;
  if (buffer != nullptr && count >= 1) op_.value = buffer[0];
  if (kind == LinkKind::I2cRead && buffer != nullptr && count <= 256)
    std::copy(buffer, buffer + count, op_.data.begin());
  if (kind == LinkKind::DpcdRead && !EFI_ERROR(status) && buffer != nullptr && count >= 1) {
    op_.produced = true;
    op_.producedValue = buffer[0];
  }
  if (EFI_ERROR(status)) {
    driverFailures++;
    if (kind == LinkKind::I2cRead && op_.quiet) {
      op_.failed = true;
      anyLinkFailure = true;
      quietFailures++;
    } else {
      Expect(CallMessage(kind));
    }
    return;
  }
  op_.step = LinkOp::Step::Close;
}

void Witness::OnClose(EFI_HANDLE handle, const EFI_GUID* guid, EFI_STATUS status) {
  Event("CloseProtocol");
  if (!IsGop(guid)) return;
  if (!op_.active || op_.failed || op_.step != LinkOp::Step::Close || handle != op_.handles[op_.next]) {
    Violate("CloseProtocol out of the link sequence");
    return;
  }
  if (EFI_ERROR(status)) {
    Expect(CloseMessage(op_.kind));
    return;
  }
  op_.step = LinkOp::Step::Open;
  if (++op_.next < op_.handles.size()) return;
  op_.complete = true;
  OpCompleted();
}

// A window read the program received in full: the page the progress line
// names, against the image.
void Witness::OpCompleted() {
  if (op_.kind != LinkKind::I2cRead || op_.slave != 0xA0) return;
  if (op_.count != 256 || progress.empty()) {
    Violate("a window read of " + std::to_string(op_.count) + " bytes with " +
            std::to_string(progress.size()) + " progress lines shown");
    return;
  }
  const unsigned page = 255 - progress.back().value;
  if (pageReads[page] != 0xFF) pageReads[page]++;
  if (readBackDiffers) return;
  for (unsigned j = 0; j < 256; j++) {
    const uint8_t image = FirmwareImage[page * 256 + j];
    if (op_.data[j] == image) continue;
    readBackDiffers = true;
    firstDifference = page * 256 + j;
    differenceImage = image;
    differenceRead = op_.data[j];
    return;
  }
}

void Witness::OnStall(UINTN micros, EFI_STATUS status) {
  Event("Stall");
  if (promptShown && micros == kKeyPoll) {
    holdStalls++;
    if (!EFI_ERROR(status)) holdStallsDone++;
    return;
  }
  if (micros == kBootServerPollMicroseconds) {
    networkStalls++;
    if (!EFI_ERROR(status)) networkStallsDone++;
    return;
  }
  stalls++;
  if (micros != kPoll) oddStalls++;
  if (!EFI_ERROR(status)) stallsDone++;
}

void Witness::OnWatchdog(UINTN seconds, EFI_STATUS status) {
  Event("SetWatchdogTimer");
  if (seconds == 0 && !EFI_ERROR(status) && watchdogOffEvent == 0) watchdogOffEvent = events_;
}

void Witness::OnAllocate(EFI_STATUS status) {
  Event("AllocatePool");
  if (EFI_ERROR(status)) allocateFailures++;
}

void Witness::OnFree(void* buffer, EFI_STATUS status) {
  Event("FreePool");
  if (buffer != nullptr && buffer == pendingList_) pendingList_ = nullptr;
  if (EFI_ERROR(status)) freeFailures++;
}

void Witness::OnLocateProtocol(EFI_STATUS status) {
  Event("LocateProtocol");
  if (!EFI_ERROR(status)) return;
  locateFailures++;
  lastLocateFailureEvent = events_;
  if (!historyPhase) logLocateFailureEvent = events_;
}

void Witness::OnOutput(const CHAR16* text, EFI_STATUS status) {
  events_++;
  outputCalls++;
  if (EFI_ERROR(status)) outputFaults++;
  std::u16string wide;
  for (const CHAR16* c = text; c != nullptr && *c != 0; c++) wide.push_back(static_cast<char16_t>(*c));
  if (!pending_.empty()) {
    if (wide == pending_) {
      messagesShown++;
    } else {
      Violate("expected \"" + Narrow(pending_) + "\", shown \"" + Narrow(wide) + "\"");
    }
    pending_.clear();
  } else if (wide.rfind(u"ERROR : ", 0) == 0) {
    Violate("\"" + Narrow(wide) + "\" shown with no failure before it");
  }
  std::string narrow;
  for (char16_t c : wide) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  console += narrow;
  unsigned value = 0;
  if (ProgressValue(narrow, &value)) {
    Awaited(0x02, "the progress line " + narrow.substr(0, 7));
    progress.push_back({value, Now()});
    return;
  }
  partial += narrow;
  for (size_t end = partial.find("\r\n"); end != std::string::npos; end = partial.find("\r\n")) {
    NoteLine(partial.substr(0, end));
    partial.erase(0, end + 2);
  }
}

// A progress text that was not shown by itself is not a progress line: it is
// stripped here and missed by the checks of the transfer.
void Witness::NoteLine(std::string text) {
  unsigned value = 0;
  while (text.size() >= 8 && ProgressValue(text.substr(0, 8), &value)) text.erase(0, 8);
  // Each of these lines follows a wait the converter must have satisfied.
  if (text == "start to update downloading") Awaited('d', "\"" + text + "\"");
  if (text == "verifying") Awaited(0x80, "\"" + text + "\"");
  if (text == "Press any key to return to the firmware.") promptShown = true;
  lines.push_back({text, Now()});
}

// A satisfied wait shows in the operation just before: a DPCD read whose
// last answering driver call produced the awaited byte. A read the link
// refused, or a byte left over from earlier, satisfies nothing.
void Witness::Awaited(uint8_t value, const std::string& what) {
  if (op_.active && op_.kind == LinkKind::DpcdRead && op_.produced && op_.producedValue == value) return;
  Violate(what + " without a read that produced " + std::to_string(value));
}

void Witness::OnFileGiven(const CHAR16* name, SHELL_FILE_HANDLE handle, EFI_STATUS status) {
  Event("OpenFileByName");
  std::u16string given;
  for (const CHAR16* c = name; c != nullptr && *c != 0; c++) given.push_back(static_cast<char16_t>(*c));
  if (given == u"history.csv") historyPhase = true;
  if (EFI_ERROR(status)) {
    (historyPhase ? historyFailures : shellFailures)++;
    return;
  }
  if (!historyPhase && firstFileGivenEvent == 0) firstFileGivenEvent = events_;
  filesGiven.insert(handle);
}

void Witness::OnShellStatus(EFI_STATUS status) {
  Event("a shell call");
  if (EFI_ERROR(status)) (historyPhase ? historyFailures : shellFailures)++;
}

void Witness::OnDelete(SHELL_FILE_HANDLE handle, EFI_STATUS status) {
  Event("DeleteFile");
  filesCloseTried.insert(handle);
  filesClosed.insert(handle);  // the shell closes the handle in every case
  if (EFI_ERROR(status)) (historyPhase ? historyFailures : shellFailures)++;
}

void Witness::OnWrite(EFI_STATUS status) {
  Event("WriteFile");
  if (EFI_ERROR(status)) (historyPhase ? historyFailures : writeFailures)++;
}

// The log's close is its last act: what follows is the history's.
void Witness::OnCloseFile(SHELL_FILE_HANDLE handle, EFI_STATUS status) {
  Event("CloseFile");
  filesCloseTried.insert(handle);
  if (historyPhase) {
    if (EFI_ERROR(status)) historyFailures++;
    if (!EFI_ERROR(status)) filesClosed.insert(handle);
    return;
  }
  lastCloseEvent = events_;
  historyPhase = true;
  if (EFI_ERROR(status)) {
    closeFailures++;
    return;
  }
  filesClosed.insert(handle);
}

}  // namespace soak
