// `pelloryctl driver remove`, and what `clean` removes of the driver.
#include <algorithm>

#include "pelloryctl/commands.h"
#include "pelloryctl/driver.h"
#include "pelloryctl/load_option.h"
#include "pelloryctl/machine.h"
#include "pelloryctl/program_copy.h"
#include "pelloryctl/system_paths.h"
#include "pelloryctl/variables.h"

namespace {

// DriverOrder without our numbers, every other one kept in its place.
// UEFI keeps no variable of no bytes (writing none deletes it), so an
// order left empty goes: as it was on a machine before an install made it.
Outcome TakeOutOfOrder(const std::vector<unsigned>& ours, FILE* out) {
  std::vector<uint8_t> order, kept;
  if (Outcome read = ReadDriverOrder(&order); !read) return read;
  for (unsigned n : OrderNumbers(order))
    if (std::find(ours.begin(), ours.end(), n) == ours.end()) kept.insert(kept.end(), {uint8_t(n), uint8_t(n >> 8)});
  if (kept.size() == order.size()) return Done();
  std::string names;
  for (unsigned n : ours) names += (names.empty() ? "" : ", ") + OptionName(kDriver, n);
  if (kept.empty()) {
    if (Outcome gone = VarDelete(efi_guid_global, kDriver.order); !gone) return gone;
    fprintf(out, "Removed DriverOrder (it listed only %s).\n", names.c_str());
    return Done();
  }
  if (Outcome set = VarSet(efi_guid_global, kDriver.order, kept); !set) return set;
  fprintf(out, "Took %s out of DriverOrder: %s.\n", names.c_str(), OrderText(kept).c_str());
  return Done();
}

}  // namespace

Outcome ReadDriverOrder(std::vector<uint8_t>* order) {
  if (Outcome read = VarGet(efi_guid_global, kDriver.order, order, 65536); !read)
    return Fail("DriverOrder can not be read", read.error);
  if (order->size() % 2 != 0)
    return Fail("DriverOrder holds " + std::to_string(order->size()) +
                " bytes, an odd number, so it is no list of Driver#### numbers: pelloryctl does not rewrite it");
  return Done();
}

std::string OrderText(const std::vector<uint8_t>& order) {
  std::string text;
  for (unsigned n : OrderNumbers(order)) {
    char number[8];
    snprintf(number, sizeof number, "%04X", n);
    text += (text.empty() ? "" : ",") + std::string(number);
  }
  return text;
}

Outcome RemoveDriver(const Esp& esp, FILE* out, bool* removed) {
  std::vector<unsigned> ours;
  if (Outcome listed = FindOptions(kDriver, &ours); !listed) return listed;
  if (Outcome taken = TakeOutOfOrder(ours, out); !taken) return taken;
  for (unsigned n : ours) {
    if (Outcome gone = VarDelete(efi_guid_global, OptionName(kDriver, n)); !gone)
      return NotRemoved(kDriver.entry, gone.error);
    fprintf(out, "Removed %s \"%s\".\n", OptionName(kDriver, n).c_str(), kDriver.description);
  }
  bool copy = false;
  if (Outcome gone = RemoveFromEsp(SystemPath(esp.mount_point), kDriver, &copy); !gone) return gone;
  if (copy) fprintf(out, "Removed %s from %s.\n", EspPath(kDriver).c_str(), esp.mount_point.c_str());
  *removed = copy || !ours.empty();
  return Done();
}

int DriverRemove(const std::string& esp_dir, FILE* out, FILE* err) {
  Esp esp;
  bool removed = false;
  Outcome done = CheckMachine(true);
  // The ESP is found before anything is removed: without it the copy
  // would stay behind while the entry that names it is gone.
  if (done) done = FindWritableEsp(esp_dir, &esp);
  if (done) done = RemoveDriver(esp, out, &removed);
  if (!done) {
    fprintf(err, "pelloryctl: %s\n", done.reason.c_str());
    return kExitNone;
  }
  if (!removed) fprintf(out, "The identification driver is not installed: nothing was removed.\n");
  return 0;
}
