// The resident identification driver's campaign, beside the program's:
// plans drawn by the same choosers, one boot of the driver each, judged by
// the rules it must keep whatever it meets: never a write to the
// converter, never a stall, a reading that parses and matches what the
// converters answered, the pool as it was.
#pragma once

#include "tests/soak/campaign.h"

namespace soak {

struct ResidentPlan {
  unsigned handles = 1;  // 0: the graphics driver's protocols are not there
  SimScenario converters[kMaxConverters] = {};
  unsigned signals = 1;  // how often the firmware signals ReadyToBoot
  bool variablesReadOnly = false;
  bool clockFails = false;
  std::vector<FaultPlan> faults;  // counted from the driver's entry
};

ResidentPlan DrawResident(Chooser& chooser);
std::string DescribeResident(const ResidentPlan& plan);
RunResult RunResident(const ResidentPlan& plan);

}  // namespace soak
