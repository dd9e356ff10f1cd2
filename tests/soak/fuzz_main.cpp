// The fuzz target: the input bytes make every choice of the plan (handles,
// the converters' answers and timing, firmware faults, the old log.txt),
// and a run that breaks a rule stops the fuzzer with its account.
#include <cstdio>
#include <cstdlib>

#include "tests/soak/campaign.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  soak::ByteChooser chooser(data, size);
  const soak::Plan plan = soak::Draw(chooser);
  const soak::RunResult r = soak::RunOne(plan);
  if (r.violations.empty()) return 0;
  std::fprintf(stderr, "%s", soak::Describe(plan).c_str());
  for (const std::string& v : r.violations) std::fprintf(stderr, "violation: %s\n", v.c_str());
  std::abort();
}
