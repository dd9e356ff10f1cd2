// `pelloryctl schedule`: every check first, then each change in an order
// that a later failure can take back, newest first.
#include <sys/random.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "pelloryctl/commands.h"
#include "pelloryctl/esp.h"
#include "pelloryctl/kept_request.h"
#include "pelloryctl/load_option.h"
#include "pelloryctl/machine.h"
#include "pelloryctl/pe_check.h"
#include "pelloryctl/program_copy.h"
#include "pelloryctl/program_identity.h"
#include "pelloryctl/request_text.h"
#include "pelloryctl/system_paths.h"
#include "pelloryctl/variables.h"

namespace {

constexpr size_t kProgramLimit = 64u << 20;
// What the firmware's store spends on a variable beside its name and data
// (EDK2's authenticated header is 60 bytes, rounded up).
constexpr size_t kVarOverhead = 64;

struct Plan {
  std::vector<uint8_t> image, option, request, boot_next, kept;
  ProgramIdentity identity;
  Esp esp;
  unsigned entry = 0;
  bool entry_exists = false;
  std::string id;
};

struct Undo {
  CopyUndo copy;
  KeepUndo kept;
  bool copied = false, kept_written = false;
  SavedVar entry, request, result, boot_next;
  bool entry_written = false, request_written = false, result_deleted = false,
       boot_next_written = false;
};

std::string FreshId() {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm utc = {};
  gmtime_r(&now, &utc);
  strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  uint8_t random[4] = {};
  if (getrandom(random, sizeof random, 0) != sizeof random) random[0] = uint8_t(clock());
  char id[64];
  snprintf(id, sizeof id, "%s-%02x%02x%02x%02x", stamp, random[0], random[1], random[2],
           random[3]);
  return id;
}

size_t Cost(const std::string& name, size_t data) { return kVarOverhead + 2 * (name.size() + 1) + data; }

// Every check of the command, nothing changed.
std::string Prepare(const ScheduleOptions& options, Plan* plan) {
  std::string why = CheckMachine(true);
  if (!why.empty()) return why;
  if (!ReadWholeFile(options.program, &plan->image, kProgramLimit))
    return options.program + " can not be read";
  bool secure = false;
  if (!(why = SecureBootOn(&secure)).empty()) return why;
  if (!(why = CheckProgram(plan->image, secure)).empty()) return options.program + " " + why;
  // The image the program carries is kept with the request as the run's
  // target; a program that names no image version, or whose image is not
  // the one its digest names, is not one to let near the converter.
  if (!(why = IdentifyProgram(plan->image, &plan->identity)).empty()) return options.program + " " + why;
  if (!(why = FindEsp(options.esp_dir, &plan->esp)).empty()) return why;
  if (plan->esp.read_only)
    return "the EFI System Partition is mounted read-only at " + plan->esp.mount_point +
           " (mount -o remount,rw " + plan->esp.mount_point + ")";
  plan->option = MakeLoadOption(plan->esp);
  if (plan->option.empty()) return "the boot entry's load option can not be built";
  plan->entry_exists = FindOurEntry(&plan->entry, &why);
  if (!plan->entry_exists && (!why.empty() || !FreeBootNumber(&plan->entry, &why))) return why;
  std::set<unsigned> order;
  if (!BootOrder(&order)) return "BootOrder can not be read";
  if (order.count(plan->entry))
    return BootName(plan->entry) + " \"" + kEntryDescription +
           "\" is in BootOrder, so it would run at every boot: take it out of BootOrder "
           "(or remove it with pelloryctl clean) first";
  plan->id = FreshId();
  std::string text = FormatRequest({plan->id, options.after, options.mode, options.allow});
  plan->request.assign(text.begin(), text.end());
  plan->kept = KeptText(text, plan->identity.image);
  plan->boot_next = {uint8_t(plan->entry), uint8_t(plan->entry >> 8)};
  size_t needed = Cost(kRequestName, plan->request.size()) + Cost(kBootNextName, 2) +
                  (plan->entry_exists ? 0 : Cost("Boot0000", plan->option.size()));
  return CheckRoom(needed);
}

std::string WriteError(const char* what, int error) {
  if (error == ENOSPC) return "not enough room in the firmware's variable store";
  return std::string(what) + " can not be written (" + strerror(error) + ")";
}

std::string Apply(const Plan& plan, Undo* undo) {
  std::string entry = BootName(plan.entry);
  if (!VarSave(efi_guid_global, entry, &undo->entry) ||
      !VarSave(kPelloryGuid, kRequestName, &undo->request) ||
      !VarSave(kPelloryGuid, kResultName, &undo->result) ||
      !VarSave(efi_guid_global, kBootNextName, &undo->boot_next))
    return "the firmware's variables can not be read";
  std::string why = CopyProgram(SystemPath(plan.esp.mount_point), plan.image, &undo->copy);
  undo->copied = true;
  if (!why.empty()) return why;
  undo->kept_written = true;
  if (!(why = KeepRequest(plan.kept, &undo->kept)).empty()) return why;
  if (!undo->entry.existed || undo->entry.data != plan.option) {
    undo->entry_written = true;
    if (int error = VarSet(efi_guid_global, entry, plan.option)) return WriteError(entry.c_str(), error);
  }
  // Replaced, not overwritten: an older request of another length must not
  // leave its tail behind.
  undo->request_written = true;
  if (int error = VarDelete(kPelloryGuid, kRequestName)) return WriteError(kRequestName, error);
  if (int error = VarSet(kPelloryGuid, kRequestName, plan.request)) return WriteError(kRequestName, error);
  undo->result_deleted = undo->result.existed;
  if (int error = VarDelete(kPelloryGuid, kResultName))
    return std::string("the old PelloryResult can not be removed (") + strerror(error) + ")";
  undo->boot_next_written = true;
  if (int error = VarSet(efi_guid_global, kBootNextName, plan.boot_next)) return WriteError(kBootNextName, error);
  std::vector<uint8_t> back;
  int error = 0;
  if (VarGet(efi_guid_global, kBootNextName, &back, 16, &error) != VarStatus::Ok || back != plan.boot_next)
    return "BootNext reads back different from what was written";
  if (VarGet(kPelloryGuid, kRequestName, &back, kTextLimit, &error) != VarStatus::Ok || back != plan.request)
    return "PelloryRequest reads back different from what was written";
  return "";
}

// Newest change first. Returns false when something could not be put back.
bool TakeBack(const Undo& undo) {
  bool ok = true;
  if (undo.boot_next_written) ok &= VarRestore(undo.boot_next) == 0;
  if (undo.result_deleted) ok &= VarRestore(undo.result) == 0;
  if (undo.request_written) ok &= VarRestore(undo.request) == 0;
  if (undo.entry_written) ok &= VarRestore(undo.entry) == 0;
  if (undo.kept_written) UndoKeep(undo.kept);
  if (undo.copied) UndoCopy(undo.copy);
  return ok;
}

}  // namespace

int Schedule(const ScheduleOptions& options, FILE* out, FILE* err) {
  Plan plan;
  std::string why = Prepare(options, &plan);
  if (why.empty()) {
    Undo undo;
    why = Apply(plan, &undo);
    if (!why.empty() && !TakeBack(undo)) why += "; and not every change could be taken back";
  }
  if (!why.empty()) {
    fprintf(err, "pelloryctl: %s\n", why.c_str());
    return kExitNone;
  }
  std::string asked = "after=" + NameOf(options.after, contract::kAfterNames);
  if (options.mode != contract::Mode::Update) asked += ", mode=" + NameOf(options.mode, contract::kModeNames);
  if (options.allow != contract::Allow::Newer) asked += ", allow=" + NameOf(options.allow, contract::kAllowNames);
  fprintf(out, "Request: %s (%s)\n", plan.id.c_str(), asked.c_str());
  fprintf(out, "Image: %s (Pellory %s)\n", plan.identity.image.c_str(), plan.identity.program_version.c_str());
  fprintf(out, "Entry: %s \"%s\" -> %s on %s (BootNext, not in BootOrder)\n",
          BootName(plan.entry).c_str(), kEntryDescription, kProgramPath, plan.esp.mount_point.c_str());
  fprintf(out, options.mode == contract::Mode::Identify
                   ? "Reboot to read the converter's versions (nothing is written).\n"
                   : "Reboot to run the update.\n");
  return 0;
}
