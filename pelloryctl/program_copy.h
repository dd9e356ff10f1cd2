// The program's copy on the ESP, \EFI\Pellory\pellory.efi: written under a
// temporary name, synced, renamed, the folder synced, then read back and
// compared by SHA-256, so a half-written file never carries the name the
// boot entry points at.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pelloryctl/outcome.h"

struct CopyUndo {
  std::string efi_dir, pellory_dir, file;
  bool made_efi_dir = false, made_pellory_dir = false, made_file = false, replaced = false;
  std::vector<uint8_t> old_image;  // an earlier schedule's copy, put back on undo
};

// esp_root: the ESP's folder as this process reaches it.
Outcome CopyProgram(const std::string& esp_root, const std::vector<uint8_t>& image, CopyUndo* undo);
// Puts back what was there: the earlier copy, or no file and no new folders.
void UndoCopy(const CopyUndo& undo);
// For clean: the copy, and its folder when nothing else is in it.
Outcome RemoveProgram(const std::string& esp_root);

// How the copy is read back for its check: ReadWholeFile, from the ESP.
// pelloryctl's tests put in one that changes what it read, as an ESP that
// lost part of the write would show it: nothing in a folder makes a file
// read back other than it was written.
using FileReader = Outcome (*)(const std::string& path, std::vector<uint8_t>* bytes, size_t limit);
extern FileReader gCopyReader;
