// Is a file a Pellory program the firmware can start: PE32+ for x86-64,
// an EFI application whose sections lie in the file, carrying the
// program's banner. Whether Secure Boot lets it start is boot_target.h's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "contract/contract.h"
#include "pelloryctl/outcome.h"

// The start of the line every Pellory program prints first; the program
// stores it as plain ASCII (its console text is narrow until printed). The
// version after it changes from release to release, so it is not compared.
inline constexpr const char* kProgramBanner = contract::kBannerStart;

// Fails with the line that says why not, worded to follow the file's name.
Outcome CheckProgram(const std::vector<uint8_t>& image);
