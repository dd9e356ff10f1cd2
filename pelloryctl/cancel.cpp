// `pelloryctl cancel` and `clean`: take a request back, and for clean also
// everything schedule left (our entry, the program's copy, the record, the
// kept request).
// Only the entry whose description is exactly ours is ever touched.
#include <cstring>
#include <vector>

#include "pelloryctl/commands.h"
#include "pelloryctl/esp.h"
#include "pelloryctl/kept_request.h"
#include "pelloryctl/load_option.h"
#include "pelloryctl/machine.h"
#include "pelloryctl/program_copy.h"
#include "pelloryctl/system_paths.h"
#include "pelloryctl/variables.h"

namespace {

std::string Removed(const char* what, int error) {
  return error ? std::string(what) + " can not be removed (" + strerror(error) + ")" : "";
}

std::string ForgetKept(FILE* out) {
  bool removed = false;
  std::string why = RemoveKeptRequest(&removed);
  if (removed) fprintf(out, "Removed %s/%s.\n", kKeptFolder, kKeptName);
  return why;
}

// The request, and BootNext when it names our entry. The kept request
// goes with a request that has not run; after a run it stays, so that
// result still tells that run's target and whether it switched off.
std::string CancelRequest(FILE* out) {
  std::string why;
  unsigned ours = 0;
  bool have_entry = FindOurEntry(&ours, &why);
  if (!why.empty()) return why;
  std::vector<uint8_t> request, next;
  int error = 0;
  const bool pending = VarGet(kPelloryGuid, kRequestName, &request, kTextLimit, &error) != VarStatus::Absent;
  if (!(why = Removed(kRequestName, VarDelete(kPelloryGuid, kRequestName))).empty()) return why;
  fprintf(out, "Removed PelloryRequest.\n");
  if (have_entry && VarGet(efi_guid_global, kBootNextName, &next, 16, &error) == VarStatus::Ok &&
      next.size() == 2 && unsigned(next[0] | next[1] << 8) == ours) {
    if (!(why = Removed(kBootNextName, VarDelete(efi_guid_global, kBootNextName))).empty()) return why;
    fprintf(out, "Removed BootNext (it named %s).\n", BootName(ours).c_str());
  }
  return pending ? ForgetKept(out) : "";
}

// The ESP is found before anything is removed: without it the program's
// copy would stay behind while the entry that names it is gone.
std::string CleanAll(const std::string& esp_dir, FILE* out) {
  Esp esp;
  std::string why = FindEsp(esp_dir, &esp);
  if (!why.empty()) return why;
  if (!(why = CancelRequest(out)).empty()) return why;
  unsigned ours = 0;
  while (FindOurEntry(&ours, &why)) {
    if (!(why = Removed("the boot entry", VarDelete(efi_guid_global, BootName(ours)))).empty()) return why;
    fprintf(out, "Removed %s \"%s\".\n", BootName(ours).c_str(), kEntryDescription);
  }
  if (!why.empty()) return why;
  if (!(why = RemoveProgram(SystemPath(esp.mount_point))).empty()) return why;
  fprintf(out, "Removed \\EFI\\Pellory\\pellory.efi from %s.\n", esp.mount_point.c_str());
  if (!(why = Removed(kResultName, VarDelete(kPelloryGuid, kResultName))).empty()) return why;
  fprintf(out, "Removed PelloryResult.\n");
  return ForgetKept(out);
}

int Finish(const std::string& why, FILE* err) {
  if (why.empty()) return 0;
  fprintf(err, "pelloryctl: %s\n", why.c_str());
  return kExitNone;
}

}  // namespace

int Cancel(FILE* out, FILE* err) {
  std::string why = CheckMachine(true);
  return Finish(why.empty() ? CancelRequest(out) : why, err);
}

int Clean(const std::string& esp_dir, FILE* out, FILE* err) {
  std::string why = CheckMachine(true);
  return Finish(why.empty() ? CleanAll(esp_dir, out) : why, err);
}
