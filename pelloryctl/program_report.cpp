// `pelloryctl inspect`: what a program carries, read from the file alone;
// no root, no efivarfs, nothing changed. A fleet's playbook checks the
// program with it before it schedules one on any host.
#include "pelloryctl/commands.h"
#include "pelloryctl/image_signature.h"
#include "pelloryctl/json_text.h"
#include "pelloryctl/machine.h"
#include "pelloryctl/pe_check.h"
#include "pelloryctl/pe_image.h"
#include "pelloryctl/program_identity.h"
#include "pelloryctl/system_paths.h"
#include "pelloryctl/trust.h"

namespace {

constexpr size_t kProgramLimit = 64u << 20;

struct Inspection {
  ProgramIdentity identity;
  ImageSignature signature;
  std::string trusted_by;  // "db", "mok", "none"; "" when this machine's keys can not be read
  std::string sbat;        // the .sbat section's text
};

// Who of this machine's keys would start the program; "" off a UEFI
// machine, or when its keys can not be read.
std::string KeysVerdict(const ImageSignature& signature) {
  TrustLists lists;
  if (!CheckMachine(false) || !ReadTrustLists(&lists)) return "";
  if (!signature.present) return TrustName(TrustedBy::None);
  return TrustName(JudgeSignature(signature, lists).by);
}

// Fails with why not, worded to follow the file's name.
Outcome InspectFile(const std::string& path, Inspection* inspection) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes, kProgramLimit)) return Fail("can not be read");
  // The checks schedule makes, but for Secure Boot: the signature is
  // checked and told, and who trusts it; a signature that does not hold
  // for these bytes fails as it would fail schedule.
  Outcome usable = CheckProgram(bytes);
  if (usable) usable = IdentifyProgram(bytes, &inspection->identity);
  if (usable) usable = ReadImageSignature(bytes, &inspection->signature);
  if (!usable) return usable;
  PeLayout layout;
  if (ReadPeLayout(bytes, &layout)) (void)SectionText(bytes, layout, ".sbat", &inspection->sbat);
  inspection->trusted_by = KeysVerdict(inspection->signature);
  return Done();
}

void PrintJson(const std::string& path, const Inspection& i, FILE* out) {
  const ProgramIdentity& id = i.identity;
  fprintf(out, "{\"file\":%s,\"program_version\":%s,\"image_version\":%s,\"image\":%s,\"converter_oui\":%s,",
          JsonString(path).c_str(), JsonString(id.program_version).c_str(), JsonString(id.image_version).c_str(),
          JsonString(id.image).c_str(), JsonString(id.converter_oui).c_str());
  fprintf(out, "\"signed\":%s,\"signer\":%s,\"trusted_by\":%s,\"sbat\":%s}\n",
          i.signature.present ? "true" : "false", JsonString(i.signature.signer).c_str(),
          JsonString(i.trusted_by).c_str(), JsonString(i.sbat).c_str());
}

void PrintText(const std::string& path, const Inspection& i, FILE* out) {
  const ProgramIdentity& id = i.identity;
  fprintf(out, "File: %s\n", path.c_str());
  fprintf(out, "Program: Pellory %s, x86-64 EFI application\n", id.program_version.c_str());
  fprintf(out, "Image: %s (the record's image field after a run of it)\n", id.image.c_str());
  fprintf(out, "Converter: %s\n", id.converter_oui.empty() ? "any (no converter OUI in the program)"
                                                           : id.converter_oui.c_str());
  fprintf(out, "Signed: %s\n", i.signature.present ? ("yes, by " + i.signature.signer).c_str() : "no");
  fprintf(out, "Trusted by: %s\n", i.trusted_by.empty() ? "(not known: no UEFI keys to read here)" : i.trusted_by.c_str());
  std::string sbat = i.sbat.empty() ? "(none)\n" : i.sbat;
  for (size_t at = 0; at < sbat.size();) {
    size_t end = sbat.find('\n', at);
    if (end == std::string::npos) end = sbat.size();
    fprintf(out, "SBAT: %s\n", sbat.substr(at, end - at).c_str());
    at = end + 1;
  }
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
