// The rules a finished run is judged by, shared by the soak and the fuzz
// target.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tests/soak/campaign.h"
#include "tests/soak/witness.h"

namespace soak {

// What the run left behind, read from the double and the model once the
// program has returned.
struct Final {
  EFI_STATUS status = EFI_SUCCESS;
  uint64_t micros = 0;
  size_t poolBlocks = 0;
  int openFiles = 0;
  std::string doubleConsole;
  bool logExists = false;
  bool logIsDirectory = false;
  std::string log;
  bool historyExists = false;
  bool historyIsDirectory = false;
  std::string history;
  uint64_t sequence = 0;       // the converters' sequence numbers, summed
  uint64_t modelFailures = 0;  // calls the converters refused, summed
  bool flashIsImage[kMaxConverters] = {};
  uint64_t pageCommits = 0;  // pages the converters took into flash, summed
  uint32_t modelViolations[kMaxConverters] = {};
  const char* firstModelViolation[kMaxConverters] = {};
  std::vector<std::string> doubleComplaints;  // the double's own test failures
  // The firmware variables: the request as it was left, every PelloryResult
  // that was written, the variable calls and where the converters stood at
  // each write, and the reset if one was made.
  bool requestLeft = false;
  std::string requestNow;
  std::vector<std::string> records;
  uint64_t getVariableCalls = 0, setVariableCalls = 0;
  std::vector<uint64_t> setVariableAt;
  std::optional<EFI_RESET_TYPE> reset;
  // What the boot server received, and where the converters stood at each
  // request the program tried.
  std::vector<dbl::HttpRequestSeen> requests;
  std::vector<uint64_t> requestAt;
};

// What the plan leads a run to, before any converter is touched: whether the
// request is served, whether the run is unattended, where it stops, which
// record writes the firmware keeps.
struct Expectation {
  bool withoutShell = false, network = false;  // as the firmware's answers made the start
  bool requestSeen = false;  // read and taken as present, so deleted first
  bool valid = false;
  bool deleted = false;
  bool unattended = false;
  bool prompt = false;
  Outcome early = Outcome::None;  // a stop before the converter: Request, Uncleared or File
  bool firstKept = false, finalKept = false;
  bool firstSent = false, finalSent = false;  // the server took the send (network starts)
  std::optional<EFI_RESET_TYPE> reset;
  EFI_STATUS status = EFI_SUCCESS;
};
// `requests` is what the boot server received: whether the first send was
// taken decides, with the record, whether a network start may go on.
Expectation Foresee(const Plan& plan, bool withoutShell, bool network,
                    const std::vector<dbl::HttpRequestSeen>& requests);

// The record's rules: its writes, their order against the converter, their
// bytes, and the request it served. `outcome` is the outcome as history.csv
// names it; `identified` the bootloader and firmware lines shown, if any.
void JudgeRecord(const Plan& plan, const Expectation& e, const Final& final, const std::string& outcome,
                 const std::string& bootloader, const std::string& firmware, std::vector<std::string>* violations);

// Appends one line per broken rule; returns the outcome the console tells.
Outcome Judge(const Plan& plan, const Witness& witness, const Final& final,
              std::vector<std::string>* violations);

// The most Stall calls the waits allow in one run: 800 handshake passes of
// two short waits, the start, 256 page and the finish waits.
constexpr uint64_t kMaxStalls = 800 * 2 * 100 + 1000 + 256 * 1000 + 100;

}  // namespace soak
