// `pelloryctl inspect`: what a program carries, read from the file alone;
// no root, no efivarfs, nothing changed. A fleet's playbook checks the
// program with it before it schedules one on any host.
#include "pelloryctl/commands.h"
#include "pelloryctl/json_text.h"
#include "pelloryctl/pe_check.h"
#include "pelloryctl/program_identity.h"
#include "pelloryctl/signer.h"
#include "pelloryctl/system_paths.h"

namespace {

constexpr size_t kProgramLimit = 64u << 20;

struct Inspection {
  ProgramIdentity identity;
  bool is_signed = false;
  std::string signer;
};

// Fails with why not, worded to follow the file's name.
Outcome InspectFile(const std::string& path, Inspection* inspection) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes, kProgramLimit)) return Fail("can not be read");
  // The checks schedule makes, but for Secure Boot: whether the program
  // is signed is told, not demanded.
  Outcome usable = CheckProgram(bytes, false);
  if (usable) usable = IdentifyProgram(bytes, &inspection->identity);
  size_t at = 0, length = 0;
  inspection->is_signed = usable && SignedData(bytes, &at, &length);
  if (!inspection->is_signed) return usable;
  return SignerSubject(bytes.data() + at, length, &inspection->signer);
}

void PrintJson(const std::string& path, const Inspection& i, FILE* out) {
  const ProgramIdentity& id = i.identity;
  fprintf(out, "{\"file\":%s,\"program_version\":%s,\"image_version\":%s,\"image\":%s,\"converter_oui\":%s,",
          JsonString(path).c_str(), JsonString(id.program_version).c_str(), JsonString(id.image_version).c_str(),
          JsonString(id.image).c_str(), JsonString(id.converter_oui).c_str());
  fprintf(out, "\"signed\":%s,\"signer\":%s}\n", i.is_signed ? "true" : "false", JsonString(i.signer).c_str());
}

void PrintText(const std::string& path, const Inspection& i, FILE* out) {
  const ProgramIdentity& id = i.identity;
  fprintf(out, "File: %s\n", path.c_str());
  fprintf(out, "Program: Pellory %s, x86-64 EFI application\n", id.program_version.c_str());
  fprintf(out, "Image: %s (the record's image field after a run of it)\n", id.image.c_str());
  fprintf(out, "Converter: %s\n", id.converter_oui.empty() ? "any (no converter OUI in the program)"
                                                           : id.converter_oui.c_str());
  fprintf(out, "Signed: %s\n", i.is_signed ? ("yes, by " + i.signer).c_str() : "no");
}

}  // namespace

int Inspect(const std::string& path, bool json, FILE* out, FILE* err) {
  Inspection inspection;
  if (Outcome inspected = InspectFile(path, &inspection); !inspected) {
    PrintFailure(path + " " + inspected.reason, json, out, err);
    return kExitNone;
  }
  json ? PrintJson(path, inspection, out) : PrintText(path, inspection, out);
  return 0;
}
