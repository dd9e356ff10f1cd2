// A fault campaign over whole program runs: each run draws a plan (handles,
// converter behaviour, firmware faults, the log.txt left by an earlier run),
// runs the program against the UEFI double with the converter model behind
// it, and checks what the run left behind against rules of the update that
// are computed from independent evidence: the console transcript, the
// double's files and counters, the model's record and every call the
// program made through the firmware and driver tables.
//
// The same code serves the soak (choices from a seeded generator) and the
// fuzz target (choices from the fuzzer's input bytes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/efi.h"
#include "sim/converter.h"
#include "tests/double/uefi_double.h"

namespace soak {

// The source of every choice a plan makes.
class Chooser {
 public:
  virtual ~Chooser() = default;
  // A value in 0 .. n-1 (0 when n is 0 or 1).
  virtual uint32_t Below(uint32_t n) = 0;

  bool Percent(uint32_t p) { return Below(100) < p; }
  // A value in lo .. hi, both included (hi - lo below 2^32 - 1).
  uint32_t Range(uint32_t lo, uint32_t hi) { return lo + Below(hi - lo + 1); }
  uint8_t Byte() { return static_cast<uint8_t>(Below(256)); }
  // An index drawn with the given weights.
  template <size_t N>
  size_t Pick(const uint32_t (&weights)[N]) {
    uint32_t total = 0;
    for (uint32_t w : weights) total += w;
    uint32_t roll = Below(total);
    for (size_t i = 0; i < N; i++) {
      if (roll < weights[i]) return i;
      roll -= weights[i];
    }
    return N - 1;
  }
};

// splitmix64 over a state seeded from (seed, run): runs are independent and
// any one of them replays alone.
class PrngChooser : public Chooser {
 public:
  PrngChooser(uint64_t seed, uint64_t run);
  uint32_t Below(uint32_t n) override;

 private:
  uint64_t Next();
  uint64_t state_;
};

// The fuzzer's bytes, as many as each choice needs; once they run out every
// choice takes its first option.
class ByteChooser : public Chooser {
 public:
  ByteChooser(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint32_t Below(uint32_t n) override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t used_ = 0;
};

constexpr unsigned kMaxConverters = 3;

// The header a new history.csv starts with.
constexpr char kHistoryHeader[] =
    "time,machine_serial,machine_uuid,port,vendor_block,converter_oui,bootloader,firmware_before,"
    "image,outcome";

// One armed fault of the double, counted from the end of the set-up.
struct FaultPlan {
  dbl::Service service;
  uint64_t nth;
  bool onward;
  EFI_STATUS status;
};

enum class OldLog : uint8_t { Absent, Directory, Content };
enum class RequestKind : uint8_t { Absent, Valid, Malformed };
enum class OldHistory : uint8_t { Absent, Directory, Content };

// What a driver hands back from an open that it answers with success: its
// record, or nothing callable.
enum class Defect : uint8_t { None, NullInterface, NullRead, NullWrite };
const char* DefectName(Defect d);

// How a run ended, as its outcome line tells it.
enum class Outcome : uint8_t {
  None,
  Request,    // the OS's request could not be read
  Uncleared,  // nor deleted
  Memory,
  File,
  // A run the OS asked for that wrote nothing once it had identified the
  // converter.
  Unread,
  Identified,
  WrongConverter,
  Current,
  Newer,
  CommandClear,
  Echo,
  StartAck,
  PageAck,
  WindowWrite,
  WindowRead,
  FinishAck,
  Verify,
  Success,
  Count
};
const char* OutcomeName(Outcome o);

// How a network start's boot server treats one send: it takes it (at once
// or just inside the bound), refuses it (403, 500), or never answers; or
// the request never leaves.
enum class ServerAnswer : uint8_t { Taken, Slow, Forbidden, ServerError, Never, Lost, Count };
const char* ServerAnswerName(ServerAnswer a);

struct NetworkPlan {
  bool noService = false;     // the card has no HTTP service
  bool unaddressed = false;   // the boot left the card without an address
  uint64_t dhcpAfter = 0;     // once DHCP is on, the address comes after this (0: never)
  ServerAnswer answers[2] = {ServerAnswer::Taken, ServerAnswer::Taken};  // the first send, the final one
};

struct Plan {
  const char* aim = "";  // what the draw went for, for the replay's account
  unsigned handles = 1;  // one converter behind each
  SimScenario converters[kMaxConverters] = {};
  bool homogeneous = true;  // every converter behaves alike
  std::vector<FaultPlan> faults;
  // The brokenOpen-th open of a driver protocol (1-based, from the program's
  // start) that succeeds hands back `defect` instead of the record.
  uint64_t brokenOpen = 0;
  Defect defect = Defect::None;
  OldLog oldLog = OldLog::Absent;
  std::string oldContent;
  bool createTruncates = false;
  bool withoutShell = false;  // started by the boot manager, from "\\pellory.efi"
  OldHistory oldHistory = OldHistory::Absent;
  std::string oldHistoryContent;
  // The OS's request left in PelloryRequest, and what a valid one asks for
  // at the end (0 return, 1 reboot, 2 shutdown).
  RequestKind request = RequestKind::Absent;
  std::string requestText;
  std::string requestId;
  unsigned after = 0;
  // mode=identify, and what allow= lets an update write.
  bool identify = false;
  bool allowSame = false, allowOlder = false;
  bool network = false;  // loaded from no file system (implies withoutShell)
  NetworkPlan net;       // a network start's way to its boot server
  bool variablesReadOnly = false;
  bool variablesFull = false;  // room for no record
};

Plan Draw(Chooser& chooser);
std::string Describe(const Plan& plan);

// What a resident driver's run left: its reading's state, or none at all.
enum class Left : uint8_t { NoEvent, NoReading, Seen, Unreadable, None, Count };
const char* LeftName(Left l);

struct RunResult {
  Outcome outcome = Outcome::None;
  Left left = Left::NoEvent;  // resident driver's runs only
  uint64_t micros = 0;
  uint64_t linkOperations = 0;
  std::string console;  // as the program attempted to show it
  std::vector<std::string> violations;
};

// Runs the program once under `plan` and checks the run.
RunResult RunOne(const Plan& plan);

}  // namespace soak
