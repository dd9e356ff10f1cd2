// Is a file a Pellory program, or its identification driver, that the
// firmware will start: PE32+ for x86-64, an EFI application (a boot-service
// driver), carrying the program's banner (the driver's tag), and signed
// when Secure Boot is on (the firmware refuses an unsigned image, and then
// the scheduled run never happens, or the driver never reads).
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
Outcome CheckProgram(const std::vector<uint8_t>& image, bool need_signature);
Outcome CheckDriver(const std::vector<uint8_t>& image, bool need_signature, std::string* version);
// The one Secure Boot check of both: with Secure Boot on, an image that
// carries no signature is refused, as the firmware would refuse it.
Outcome CheckSignedUnderSecureBoot(const std::vector<uint8_t>& image, bool secure_boot);

// The PKCS#7 SignedData (DER) of the first certificate of the image's
// certificate table, when that is a WIN_CERTIFICATE of type
// PKCS_SIGNED_DATA wholly inside the file: bytes [*at, *at + *length).
bool SignedData(const std::vector<uint8_t>& image, size_t* at, size_t* length);
