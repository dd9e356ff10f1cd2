// Where the program's files live for one run, and the one way they are
// opened, written and closed there. A shell start keeps them in the shell's
// current directory, as technicians expect at a shell prompt; any other
// start keeps them in the folder that holds the program on the volume it
// was loaded from (\EFI\BOOT\ for a stick's BOOTX64.EFI), because the boot
// manager gives no current directory. A network start keeps none: it has no
// file system, and its record lives in a firmware variable instead.
#pragma once

#include "platform/efi.h"

using FileHandle = void*;

enum class FilePlace : uint8_t { ShellDirectory, ProgramFolder, NotKept };

// Chooses the place for the run. For the program's folder it reads the
// Loaded Image protocol once; a path it cannot follow leaves the run with no
// place, so every open fails.
void FilesBind(FilePlace place);
// False only for FilePlace::NotKept: the run does not try to keep files.
[[nodiscard]] bool FilesKept();

// True when the program came from a device without a file system (a network
// boot): its Loaded Image's device handle carries no Simple File System.
// Any other failure to tell counts as a file system, so that files are still
// tried and a failure to keep them is said.
[[nodiscard]] bool LoadedFromNetwork(EFI_HANDLE image);

// Opens `name` for writing as an empty regular file: created, or emptied
// when it exists. Null when no empty file could be had (a directory of that
// name, a volume that cannot be written, no place at all).
[[nodiscard]] FileHandle FileOpenEmpty(const char16_t* name);
// Opens `name` for adding to its end: created when missing, positioned
// after its last byte. `size` tells the bytes already there, `lineEnded`
// whether the last of them is a line feed (true for an empty file). Null
// when the file cannot be had (a directory of that name, a volume that
// cannot be written, no place at all).
[[nodiscard]] FileHandle FileOpenAtEnd(const char16_t* name, UINT64* size, bool* lineEnded);
// Writes all `count` bytes; a short write is a failure.
[[nodiscard]] EFI_STATUS FileWrite(FileHandle file, const char* bytes, UINTN count);
[[nodiscard]] EFI_STATUS FileClose(FileHandle file);
