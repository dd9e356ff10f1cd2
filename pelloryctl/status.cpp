// `pelloryctl status`: the converter as the identification driver read it
// at this boot, and whether the driver is installed. No root: it only
// reads.
#include <algorithm>

#include "pelloryctl/commands.h"
#include "pelloryctl/converter_reading.h"
#include "pelloryctl/json_text.h"
#include "pelloryctl/load_option.h"
#include "pelloryctl/machine.h"
#include "pelloryctl/variables.h"

namespace {

constexpr char kAbsent[] = "absent";
// The reading's values as the text names them, in the reading's order
// after format= and state=.
constexpr const char* kLabels[] = {"Read at", "Port", "Vendor block", "Converter OUI", "Bootloader", "Firmware"};
static_assert(sizeof kLabels / sizeof kLabels[0] == contract::kReadingKeyCount - 2);

struct Findings {
  bool present = false;
  Record reading;
  std::string state;
  bool installed = false, ordered = false;
  std::string driver;  // "Driver0001 HD(...)/File(...)", or empty
};

Outcome Gather(Findings* s) {
  if (Outcome read = ReadConverter(&s->reading, &s->present); !read) return read;
  s->state = s->present ? s->reading.Get(contract::kReadingKeys[1]) : kAbsent;
  unsigned number = 0;
  if (Outcome found = FindOption(kDriver, &number, &s->installed); !found) return found;
  if (!s->installed) return Done();
  std::vector<uint8_t> option, order;
  if (Outcome read = VarGet(efi_guid_global, OptionName(kDriver, number), &option, 65536); !read) return read;
  const std::string path = LoadOptionPath(option);
  s->driver = OptionName(kDriver, number) + (path.empty() ? "" : " " + path);
  // Only whether it lists ours: an order pelloryctl would not rewrite
  // still tells that.
  if (Outcome read = VarGet(efi_guid_global, kDriver.order, &order, 65536); !read) return read;
  const std::vector<unsigned> listed = OrderNumbers(order);
  s->ordered = std::find(listed.begin(), listed.end(), number) != listed.end();
  return Done();
}

void PrintJson(const Findings& s, FILE* out) {
  fprintf(out, "{\"state\":%s", JsonString(s.state).c_str());
  for (const auto& [key, value] : s.reading.fields)
    if (key != contract::kReadingKeys[1]) fprintf(out, ",%s:%s", JsonString(key).c_str(), JsonString(value).c_str());
  fprintf(out, ",\"driver\":%s}\n", JsonString(s.driver).c_str());
}

const char* Absent(const Findings& s) {
  if (!s.installed)
    return "No reading at this boot: the identification driver is not installed (pelloryctl driver install).";
  if (!s.ordered)
    return "No reading at this boot: the driver's entry is not in DriverOrder, so the firmware does not load it "
           "(pelloryctl driver install puts it back).";
  return "No reading at this boot, though the driver is installed: if it was installed before this boot, the "
         "firmware did not load it (some firmware ignores Driver####).";
}

const char* Meaning(const Findings& s) {
  if (!s.present) return Absent(s);
  if (IsState(s.reading, contract::ReadingState::Seen)) return "The identification driver read the converter at this boot.";
  if (IsState(s.reading, contract::ReadingState::Unreadable))
    return "A read of the converter failed at this boot; what it could not read is empty.";
  return "The graphics driver offered neither of its two protocols at this boot: the driver reached no converter.";
}

void PrintText(const Findings& s, FILE* out) {
  fprintf(out, "State: %s\n%s\n", s.state.c_str(), Meaning(s));
  for (size_t i = 2; i < s.reading.fields.size(); ++i) {
    const std::string& value = s.reading.fields[i].second;
    fprintf(out, "%s: %s\n", kLabels[i - 2], value.empty() ? "(not read)" : value.c_str());
  }
  fprintf(out, "Driver: %s\n", s.installed ? s.driver.c_str() : "not installed");
}

}  // namespace

int Status(bool json, FILE* out, FILE* err) {
  Findings s;
  Outcome found = CheckMachine(false);
  if (found) found = Gather(&s);
  if (!found) {
    PrintFailure(found.reason, json, out, err);
    return kExitNone;
  }
  json ? PrintJson(s, out) : PrintText(s, out);
  if (s.present && IsState(s.reading, contract::ReadingState::Seen)) return 0;
  return s.present ? kExitFailed : kExitNone;
}
