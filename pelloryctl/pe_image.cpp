#include "pelloryctl/pe_image.h"

namespace {

constexpr uint16_t kCertificatePkcsSignedData = 0x0002;
constexpr uint32_t kSecurityDirectory = 4;

}  // namespace

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

Outcome ReadPeLayout(const std::vector<uint8_t>& b, PeLayout* layout) {
  uint32_t pe = 0, signature = 0;
  if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z' || !Read32(b, 0x3C, &pe) || !Read32(b, pe, &signature) ||
      signature != 0x00004550)
    return Fail("is not a PE image");
  *layout = {};
  layout->optional = size_t(pe) + 24;
  layout->checksum_at = layout->optional + 64;
  uint16_t count = 0, optional_size = 0;
  uint32_t directories = 0;
  if (!Read16(b, pe + 6, &count) || !Read16(b, pe + 20, &optional_size) ||
      !Read32(b, layout->optional + 60, &layout->headers_size) || !Read32(b, layout->optional + 108, &directories))
    return Fail("is a truncated PE image");
  if (directories > kSecurityDirectory && 112 + 8 * (kSecurityDirectory + 1) <= optional_size) {
    layout->security_entry = layout->optional + 112 + 8 * kSecurityDirectory;
    if (!Read32(b, layout->security_entry, &layout->security_offset) ||
        !Read32(b, layout->security_entry + 4, &layout->security_size))
      return Fail("is a truncated PE image");
  }
  // Every section's bytes lie inside the file: a copy cut short is refused
  // here, not by the firmware at the reboot.
  const size_t table = layout->optional + optional_size;
  for (unsigned i = 0; i < count; ++i) {
    PeSection s;
    const size_t at = table + 40 * i;
    if (!Read32(b, at + 8, &s.virtual_size) || !Read32(b, at + 16, &s.raw_size) || !Read32(b, at + 20, &s.raw_offset))
      return Fail("is a truncated PE image (its section table runs past the end of the file)");
    if (uint64_t(s.raw_offset) + s.raw_size > b.size())
      return Fail("is a truncated PE image (section " + std::to_string(i + 1) + " runs past the end of the file)");
    for (size_t k = 0; k < 8 && b[at + k] != 0; ++k) s.name += char(b[at + k]);
    layout->sections.push_back(s);
  }
  return Done();
}

bool SectionText(const std::vector<uint8_t>& b, const PeLayout& layout, const char* name, std::string* text) {
  for (const PeSection& s : layout.sections) {
    if (s.name != name) continue;
    size_t end = s.raw_offset + s.raw_size;
    while (end > s.raw_offset && b[end - 1] == 0) --end;
    text->assign(b.begin() + long(s.raw_offset), b.begin() + long(end));
    return true;
  }
  return false;
}

bool SignedData(const std::vector<uint8_t>& b, size_t* at, size_t* length) {
  PeLayout layout;
  if (!ReadPeLayout(b, &layout) || layout.security_entry == 0) return false;
  // The security directory holds a file offset, not an address.
  const uint32_t offset = layout.security_offset, size = layout.security_size;
  uint32_t certificate = 0;
  uint16_t type = 0;
  if (offset == 0 || size < 8 || offset > b.size() || b.size() - offset < size) return false;
  if (!Read32(b, offset, &certificate) || !Read16(b, offset + 6, &type)) return false;
  if (certificate < 8 || certificate > size || type != kCertificatePkcsSignedData) return false;
  *at = size_t(offset) + 8;
  *length = certificate - 8;
  return true;
}
