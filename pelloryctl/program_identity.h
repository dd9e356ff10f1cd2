// What a Pellory program carries, read from its bytes alone: the versions
// its banner names, the image text its record will hold (checked against
// the image it embeds, not guessed), and the converter it is for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pelloryctl/outcome.h"

struct ProgramIdentity {
  std::string program_version;  // "0.4"
  std::string image_version;    // "07_23"
  std::string image;            // "07_23 sha256:d1c23f383fb67ae1", as the record holds it
  std::string converter_oui;    // "0A1B2C"; empty: a program for any converter
};

// Done when the bytes carry a banner that names the image's version and,
// right behind the embedded image, the image's SHA-256; otherwise fails
// with why not, worded to follow the file's name.
Outcome IdentifyProgram(const std::vector<uint8_t>& bytes, ProgramIdentity* identity);
