#include "pelloryctl/pe_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "contract/key_value.h"

namespace {

constexpr uint16_t kMachineX64 = 0x8664;
constexpr uint16_t kPe32Plus = 0x20B;
constexpr uint16_t kSubsystemEfiApplication = 10;
constexpr uint16_t kSubsystemBootServiceDriver = 11;
constexpr uint16_t kCertificatePkcsSignedData = 0x0002;
constexpr uint32_t kSecurityDirectory = 4;

bool Read16(const std::vector<uint8_t>& b, size_t at, uint16_t* value) {
  if (at > b.size() || b.size() - at < 2) return false;
  *value = uint16_t(b[at] | b[at + 1] << 8);
  return true;
}

bool Read32(const std::vector<uint8_t>& b, size_t at, uint32_t* value) {
  if (at > b.size() || b.size() - at < 4) return false;
  *value = uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
  return true;
}

// Every section's bytes lie inside the file: a copy cut short is refused
// here, not by the firmware at the reboot.
Outcome CheckSections(const std::vector<uint8_t>& b, uint32_t pe, size_t optional) {
  uint16_t count = 0, optional_size = 0;
  if (!Read16(b, pe + 6, &count) || !Read16(b, pe + 20, &optional_size)) return Fail("is a truncated PE image");
  const size_t table = optional + optional_size;
  for (unsigned i = 0; i < count; ++i) {
    uint32_t size = 0, offset = 0;
    if (!Read32(b, table + 40 * i + 16, &size) || !Read32(b, table + 40 * i + 20, &offset))
      return Fail("is a truncated PE image (its section table runs past the end of the file)");
    if (uint64_t(offset) + size > b.size())
      return Fail("is a truncated PE image (section " + std::to_string(i + 1) + " runs past the end of the file)");
  }
  return Done();
}

std::string Format(const char* format, unsigned value) {
  char line[128];
  snprintf(line, sizeof line, format, value);
  return line;
}

// PE32+ for x86-64 of the subsystem asked for, every section inside the file.
Outcome CheckPe(const std::vector<uint8_t>& b, uint16_t wanted, const char* kind) {
  uint32_t pe = 0, signature = 0;
  if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z' || !Read32(b, 0x3C, &pe) ||
      !Read32(b, pe, &signature) || signature != 0x00004550)
    return Fail("is not a PE image");
  uint16_t machine = 0, magic = 0, subsystem = 0;
  size_t optional = size_t(pe) + 24;
  if (!Read16(b, pe + 4, &machine) || !Read16(b, optional, &magic) ||
      !Read16(b, optional + 68, &subsystem))
    return Fail("is a truncated PE image");
  if (machine != kMachineX64) return Fail(Format("is not for x86-64 (machine 0x%04x)", machine));
  if (magic != kPe32Plus) return Fail(Format("is not PE32+ (optional header magic 0x%03x)", magic));
  if (subsystem != wanted) return Fail(std::string("is not ") + kind + Format(" (subsystem %u)", subsystem));
  return CheckSections(b, pe, optional);
}

}  // namespace

Outcome CheckProgram(const std::vector<uint8_t>& b, bool need_signature) {
  if (Outcome pe = CheckPe(b, kSubsystemEfiApplication, "an EFI application"); !pe) return pe;
  const char* banner = kProgramBanner;
  if (std::search(b.begin(), b.end(), banner, banner + strlen(banner)) == b.end())
    return Fail(std::string("is not a Pellory program (no \"") + banner + "\" in it)");
  return CheckSignedUnderSecureBoot(b, need_signature);
}

Outcome CheckDriver(const std::vector<uint8_t>& b, bool need_signature, std::string* version) {
  if (Outcome pe = CheckPe(b, kSubsystemBootServiceDriver, "an EFI boot-service driver"); !pe) return pe;
  text::Span tag;
  if (!contract::FindDriverTag(b.data(), b.size(), &tag))
    return Fail(std::string("is not a Pellory identification driver (no \"") + contract::kDriverTag + "\" in it)");
  version->assign(tag.text, tag.length);
  return CheckSignedUnderSecureBoot(b, need_signature);
}

Outcome CheckSignedUnderSecureBoot(const std::vector<uint8_t>& b, bool secure_boot) {
  size_t at = 0, length = 0;
  if (secure_boot && !SignedData(b, &at, &length))
    return Fail("is not signed, and Secure Boot is on: the firmware would refuse to start it");
  return Done();
}

bool SignedData(const std::vector<uint8_t>& b, size_t* at, size_t* length) {
  uint32_t pe = 0, count = 0, offset = 0, size = 0, certificate = 0;
  uint16_t type = 0;
  if (!Read32(b, 0x3C, &pe)) return false;
  const size_t optional = size_t(pe) + 24;
  if (!Read32(b, optional + 108, &count) || count <= kSecurityDirectory) return false;
  // The security directory holds a file offset, not an address.
  const size_t entry = optional + 112 + 8 * kSecurityDirectory;
  if (!Read32(b, entry, &offset) || !Read32(b, entry + 4, &size)) return false;
  if (offset == 0 || size < 8 || offset > b.size() || b.size() - offset < size) return false;
  if (!Read32(b, offset, &certificate) || !Read16(b, offset + 6, &type)) return false;
  if (certificate < 8 || certificate > size || type != kCertificatePkcsSignedData) return false;
  *at = size_t(offset) + 8;
  *length = certificate - 8;
  return true;
}
