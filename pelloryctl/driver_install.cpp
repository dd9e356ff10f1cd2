// `pelloryctl driver install`: every check first, then each change in an
// order that a later failure can take back, newest first, as schedule
// does: the copy on the ESP, the Driver####, DriverOrder.
#include <algorithm>

#include "pelloryctl/boot_target.h"
#include "pelloryctl/commands.h"
#include "pelloryctl/driver.h"
#include "pelloryctl/load_option.h"
#include "pelloryctl/machine.h"
#include "pelloryctl/pe_check.h"
#include "pelloryctl/program_copy.h"
#include "pelloryctl/system_paths.h"
#include "pelloryctl/variables.h"

namespace {

// The driver stays under 16 KiB; a file this large is none.
constexpr size_t kDriverLimit = 16u << 20;

struct Plan {
  std::string file;  // as the command line named it
  std::string version;
  std::vector<uint8_t> image, option, order;  // order: DriverOrder as it is to be
  Esp esp;
  unsigned entry = 0;
  SavedVar old_entry, old_order;
};

struct Undo {
  CopyUndo copy;
  bool copied = false, entry_written = false, order_written = false;
};

// Every check of the command, nothing changed.
Outcome Prepare(const std::string& file, const std::string& esp_dir, Plan* plan) {
  if (Outcome checked = CheckMachine(true); !checked) return checked;
  plan->file = file.empty() ? kPackagedDriver : file;
  if (!ReadWholeFile(file.empty() ? SystemPath(kPackagedDriver) : file, &plan->image, kDriverLimit))
    return Fail(plan->file + " can not be read");
  if (Outcome usable = CheckDriver(plan->image, &plan->version); !usable)
    return Fail(plan->file + " " + usable.reason);
  if (Outcome found = FindWritableEsp(esp_dir, &plan->esp); !found) return found;
  // Secure Boot: the firmware loads a driver itself, so only db counts.
  if (Outcome trusted = CheckFirmwareLoads(plan->image, plan->file); !trusted) return trusted;
  if (Outcome built = MakeLoadOption(plan->esp, kDriver, EspPath(kDriver), {}, &plan->option); !built) return built;
  bool reused = false;
  if (Outcome listed = FindOption(kDriver, &plan->entry, &reused); !listed) return listed;
  if (!reused) {
    if (Outcome picked = FreeOptionNumber(kDriver, &plan->entry); !picked) return picked;
  }
  const std::string entry = OptionName(kDriver, plan->entry);
  if (Outcome read = ReadDriverOrder(&plan->order); !read) return read;
  // Ours goes last, behind the drivers the machine loads already.
  const std::vector<unsigned> listed = OrderNumbers(plan->order);
  if (std::find(listed.begin(), listed.end(), plan->entry) == listed.end())
    plan->order.insert(plan->order.end(), {uint8_t(plan->entry), uint8_t(plan->entry >> 8)});
  Outcome saved = VarSave(efi_guid_global, entry, &plan->old_entry);
  if (saved) saved = VarSave(efi_guid_global, kDriver.order, &plan->old_order);
  if (!saved) return saved;
  const bool order_kept = plan->old_order.existed && plan->old_order.data == plan->order;
  return CheckRoom((plan->old_entry.existed ? 0 : VariableCost(entry, plan->option.size())) +
                   (order_kept ? 0 : VariableCost(kDriver.order, plan->order.size())));
}

Outcome ReadsBack(const std::string& name, const std::vector<uint8_t>& written) {
  std::vector<uint8_t> back;
  Outcome read = VarGet(efi_guid_global, name, &back, 65536);
  if (!read || back != written) return Fail(name + " reads back different from what was written", read.error);
  return Done();
}

Outcome Apply(const Plan& plan, Undo* undo) {
  const std::string entry = OptionName(kDriver, plan.entry);
  undo->copied = true;
  if (Outcome copied = CopyToEsp(SystemPath(plan.esp.mount_point), kDriver, plan.image, &undo->copy); !copied)
    return copied;
  if (!plan.old_entry.existed || plan.old_entry.data != plan.option) {
    undo->entry_written = true;
    if (Outcome set = VarSet(efi_guid_global, entry, plan.option); !set) return set;
  }
  if (!plan.old_order.existed || plan.old_order.data != plan.order) {
    undo->order_written = true;
    if (Outcome set = VarSet(efi_guid_global, kDriver.order, plan.order); !set) return set;
  }
  if (Outcome back = ReadsBack(entry, plan.option); !back) return back;
  return ReadsBack(kDriver.order, plan.order);
}

// Newest change first; every change is tried even after one fails.
Outcome TakeBack(const Plan& plan, const Undo& undo) {
  Outcome all = Done();
  if (undo.order_written) PutBack(plan.old_order, &all);
  if (undo.entry_written) PutBack(plan.old_entry, &all);
  if (undo.copied) UndoCopy(undo.copy);
  return all;
}

void PrintChanges(const Plan& plan, const Undo& undo, FILE* out) {
  const std::string entry = OptionName(kDriver, plan.entry), path = EspPath(kDriver);
  fprintf(out, "Copied %s (Pellory identification driver %s) to %s on %s.\n", plan.file.c_str(),
          plan.version.c_str(), path.c_str(), plan.esp.mount_point.c_str());
  fprintf(out, "%s %s \"%s\" -> %s%s.\n",
          !plan.old_entry.existed ? "Made" : undo.entry_written ? "Rewrote" : "Kept", entry.c_str(),
          kDriver.description, path.c_str(), undo.entry_written ? "" : " as it was");
  const std::string order = OrderText(plan.order);
  if (!plan.old_order.existed)
    fprintf(out, "Made DriverOrder: %s.\n", order.c_str());
  else if (undo.order_written)
    fprintf(out, "Added %s at the end of DriverOrder: %s.\n", entry.c_str(), order.c_str());
  else
    fprintf(out, "DriverOrder already lists %s: %s.\n", entry.c_str(), order.c_str());
  fprintf(out, "The driver reads the converter from the next boot on: pelloryctl status then tells what it read.\n");
}

}  // namespace

int DriverInstall(const std::string& file, const std::string& esp_dir, FILE* out, FILE* err) {
  Plan plan;
  Undo undo;
  Outcome done = Prepare(file, esp_dir, &plan);
  if (done) {
    done = Apply(plan, &undo);
    if (!done) {
      if (Outcome taken_back = TakeBack(plan, undo); !taken_back) done.reason += "; and " + taken_back.reason;
    }
  }
  if (!done) {
    fprintf(err, "pelloryctl: %s\n", done.reason.c_str());
    return kExitNone;
  }
  PrintChanges(plan, undo, out);
  return 0;
}
