// Our images' copies on the ESP, \EFI\Pellory\pellory.efi and
// \EFI\Pellory\pellory-identify.efi: written under a temporary name,
// synced, renamed, the folder synced, then read back and compared by
// SHA-256, so a half-written file never carries the name a load option
// points at.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pelloryctl/our_images.h"
#include "pelloryctl/outcome.h"

struct CopyUndo {
  OurImage image = kProgram;
  std::string efi_dir, pellory_dir, file;
  bool made_efi_dir = false, made_pellory_dir = false, made_file = false, replaced = false;
  std::vector<uint8_t> old_image;  // an earlier copy, put back on undo
};

// esp_root: the ESP's folder as this process reaches it.
Outcome CopyToEsp(const std::string& esp_root, const OurImage& image, const std::vector<uint8_t>& bytes,
                  CopyUndo* undo);
// Puts back what was there: the earlier copy, or no file and no new folders.
void UndoCopy(const CopyUndo& undo);
// The copy (*removed: it was there), and its folder when nothing else is
// in it.
Outcome RemoveFromEsp(const std::string& esp_root, const OurImage& image, bool* removed);

// How the copy is read back for its check: ReadWholeFile, from the ESP.
// pelloryctl's tests put in one that changes what it read, as an ESP that
// lost part of the write would show it: nothing in a folder makes a file
// read back other than it was written.
using FileReader = Outcome (*)(const std::string& path, std::vector<uint8_t>* bytes, size_t limit);
extern FileReader gCopyReader;
