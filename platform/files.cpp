#include "platform/files.h"

#include "platform/file_ops.h"
#include "platform/services.h"

namespace {

constinit const FileOps* gOps = nullptr;

// Opens `name` as a regular file, with its size; null for a directory.
FileHandle OpenRegular(const FileOps& ops, const char16_t* name, UINT64* size) {
  FileHandle file = ops.open(name);
  if (file == nullptr) return nullptr;
  if (!ops.regular(file, size)) {
    (void)ops.close(file);
    return nullptr;
  }
  return file;
}

}  // namespace

void FilesBind(FilePlace place) {
  gOps = &kShellFileOps;
  if (place == FilePlace::ShellDirectory) return;
  gOps = VolumeBindProgramFolder(ImageHandle()) ? &kVolumeFileOps : nullptr;
}

// Neither the shell's create nor the file protocol's empties a file that
// exists, so a non-empty one is deleted and made anew, and checked empty.
FileHandle FileOpenEmpty(const char16_t* name) {
  if (gOps == nullptr) return nullptr;
  const FileOps& ops = *gOps;
  UINT64 size = 0;
  FileHandle file = OpenRegular(ops, name, &size);
  if (file == nullptr || size == 0) return file;
  if (!ops.remove(file)) return nullptr;
  file = OpenRegular(ops, name, &size);
  if (file != nullptr && size != 0) {
    (void)ops.close(file);
    return nullptr;
  }
  return file;
}

EFI_STATUS FileWrite(FileHandle file, const char* bytes, UINTN count) {
  if (gOps == nullptr) return EFI_NOT_READY;
  UINTN written = count;
  EFI_STATUS status = gOps->write(file, bytes, &written);
  if (EFI_ERROR(status)) return status;
  return written == count ? EFI_SUCCESS : EFI_VOLUME_FULL;
}

EFI_STATUS FileClose(FileHandle file) {
  if (gOps == nullptr) return EFI_NOT_READY;
  return gOps->close(file);
}
