#include "pelloryctl/pe_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pelloryctl/pe_image.h"

namespace {

constexpr uint16_t kMachineX64 = 0x8664;
constexpr uint16_t kPe32Plus = 0x20B;
constexpr uint16_t kSubsystemEfiApplication = 10;

std::string Format(const char* format, unsigned value) {
  char line[128];
  snprintf(line, sizeof line, format, value);
  return line;
}

}  // namespace

Outcome CheckProgram(const std::vector<uint8_t>& b) {
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
  if (subsystem != kSubsystemEfiApplication)
    return Fail(Format("is not an EFI application (subsystem %u)", subsystem));
  PeLayout layout;
  if (Outcome read = ReadPeLayout(b, &layout); !read) return read;
  const char* banner = kProgramBanner;
  if (std::search(b.begin(), b.end(), banner, banner + strlen(banner)) == b.end())
    return Fail(std::string("is not a Pellory program (no \"") + banner + "\" in it)");
  return Done();
}
