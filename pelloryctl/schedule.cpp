// `pelloryctl schedule`: every check first, then each change in an order
// that a later failure can take back, newest first.
#include <sys/random.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "pelloryctl/boot_target.h"
#include "pelloryctl/commands.h"
#include "pelloryctl/esp.h"
#include "pelloryctl/kept_request.h"
#include "pelloryctl/load_option.h"
#include "pelloryctl/machine.h"
#include "pelloryctl/outcome.h"
#include "pelloryctl/pe_check.h"
#include "pelloryctl/program_copy.h"
#include "pelloryctl/program_identity.h"
#include "pelloryctl/request_text.h"
#include "pelloryctl/system_paths.h"
#include "pelloryctl/variables.h"

namespace {

constexpr size_t kProgramLimit = 64u << 20;

struct Plan {
  std::vector<uint8_t> image, option, request, boot_next, kept;
  ProgramIdentity identity;
  Esp esp;
  BootTarget target;
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

// Every check of the command, nothing changed.
Outcome Prepare(const ScheduleOptions& options, Plan* plan) {
  if (Outcome checked = CheckMachine(true); !checked) return checked;
  if (Outcome read = ReadWholeFile(options.program, &plan->image, kProgramLimit); !read) return read;
  Outcome usable = CheckProgram(plan->image);
  // The image the program carries is kept with the request as the run's
  // target; a program that names no image version, or whose image is not
  // the one its digest names, is not one to let near the converter.
  if (usable) usable = IdentifyProgram(plan->image, &plan->identity);
  if (!usable) return Fail(options.program + " " + usable.reason);
  if (Outcome found = FindWritableEsp(options.esp_dir, &plan->esp); !found) return found;
  // Secure Boot: the program started directly, or through shim, or not at all.
  if (Outcome chosen = ChooseBootTarget(plan->image, options.program, plan->esp, EspPath(kProgram), &plan->target);
      !chosen)
    return chosen;
  if (Outcome built = MakeLoadOption(plan->esp, kProgram, plan->target.file, plan->target.option, &plan->option);
      !built)
    return built;
  if (Outcome listed = FindOurEntry(&plan->entry, &plan->entry_exists); !listed) return listed;
  if (!plan->entry_exists) {
    if (Outcome picked = FreeOptionNumber(kProgram, &plan->entry); !picked) return picked;
  }
  std::set<unsigned> order;
  if (Outcome listed = BootOrder(&order); !listed) return listed;
  if (order.count(plan->entry))
    return Fail(BootName(plan->entry) + " \"" + kProgram.description +
                "\" is in BootOrder, so it would run at every boot: take it out of BootOrder "
                "(or remove it with pelloryctl clean) first");
  plan->id = FreshId();
  std::string text = FormatRequest({plan->id, options.after, options.mode, options.allow});
  plan->request.assign(text.begin(), text.end());
  plan->kept = KeptText(text, plan->identity.image);
  plan->boot_next = {uint8_t(plan->entry), uint8_t(plan->entry >> 8)};
  size_t needed = VariableCost(kRequestName, plan->request.size()) + VariableCost(kBootNextName, 2) +
                  (plan->entry_exists ? 0 : VariableCost("Boot0000", plan->option.size()));
  return CheckRoom(needed);
}

Outcome Apply(const Plan& plan, Undo* undo) {
  std::string entry = BootName(plan.entry);
  Outcome saved = VarSave(efi_guid_global, entry, &undo->entry);
  if (saved) saved = VarSave(kPelloryGuid, kRequestName, &undo->request);
  if (saved) saved = VarSave(kPelloryGuid, kResultName, &undo->result);
  if (saved) saved = VarSave(efi_guid_global, kBootNextName, &undo->boot_next);
  if (!saved) return saved;
  Outcome copied = CopyToEsp(SystemPath(plan.esp.mount_point), kProgram, plan.image, &undo->copy);
  undo->copied = true;
  if (!copied) return copied;
  undo->kept_written = true;
  if (Outcome kept = KeepRequest(plan.kept, &undo->kept); !kept) return kept;
  if (!undo->entry.existed || undo->entry.data != plan.option) {
    undo->entry_written = true;
    if (Outcome set = VarSet(efi_guid_global, entry, plan.option); !set) return set;
  }
  // Replaced, not overwritten: an older request of another length must not
  // leave its tail behind.
  undo->request_written = true;
  if (Outcome gone = VarDelete(kPelloryGuid, kRequestName); !gone) return NotWritten(kRequestName, gone.error);
  if (Outcome set = VarSet(kPelloryGuid, kRequestName, plan.request); !set) return set;
  undo->result_deleted = undo->result.existed;
  if (Outcome gone = VarDelete(kPelloryGuid, kResultName); !gone)
    return NotRemoved("the old PelloryResult", gone.error);
  undo->boot_next_written = true;
  if (Outcome set = VarSet(efi_guid_global, kBootNextName, plan.boot_next); !set) return set;
  std::vector<uint8_t> back;
  if (Outcome read = VarGet(efi_guid_global, kBootNextName, &back, 16); !read || back != plan.boot_next)
    return Fail("BootNext reads back different from what was written", read.error);
  if (Outcome read = VarGet(kPelloryGuid, kRequestName, &back, kTextLimit); !read || back != plan.request)
    return Fail("PelloryRequest reads back different from what was written", read.error);
  return Done();
}

// Newest change first; every change is tried even after one fails, and the
// outcome fails when something could not be put back.
Outcome TakeBack(const Undo& undo) {
  Outcome all = Done();
  if (undo.boot_next_written) PutBack(undo.boot_next, &all);
  if (undo.result_deleted) PutBack(undo.result, &all);
  if (undo.request_written) PutBack(undo.request, &all);
  if (undo.entry_written) PutBack(undo.entry, &all);
  if (undo.kept_written) UndoKeep(undo.kept);
  if (undo.copied) UndoCopy(undo.copy);
  return all;
}

}  // namespace

int Schedule(const ScheduleOptions& options, FILE* out, FILE* err) {
  Plan plan;
  Outcome done = Prepare(options, &plan);
  if (done) {
    Undo undo;
    done = Apply(plan, &undo);
    if (!done) {
      if (Outcome taken_back = TakeBack(undo); !taken_back) done.reason += "; and " + taken_back.reason;
    }
  }
  if (!done) {
    fprintf(err, "pelloryctl: %s\n", done.reason.c_str());
    return kExitNone;
  }
  std::string asked = "after=" + NameOf(options.after, contract::kAfterNames);
  if (options.mode != contract::Mode::Update) asked += ", mode=" + NameOf(options.mode, contract::kModeNames);
  if (options.allow != contract::Allow::Newer) asked += ", allow=" + NameOf(options.allow, contract::kAllowNames);
  fprintf(out, "Request: %s (%s)\n", plan.id.c_str(), asked.c_str());
  fprintf(out, "Image: %s (Pellory %s)\n", plan.identity.image.c_str(), plan.identity.program_version.c_str());
  const BootTarget& target = plan.target;
  const std::string starts = target.via.empty() ? target.file
                                                : target.file + " " + EspPath(kProgram) + " (" + target.via + ")";
  fprintf(out, "Entry: %s \"%s\" -> %s on %s (BootNext, not in BootOrder)\n", BootName(plan.entry).c_str(),
          kProgram.description, starts.c_str(), plan.esp.mount_point.c_str());
  fprintf(out, options.mode == contract::Mode::Identify
                   ? "Reboot to read the converter's versions (nothing is written).\n"
                   : "Reboot to run the update.\n");
  return 0;
}
