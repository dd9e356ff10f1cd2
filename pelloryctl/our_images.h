// The two EFI images pelloryctl puts on a machine, each with the load
// option that starts it: the program, which only BootNext names, once; and
// the identification driver, which DriverOrder lists, so that the firmware
// loads it at every boot. Both live in \EFI\Pellory on the ESP, and each
// load option is known by its description alone, exactly.
#pragma once

#include <string>

struct OurImage {
  const char* file;         // in \EFI\Pellory
  const char* what;         // as a message names it
  const char* kind;         // its load option's variables: Boot####, Driver####
  const char* order;        // the firmware's list of those
  const char* description;  // its load option's, exactly
  const char* entry;        // as a message names the load option
};

inline constexpr OurImage kProgram = {"pellory.efi", "the program", "Boot", "BootOrder", "Pellory firmware update",
                                      "the boot entry"};
inline constexpr OurImage kDriver = {"pellory-identify.efi", "the driver", "Driver", "DriverOrder",
                                     "Pellory converter identification", "the driver entry"};

// The driver as the package ships it, unsigned: `driver install`'s file
// when it is given none.
inline constexpr char kPackagedDriver[] = "/usr/lib/pellory/pellory-identify.efi";

// The file as the firmware names it: \EFI\Pellory\pellory.efi
inline std::string EspPath(const OurImage& image) { return std::string("\\EFI\\Pellory\\") + image.file; }
