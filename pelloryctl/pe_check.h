// Is a file a Pellory program, or its identification driver, that the
// firmware can start: PE32+ for x86-64, an EFI application (a boot-service
// driver) whose sections lie in the file, carrying the program's banner
// (the driver's tag). Whether Secure Boot lets it start is boot_target.h's.
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

// Each fails with the line that says why not, worded to follow the file's
// name. *version: the driver's, from its tag.
Outcome CheckProgram(const std::vector<uint8_t>& image);
Outcome CheckDriver(const std::vector<uint8_t>& image, std::string* version);
