// `pelloryctl cancel` and `clean`: take a request back, and for clean also
// everything schedule left (our entry, the program's copy, the record, the
// kept request) and the identification driver.
// Only the entry whose description is exactly ours is ever touched.
#include <vector>

#include "pelloryctl/commands.h"
#include "pelloryctl/driver.h"
#include "pelloryctl/esp.h"
#include "pelloryctl/kept_request.h"
#include "pelloryctl/load_option.h"
#include "pelloryctl/machine.h"
#include "pelloryctl/outcome.h"
#include "pelloryctl/program_copy.h"
#include "pelloryctl/system_paths.h"
#include "pelloryctl/variables.h"

namespace {

Outcome ForgetKept(FILE* out) {
  bool removed = false;
  Outcome forgotten = RemoveKeptRequest(&removed);
  if (removed) fprintf(out, "Removed %s/%s.\n", kKeptFolder, kKeptName);
  return forgotten;
}

// The request, and BootNext when it names our entry. The kept request
// goes with a request that has not run; after a run it stays, so that
// result still tells that run's target and whether it switched off.
Outcome CancelRequest(FILE* out) {
  unsigned ours = 0;
  bool have_entry = false;
  if (Outcome listed = FindOurEntry(&ours, &have_entry); !listed) return listed;
  std::vector<uint8_t> request, next;
  bool pending = false;  // also when it is there but can not be read
  (void)VarGet(kPelloryGuid, kRequestName, &request, kTextLimit, &pending);
  if (Outcome gone = VarDelete(kPelloryGuid, kRequestName); !gone) return gone;
  fprintf(out, "Removed PelloryRequest.\n");
  if (have_entry && VarGet(efi_guid_global, kBootNextName, &next, 16) && next.size() == 2 &&
      unsigned(next[0] | next[1] << 8) == ours) {
    if (Outcome gone = VarDelete(efi_guid_global, kBootNextName); !gone) return gone;
    fprintf(out, "Removed BootNext (it named %s).\n", BootName(ours).c_str());
  }
  return pending ? ForgetKept(out) : Done();
}

// The ESP is found before anything is removed: without it the program's
// copy would stay behind while the entry that names it is gone.
Outcome CleanAll(const std::string& esp_dir, FILE* out) {
  Esp esp;
  if (Outcome found = FindEsp(esp_dir, &esp); !found) return found;
  if (Outcome cancelled = CancelRequest(out); !cancelled) return cancelled;
  unsigned ours = 0;
  for (bool found = true;;) {
    if (Outcome listed = FindOurEntry(&ours, &found); !listed) return listed;
    if (!found) break;
    if (Outcome gone = VarDelete(efi_guid_global, BootName(ours)); !gone)
      return NotRemoved(kProgram.entry, gone.error);
    fprintf(out, "Removed %s \"%s\".\n", BootName(ours).c_str(), kProgram.description);
  }
  bool copy = false;
  if (Outcome gone = RemoveFromEsp(SystemPath(esp.mount_point), kProgram, &copy); !gone) return gone;
  fprintf(out, "Removed %s from %s.\n", EspPath(kProgram).c_str(), esp.mount_point.c_str());
  if (Outcome gone = VarDelete(kPelloryGuid, kResultName); !gone) return gone;
  fprintf(out, "Removed PelloryResult.\n");
  if (Outcome forgotten = ForgetKept(out); !forgotten) return forgotten;
  bool driver = false;
  return RemoveDriver(esp, out, &driver);
}

int Finish(const Outcome& done, FILE* err) {
  if (done) return 0;
  fprintf(err, "pelloryctl: %s\n", done.reason.c_str());
  return kExitNone;
}

}  // namespace

int Cancel(FILE* out, FILE* err) {
  Outcome checked = CheckMachine(true);
  return Finish(checked ? CancelRequest(out) : checked, err);
}

int Clean(const std::string& esp_dir, FILE* out, FILE* err) {
  Outcome checked = CheckMachine(true);
  return Finish(checked ? CleanAll(esp_dir, out) : checked, err);
}
