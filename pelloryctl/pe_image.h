// The parts of a PE32+ image that pelloryctl reads: the header fields the
// Authenticode digest leaves out, the certificate table, the sections. All
// offsets are checked against the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pelloryctl/outcome.h"

struct PeSection {
  std::string name;  // up to 8 characters
  uint32_t virtual_size = 0, raw_size = 0, raw_offset = 0;
};

struct PeLayout {
  size_t optional = 0;        // the optional header's offset
  size_t checksum_at = 0;     // the header checksum's 4 bytes
  size_t security_entry = 0;  // the certificate table's directory entry (8 bytes); 0: none
  uint32_t headers_size = 0;  // SizeOfHeaders
  uint32_t security_offset = 0, security_size = 0;  // the certificate table, a file range
  std::vector<PeSection> sections;
};

bool Read16(const std::vector<uint8_t>& b, size_t at, uint16_t* value);
bool Read32(const std::vector<uint8_t>& b, size_t at, uint32_t* value);

// Done when the headers and the section table lie in the file and every
// section's bytes too; fails "is not a PE image" or "is a truncated PE
// image (...)", worded to follow the file's name.
Outcome ReadPeLayout(const std::vector<uint8_t>& b, PeLayout* layout);

// The bytes of the section called name, up to the NULs that pad it; false
// when the image has no such section.
bool SectionText(const std::vector<uint8_t>& b, const PeLayout& layout, const char* name, std::string* text);

// The PKCS#7 SignedData (DER) of the first certificate of the image's
// certificate table, when that is a WIN_CERTIFICATE of type
// PKCS_SIGNED_DATA wholly inside the file: bytes [*at, *at + *length).
bool SignedData(const std::vector<uint8_t>& image, size_t* at, size_t* length);
