// The boot entry that starts the program once: a Boot#### load option,
// active, described "Pellory firmware update", whose device path is
// HD(partition, GPT, start, size)/File(\EFI\Pellory\pellory.efi)/End, or
// File(shim) with the program's path as the option's data when shim is
// to start it (boot_target.h). It is never put in BootOrder; only
// BootNext names it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "pelloryctl/esp.h"
#include "pelloryctl/outcome.h"

inline constexpr char kEntryDescription[] = "Pellory firmware update";
inline constexpr char kProgramPath[] = "\\EFI\\Pellory\\pellory.efi";
inline constexpr uint32_t kLoadOptionActive = 0x00000001;

// An option that starts file (an ESP path) on esp, handing it data.
// Fails when libefiboot refuses the device path or the option.
Outcome MakeLoadOption(const Esp& esp, const std::string& file, const std::vector<uint8_t>& data,
                       std::vector<uint8_t>* option);
// The description of a load option, read strictly; false when the bytes
// are not a load option.
bool LoadOptionDescription(const std::vector<uint8_t>& option, std::u16string* description);

std::string BootName(unsigned number);      // Boot0004
bool BootNumber(const std::string& name, unsigned* number);  // Boot#### only
// The number of the first Boot#### whose description is exactly ours;
// *found false when there is none. Entries that cannot be read are not ours.
Outcome FindOurEntry(unsigned* number, bool* found);
// The numbers BootOrder lists (none when it is absent).
Outcome BootOrder(std::set<unsigned>* numbers);
// The lowest Boot#### number that no variable uses and BootOrder does not list.
Outcome FreeBootNumber(unsigned* number);
