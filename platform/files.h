// Where the program's files live for one run, and the one way they are
// opened, written and closed there. A shell start keeps them in the shell's
// current directory, as technicians expect at a shell prompt; any other
// start keeps them in the folder that holds the program on the volume it
// was loaded from (\EFI\BOOT\ for a stick's BOOTX64.EFI), because the boot
// manager gives no current directory.
#pragma once

#include "platform/efi.h"

using FileHandle = void*;

enum class FilePlace : uint8_t { ShellDirectory, ProgramFolder };

// Chooses the place for the run. For the program's folder it reads the
// Loaded Image protocol once; a program loaded from no file system (a
// network boot, a path it cannot follow) is left with no place, so every
// open fails.
void FilesBind(FilePlace place);

// Opens `name` for writing as an empty regular file: created, or emptied
// when it exists. Null when no empty file could be had (a directory of that
// name, a volume that cannot be written, no place at all).
[[nodiscard]] FileHandle FileOpenEmpty(const char16_t* name);
// Writes all `count` bytes; a short write is a failure.
[[nodiscard]] EFI_STATUS FileWrite(FileHandle file, const char* bytes, UINTN count);
[[nodiscard]] EFI_STATUS FileClose(FileHandle file);
