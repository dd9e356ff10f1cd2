#include "pelloryctl/program_identity.h"

#include <cstdio>

#include "contract/key_value.h"
#include "hash/sha256.h"

namespace {

// The converter's flash: 256 pages of 256 bytes, embedded whole.
constexpr size_t kImageSize = 65536;
constexpr size_t kDigestDigits = 2 * kSha256Size;
constexpr size_t kNone = size_t(-1);

bool LowerHex(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool DigestOfImageBefore(const std::vector<uint8_t>& b, size_t at) {
  static constexpr char kHex[] = "0123456789abcdef";
  uint8_t digest[kSha256Size];
  Sha256(b.data() + at - kImageSize, kImageSize, digest);
  for (size_t k = 0; k < kSha256Size; ++k)
    if (b[at + 2 * k] != kHex[digest[k] >> 4] || b[at + 2 * k + 1] != kHex[digest[k] & 15]) return false;
  return true;
}

// The build writes the digest as 64 lower-case hexadecimal digits right
// after the image and the banner right after the digest, so the digest
// ends a run of such digits (the image's last bytes may lengthen the run
// in front). Only a run whose last 64 digits are the SHA-256 of the
// 65,536 bytes before them counts: the image's own bytes may look like one.
size_t FindDigest(const std::vector<uint8_t>& b) {
  size_t run = 0;
  for (size_t i = 0; i < b.size(); ++i) {
    run = LowerHex(b[i]) ? run + 1 : 0;
    const bool run_ends = i + 1 == b.size() || !LowerHex(b[i + 1]);
    if (run < kDigestDigits || !run_ends) continue;
    const size_t at = i + 1 - kDigestDigits;
    if (at >= kImageSize && DigestOfImageBefore(b, at)) return at;
  }
  return kNone;
}

std::string Text(text::Span span) { return std::string(span.text, span.length); }

}  // namespace

Outcome IdentifyProgram(const std::vector<uint8_t>& bytes, ProgramIdentity* identity) {
  text::Span program, image;
  if (!contract::FindBanner(bytes.data(), bytes.size(), &program, &image))
    return Fail(std::string("names no firmware version in its \"") + contract::kBannerStart + "\" banner");
  const size_t digest = FindDigest(bytes);
  if (digest == kNone) return Fail("carries no SHA-256 that matches its firmware image");
  identity->program_version = Text(program);
  identity->image_version = Text(image);
  identity->image = identity->image_version + contract::kImageDigestTag +
                    std::string(bytes.begin() + long(digest), bytes.begin() + long(digest + contract::kImageDigestShown));
  uint8_t oui[3];
  identity->converter_oui.clear();
  if (contract::FindConverter(bytes.data(), bytes.size(), oui)) {
    char text[8];
    snprintf(text, sizeof text, "%02X%02X%02X", oui[0], oui[1], oui[2]);
    identity->converter_oui = text;
  }
  return Done();
}
