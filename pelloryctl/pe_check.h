// Is a file a Pellory program the firmware will start: PE32+ for x86-64,
// an EFI application, carrying the program's banner, and signed when
// Secure Boot is on (the firmware refuses an unsigned image, and then the
// scheduled run never happens).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr char kProgramBanner[] = "Pellory Version:0.4, firmware version 07_23";

// Empty when the image passes; otherwise the one line that says why not.
std::string CheckProgram(const std::vector<uint8_t>& image, bool need_signature);
