// The witness of one run: it stands in the firmware's tables (boot services,
// console, shell) and in front of the converter model's driver records,
// passes every call on unchanged (but for the one open a plan may break),
// and keeps what a checker needs to judge
// the run without trusting the program: which calls failed, which messages
// followed, the lines shown and the counters at the moment each appeared.
//
// Rules of the link layer are checked as the calls happen (they need the
// order of calls): each lookup is followed by open / driver call / close on
// every listed handle in list order; the first failure ends the operation
// and its one message is the very next thing shown; an open that hands back
// nothing callable is such a failure, and nothing is called through it;
// every handle list goes back to the pool before the next lookup.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/efi.h"
#include "sim/converter.h"
#include "tests/double/uefi_double.h"
#include "tests/soak/campaign.h"

namespace soak {

enum class LinkKind : uint8_t { Unknown, DpcdRead, DpcdWrite, I2cRead, I2cWrite };

// Counters at one moment; two marks tell what happened in between.
struct Mark {
  uint64_t lookups = 0;   // link operations begun
  uint64_t stalls = 0;    // Stall calls, faulted ones included
  uint64_t sequence = 0;  // the converters' sequence numbers, summed
  uint64_t events = 0;    // calls the witness saw
  uint64_t failures = 0;  // failing link operations so far, quiet ones included
  bool lastOpFailed = false;
  bool lastOpI2c = false;
};

struct Line {
  std::string text;
  Mark at;
};

struct ProgressMark {
  unsigned value;
  Mark at;
};

// What is kept of a finished link operation.
struct LinkSummary {
  bool failed = false;
  bool i2c = false;
  LinkKind kind = LinkKind::Unknown;
  uint32_t slave = 0, offset = 0;
  uint8_t value = 0;
};

// The link operation in progress.
struct LinkOp {
  bool active = false;
  bool i2c = false;
  bool quiet = false;  // an I2C read made before the first DPCD access
  bool failed = false;
  bool complete = false;
  std::vector<EFI_HANDLE> handles;
  size_t next = 0;
  enum class Step : uint8_t { Open, Call, Close } step = Step::Open;
  LinkKind kind = LinkKind::Unknown;
  uint32_t slave = 0, offset = 0, count = 0;
  uint8_t value = 0;
  // What the last driver call that succeeded handed back to a DPCD read:
  // a refused call leaves the program's byte as it was.
  bool produced = false;
  uint8_t producedValue = 0;
  std::array<uint8_t, 256> data{};
};

class Witness {
 public:
  // Installs one GopNative + GopI2c handle per converter into `uefi` and
  // stands in the tables. Only one witness lives at a time.
  Witness(dbl::UefiDouble& uefi, SimConverter* const* converters, unsigned count);
  ~Witness();
  Witness(const Witness&) = delete;
  Witness& operator=(const Witness&) = delete;

  // The nth open of a driver protocol that succeeds hands back `defect`.
  void BreakOpen(uint64_t nth, Defect defect);
  // Counts one open of a driver protocol that succeeded; the defect it is
  // to hand back (Defect::None for the record itself).
  Defect NextOpenDefect();

  // The end of the run: the last operation and message are judged.
  void Finish();
  Mark Now() const;
  void Violate(const std::string& what);

  // --- Evidence ----------------------------------------------------------------
  std::vector<std::string> violations;
  std::string console;  // every text the program handed to OutputString
  std::string partial;  // console text after the last line end
  std::vector<Line> lines;
  std::vector<ProgressMark> progress;
  uint64_t outputCalls = 0, outputFaults = 0;

  uint64_t lookups = 0, driverCalls = 0, driverFailures = 0;
  uint64_t loudFailures = 0, quietFailures = 0, messagesShown = 0;
  bool anyLinkFailure = false;

  uint64_t stalls = 0, stallsDone = 0, oddStalls = 0;
  // The waits of a network start's sends to its boot server, apart.
  uint64_t networkStalls = 0, networkStallsDone = 0;
  // A start without a shell (the Shell Parameters protocol absent from the
  // image) ends in the held screen: its prompt, then 50 ms key polls.
  bool startedWithoutShell = false;
  bool promptShown = false;
  // The first open of a file system is on the device the program came from;
  // refused as unsupported, the program came from the network.
  bool fileSystemOpened = false;
  EFI_STATUS firstFileSystemStatus = EFI_SUCCESS;
  uint64_t holdStalls = 0, holdStallsDone = 0;
  // The boot manager's watchdog must be off before the converter is touched.
  uint64_t watchdogOffEvent = 0, firstLookupEvent = 0;
  uint64_t allocateFailures = 0, freeFailures = 0;
  uint64_t locateFailures = 0, lastLocateFailureEvent = 0;

  std::set<SHELL_FILE_HANDLE> filesGiven, filesClosed, filesCloseTried;
  uint64_t shellFailures = 0, writeFailures = 0, closeFailures = 0;
  uint64_t firstFileGivenEvent = 0, lastCloseEvent = 0;
  // The history is written last, after the log's final close (or, when the
  // log never opened, from the open of history.csv on). The log's counters
  // above stop there; the history's failures count apart.
  bool historyPhase = false;
  uint64_t historyFailures = 0;
  uint64_t logLocateFailureEvent = 0;  // the last LocateProtocol failure before the history

  // Window reads as the program received them (the last handle's data).
  std::array<uint8_t, 256> pageReads{};
  bool readBackDiffers = false;
  uint32_t firstDifference = 0;
  uint8_t differenceImage = 0, differenceRead = 0;

  LinkSummary lastOp;  // the last operation that ended
  std::vector<uint64_t> failedOps;  // the number (from 1) of each link operation that failed

  // --- Entry points of the stand-ins ----------------------------------------------
  void OnLookup(const EFI_GUID* guid, EFI_STATUS status, UINTN count, EFI_HANDLE* list);
  // `iface` is what the program was handed.
  void OnOpen(EFI_HANDLE handle, const EFI_GUID* guid, EFI_STATUS status, const void* iface);
  void OnClose(EFI_HANDLE handle, const EFI_GUID* guid, EFI_STATUS status);
  void OnDriver(unsigned index, LinkKind kind, UINT32 port, UINT32 slaveOrAddress, UINT32 offset,
                UINT32 count, const UINT8* buffer, EFI_STATUS status);
  void OnStall(UINTN micros, EFI_STATUS status);
  void OnWatchdog(UINTN seconds, EFI_STATUS status);
  void OnAllocate(EFI_STATUS status);
  void OnFree(void* buffer, EFI_STATUS status);
  void OnLocateProtocol(EFI_STATUS status);
  void OnOutput(const CHAR16* text, EFI_STATUS status);
  void OnFileGiven(const CHAR16* name, SHELL_FILE_HANDLE handle, EFI_STATUS status);
  void OnShellStatus(EFI_STATUS status);
  void OnDelete(SHELL_FILE_HANDLE handle, EFI_STATUS status);
  void OnWrite(EFI_STATUS status);
  void OnCloseFile(SHELL_FILE_HANDLE handle, EFI_STATUS status);

 private:
  void Event(const char* what);
  void Expect(const std::u16string& message);
  void EndOp();
  void OpCompleted();
  void CheckPort(LinkKind kind, UINT32 port);
  void NoteLine(std::string text);
  void Awaited(uint8_t value, const std::string& what);

  SimConverter* const* converters_;
  unsigned count_;
  EFI_HANDLE handles_[4] = {};
  LinkOp op_;
  std::u16string pending_;  // the message the last failure owes
  void* pendingList_ = nullptr;
  bool nativeSeen_ = false;
  bool portSettled_ = false;
  UINT32 port_ = 0;
  UINT32 lastProbePort_ = 0;
  bool probed_ = false;
  uint64_t events_ = 0;
  uint64_t opensDone_ = 0;
  uint64_t brokenOpen_ = 0;
  Defect defect_ = Defect::None;
};

}  // namespace soak
