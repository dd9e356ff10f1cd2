// What a boot entry for an image pelloryctl puts on the ESP must start,
// under this machine's Secure Boot: the image itself when the firmware
// trusts it (db), or the distribution's shim with the image's path as its
// load option when only the Machine Owner Keys do; refused, before anything
// changes, when neither would start it. `schedule` builds its Boot####
// entry from it; any other command that makes an entry for an image (a
// Driver####) asks it the same way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pelloryctl/esp.h"
#include "pelloryctl/outcome.h"

struct BootTarget {
  std::string file;             // what the entry starts, as an ESP path (\EFI\...)
  std::vector<uint8_t> option;  // the entry's optional data: none, or the image's path for shim
  std::string via;              // "" (direct), or "through shim: MOK trusts CN=..."
};

// image: the file's bytes; name: the file as the messages name it;
// esp_path: where the image will lie on esp (\EFI\Pellory\pellory.efi).
// With Secure Boot off the image is started directly, whatever it carries.
// Fails with the line that says why the firmware or shim would refuse it.
Outcome ChooseBootTarget(const std::vector<uint8_t>& image, const std::string& name, const Esp& esp,
                         const std::string& esp_path, BootTarget* target);

// For an image the firmware loads itself (a Driver####), never through
// shim: under Secure Boot only db trusts it. Fails with the line that says
// why the firmware would refuse it.
Outcome CheckFirmwareLoads(const std::vector<uint8_t>& image, const std::string& name);

// The shim that would start a second stage on esp: the file of the entry
// the OS booted through (BootCurrent) when that is a shim on this ESP, else
// the first \EFI\<folder>\shimx64.efi on it that is one; *found false
// when there is none. A shim is an image whose .sbat names the component
// "shim".
Outcome FindShim(const Esp& esp, std::string* path, bool* found);
