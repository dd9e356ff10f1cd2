// `pelloryctl result`: what became of the last request, from PelloryRequest
// (still there: the program has not run), PelloryResult and BootNext, from
// what schedule kept of the request it wrote, and from what the
// identification driver read of the converter at this boot.
#include <cstring>
#include <vector>

#include "pelloryctl/commands.h"
#include "pelloryctl/converter_reading.h"
#include "pelloryctl/json_text.h"
#include "pelloryctl/kept_request.h"
#include "pelloryctl/load_option.h"
#include "pelloryctl/machine.h"
#include "pelloryctl/request_text.h"
#include "pelloryctl/variables.h"

namespace {

struct Findings {
  bool pending = false, have_record = false, boot_next_ours = false;
  Request request;
  Record record;
  std::string state;
  // What schedule kept, when it is of the request pending or recorded.
  bool kept_ours = false;
  KeptRequest kept;
  bool have_reading = false;
  Record reading;
};

// One text variable, empty when absent.
Outcome ReadText(const char* name, std::string* text, bool* present) {
  std::vector<uint8_t> bytes;
  Outcome read = VarGet(kPelloryGuid, name, &bytes, kTextLimit, present);
  text->assign(bytes.begin(), bytes.end());
  return read;
}

// The version the run wrote: the record's image, "07_23 sha256:...".
std::string Written(const Findings& f) { return f.record.Get("image").substr(0, contract::kImageVersionLength); }

// Whether this boot's reading tells that the converter runs what the run
// wrote (*runs); false when it tells nothing (no reading, one that did not
// see the converter).
bool ReadingDecides(const Findings& f, bool* runs) {
  return f.have_reading && ReadingTells(f.reading, Written(f), runs);
}

// After a successful update the converter starts its new firmware only
// at a power-on. The driver's reading at this boot tells whether that
// happened; without one, a run asked to shut down has switched the
// machine off itself, so this boot is that power-on.
bool PowerOffNeeded(const Findings& f) {
  if (bool runs = false; ReadingDecides(f, &runs)) return !runs;
  return !f.kept_ours || f.kept.request.after != contract::After::Shutdown;
}

std::string Target(const Findings& f) {
  return f.kept_ours ? f.kept.image.substr(0, contract::kImageVersionLength) : "";
}

Outcome Gather(Findings* f) {
  std::string text;
  if (Outcome read = ReadText(kRequestName, &text, &f->pending); !read) return read;
  if (Outcome parsed = f->pending ? ParseRequest(text, &f->request) : Done(); !parsed)
    return Fail("PelloryRequest " + parsed.reason);
  if (Outcome read = ReadText(kResultName, &text, &f->have_record); !read) return read;
  if (Outcome parsed = f->have_record ? ParseRecord(text, &f->record) : Done(); !parsed)
    return Fail("PelloryResult " + parsed.reason);
  std::vector<uint8_t> next;
  unsigned ours = 0;
  bool found = false;
  if (VarGet(efi_guid_global, kBootNextName, &next, 16) && next.size() == 2 &&
      FindOurEntry(&ours, &found) && found)
    f->boot_next_ours = unsigned(next[0] | next[1] << 8) == ours;
  // A record of another request than the pending one is an older run's.
  bool record_current = f->have_record && (!f->pending || f->record.Get("request") == f->request.id);
  if (record_current) f->state = RecordState(f->record.Get("outcome"));
  else f->state = f->pending ? "pending" : "none";
  if (!record_current) f->have_record = false;
  const std::string id = f->pending ? f->request.id : f->have_record ? f->record.Get("request") : "";
  f->kept_ours = !id.empty() && ReadKeptRequest(&f->kept) && f->kept.request.id == id;
  return ReadConverter(&f->reading, &f->have_reading);
}

void PrintJson(const Findings& f, FILE* out) {
  fprintf(out, "{\"state\":%s", JsonString(f.state).c_str());
  if (f.kept_ours) fprintf(out, ",\"target\":%s", JsonString(Target(f)).c_str());
  if (f.pending) fprintf(out, ",\"pending_request\":%s", JsonString(f.request.id).c_str());
  for (const auto& [key, value] : f.have_record ? f.record.fields : decltype(f.record.fields){})
    fprintf(out, ",%s:%s", JsonString(key).c_str(), JsonString(value).c_str());
  if (f.have_reading) fprintf(out, ",\"running\":%s", JsonString(Running(f.reading)).c_str());
  if (f.state == "successful") fprintf(out, ",\"power_off_needed\":%s", PowerOffNeeded(f) ? "true" : "false");
  fprintf(out, "}\n");
}

void PrintPowerOff(const Findings& f, FILE* out) {
  bool runs = false;
  if (ReadingDecides(f, &runs) && runs) {
    fprintf(out, "The converter runs the new firmware (%s) since this power-on.\n", Written(f).c_str());
    return;
  }
  fprintf(out, PowerOffNeeded(f) ? "Shut the machine down and switch it on again so that the converter starts "
                                   "the new firmware (a reboot is not enough).\n"
                                 : "The program switched the machine off after the update: the converter "
                                   "runs the new firmware since this power-on.\n");
}

void PrintText(const Findings& f, FILE* out) {
  fprintf(out, "State: %s\n", f.state.c_str());
  if (f.kept_ours) fprintf(out, "Target: %s (the image of the scheduled program)\n", Target(f).c_str());
  if (f.state == "pending") {
    fprintf(out, "Request %s has not run yet.\n", f.request.id.c_str());
    fprintf(out, f.boot_next_ours
                     ? "BootNext names the Pellory entry: reboot to run the update.\n"
                     : "BootNext no longer names the Pellory entry: after a reboot this means the "
                       "firmware did not start the program (Secure Boot refused it, or the entry "
                       "was dropped).\n");
    return;
  }
  if (f.have_record) {
    fprintf(out, "Request: %s\n", f.record.Get("request").c_str());
    fprintf(out, "Outcome: %s\n", f.record.Get("outcome").c_str());
  }
  const std::string& firmware = f.record.Get("firmware_before");
  if (f.have_reading && !Running(f.reading).empty())
    fprintf(out, "Running: %s (the identification driver's reading at this boot)\n", Running(f.reading).c_str());
  if (f.state == "successful") PrintPowerOff(f, out);
  if (f.state == "current")
    fprintf(out, "The converter already runs the image's firmware (%s): nothing was written.\n", firmware.c_str());
  if (f.state == "identified")
    fprintf(out, "The converter runs firmware %s; the program carries %s.\n", firmware.c_str(),
            f.record.Get("image").c_str());
  if (f.state == "interrupted") fprintf(out, "The run was cut short (reset or power loss).\n");
}

}  // namespace

int Result(bool json, FILE* out, FILE* err) {
  Findings f;
  Outcome found = CheckMachine(false);
  if (found) found = Gather(&f);
  if (!found) {
    // A script that parses the output still gets one object.
    PrintFailure(found.reason, json, out, err);
    return kExitNone;
  }
  json ? PrintJson(f, out) : PrintText(f, out);
  if (f.state == "successful" || f.state == "current" || f.state == "identified") return kExitSuccessful;
  if (f.state == "pending") return kExitPending;
  if (f.state == "none") return kExitNone;
  return kExitFailed;
}
