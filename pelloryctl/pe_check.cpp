#include "pelloryctl/pe_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "contract/key_value.h"
#include "pelloryctl/pe_image.h"

namespace {

constexpr uint16_t kMachineX64 = 0x8664;
constexpr uint16_t kPe32Plus = 0x20B;
constexpr uint16_t kSubsystemEfiApplication = 10;
constexpr uint16_t kSubsystemBootServiceDriver = 11;

std::string Format(const char* format, unsigned value) {
  char line[128];
  snprintf(line, sizeof line, format, value);
  return line;
}

// PE32+ for x86-64 of the subsystem asked for, every section inside the
// file: a copy cut short is refused here, not by the firmware at the reboot.
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
  PeLayout layout;
  return ReadPeLayout(b, &layout);
}

}  // namespace

Outcome CheckProgram(const std::vector<uint8_t>& b) {
  if (Outcome pe = CheckPe(b, kSubsystemEfiApplication, "an EFI application"); !pe) return pe;
  const char* banner = kProgramBanner;
  if (std::search(b.begin(), b.end(), banner, banner + strlen(banner)) == b.end())
    return Fail(std::string("is not a Pellory program (no \"") + banner + "\" in it)");
  return Done();
}

Outcome CheckDriver(const std::vector<uint8_t>& b, std::string* version) {
  if (Outcome pe = CheckPe(b, kSubsystemBootServiceDriver, "an EFI boot-service driver"); !pe) return pe;
  text::Span tag;
  if (!contract::FindDriverTag(b.data(), b.size(), &tag))
    return Fail(std::string("is not a Pellory identification driver (no \"") + contract::kDriverTag + "\" in it)");
  version->assign(tag.text, tag.length);
  return Done();
}
