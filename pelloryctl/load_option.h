// The load options that start our images (our_images.h): a Boot#### or
// Driver####, active, whose device path is
// HD(partition, GPT, start, size)/File(\EFI\Pellory\...)/End, or
// File(shim) with the image's path as the option's data when shim is to
// start it (boot_target.h). The program's entry is never put in BootOrder;
// only BootNext names it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "pelloryctl/esp.h"
#include "pelloryctl/our_images.h"
#include "pelloryctl/outcome.h"

inline constexpr uint32_t kLoadOptionActive = 0x00000001;

// The image's option that starts `file` (an ESP path) on esp, handing it
// `data`. Fails when libefiboot refuses the device path or the option.
Outcome MakeLoadOption(const Esp& esp, const OurImage& image, const std::string& file,
                       const std::vector<uint8_t>& data, std::vector<uint8_t>* option);
// The description of a load option, read strictly; false when the bytes
// are not a load option.
bool LoadOptionDescription(const std::vector<uint8_t>& option, std::u16string* description);
// Its device path as efibootmgr -v shows it; empty when it has none.
std::string LoadOptionPath(const std::vector<uint8_t>& option);

std::string OptionName(const OurImage& image, unsigned number);  // Driver0004
// The number of the first option of the image's kind whose description is
// exactly its own; *found false when there is none. Options that cannot
// be read are not ours.
Outcome FindOption(const OurImage& image, unsigned* number, bool* found);
// The numbers of every such option, lowest first.
Outcome FindOptions(const OurImage& image, std::vector<unsigned>* numbers);
// The numbers an order variable (BootOrder, DriverOrder) lists, in order.
std::vector<unsigned> OrderNumbers(const std::vector<uint8_t>& order);
// The lowest number of the image's kind that no variable uses and its
// order does not list.
Outcome FreeOptionNumber(const OurImage& image, unsigned* number);

// The program's entry, as schedule, cancel and result name it.
inline std::string BootName(unsigned number) { return OptionName(kProgram, number); }
inline Outcome FindOurEntry(unsigned* number, bool* found) { return FindOption(kProgram, number, found); }
// The numbers BootOrder lists (none when it is absent).
Outcome BootOrder(std::set<unsigned>* numbers);
