// The simulator driver's scenario file, convsim.cfg: `key = value` lines
// that change a default converter and say how the driver installs it.
//
//   # a comment; blank lines are ignored
//   commandClearReads = never
//   oui0 = 0x0A
//   handles = 2
//
// Keys are the SimScenario fields by name (oui0..oui2 for the OUI bytes,
// echoAfterReads / startAckAfterReads / pageAckAfterReads /
// finishAckAfterReads for the reply timings, failDpcdReadNth and
// failDpcdReadCount and the like for the call failures), plus the driver's
// own options below. Values are decimal or 0x hexadecimal; `never` (alias
// `always`) is kSimNever; flags take true or false.
//
// Freestanding like the model: it parses a byte buffer the driver read.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sim/converter.h"

constexpr uint32_t kSimScenarioMaxHandles = 4;

struct SimDriverOptions {
  // Handles to install, each with a converter of its own running the
  // same scenario: 1..kSimScenarioMaxHandles.
  uint32_t handles;
  // false: the driver installs no GopNative / GopI2c at all, as on a
  // machine without the graphics driver (stalls are still made fast).
  bool installProtocols;
  // true: the 500,000 us stalls of the program's waits return at once.
  bool fastStall;
  // Once a converter has committed this many pages the driver resets the
  // machine (a cold ResetSystem), as a power cut in the middle of the
  // pages would; kSimNever: never.
  uint32_t resetAfterPages;
};

struct SimScenarioFile {
  SimScenario scenario;
  SimDriverOptions options;
};

// SimDefaultScenario() with one handle, protocols installed, fast stalls,
// no reset.
SimScenarioFile SimDefaultScenarioFile();

// Where and why a file was refused.
struct SimParseError {
  uint32_t line;       // 1-based
  const char* reason;  // e.g. "unknown key"
  char key[32];        // the key concerned (cut to fit), empty when none
};

// Parses `length` bytes of scenario text over the defaults. On success
// `out` holds the result; on failure `out` is untouched and `error` says
// where the first bad line is.
[[nodiscard]] bool SimParseScenarioText(const char* text, size_t length, SimScenarioFile* out,
                                        SimParseError* error);
