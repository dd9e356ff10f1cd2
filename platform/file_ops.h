// The operations each place of files offers (platform/files.h); files.cpp
// chooses one set per run. Only platform/ includes this.
#pragma once

#include "platform/files.h"

struct FileOps {
  // Opens `name` for reading and writing, creating it when it is missing.
  FileHandle (*open)(const char16_t* name);
  // True for a regular file, with its size; false for a directory or when
  // the kind cannot be told.
  bool (*regular)(FileHandle file, UINT64* size);
  // Deletes the file; the handle is closed whatever the outcome.
  bool (*remove)(FileHandle file);
  EFI_STATUS (*write)(FileHandle file, const char* bytes, UINTN* count);
  EFI_STATUS (*close)(FileHandle file);
};

extern const FileOps kShellFileOps;   // platform/shell.cpp
extern const FileOps kVolumeFileOps;  // platform/volume.cpp

// Reads the folder that holds the program from the Loaded Image protocol
// of `image`, for kVolumeFileOps. False when the image came from no file
// system or from a path this program cannot follow; every open then fails.
[[nodiscard]] bool VolumeBindProgramFolder(EFI_HANDLE image);
