// The rules a finished run is judged by, shared by the soak and the fuzz
// target.
#pragma once

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
  uint32_t modelViolations[kMaxConverters] = {};
  const char* firstModelViolation[kMaxConverters] = {};
  std::vector<std::string> doubleComplaints;  // the double's own test failures
};

// Appends one line per broken rule; returns the outcome the console tells.
Outcome Judge(const Plan& plan, const Witness& witness, const Final& final,
              std::vector<std::string>* violations);

// The most Stall calls the waits allow in one run: 800 handshake passes of
// two short waits, the start, 256 page and the finish waits.
constexpr uint64_t kMaxStalls = 800 * 2 * 100 + 1000 + 256 * 1000 + 100;

}  // namespace soak
