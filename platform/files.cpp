#include "platform/files.h"

#include "platform/file_ops.h"
#include "platform/services.h"

namespace {

constinit const FileOps* gOps = nullptr;
constinit bool gKept = true;

// Opens `name` as a regular file, with its size. EFI_NOT_FOUND only when
// there is no such file; a directory of that name is EFI_ACCESS_DENIED.
EFI_STATUS OpenRegular(const FileOps& ops, const char16_t* name, bool create, UINT64* size,
                       FileHandle* file) {
  *file = nullptr;
  FileHandle opened = nullptr;
  EFI_STATUS status = ops.open(name, create, &opened);
  if (EFI_ERROR(status)) return status;
  if (!ops.regular(opened, size)) {
    (void)ops.close(opened);
    return EFI_ACCESS_DENIED;
  }
  *file = opened;
  return EFI_SUCCESS;
}

}  // namespace

void FilesBind(FilePlace place) {
  gKept = place != FilePlace::NotKept;
  gOps = &kShellFileOps;
  if (place == FilePlace::ShellDirectory) return;
  gOps = gKept && VolumeBindProgramFolder(ImageHandle()) ? &kVolumeFileOps : nullptr;
}

bool FilesKept() { return gKept; }

// Neither the shell's create nor the file protocol's empties a file that
// exists, so a non-empty one is deleted and made anew, and checked empty.
FileHandle FileOpenEmpty(const char16_t* name) {
  if (gOps == nullptr) return nullptr;
  const FileOps& ops = *gOps;
  UINT64 size = 0;
  FileHandle file = nullptr;
  if (EFI_ERROR(OpenRegular(ops, name, true, &size, &file)) || size == 0) return file;
  if (!ops.remove(file)) return nullptr;
  if (EFI_ERROR(OpenRegular(ops, name, true, &size, &file)) || size == 0) return file;
  (void)ops.close(file);
  return nullptr;
}

FileHandle FileOpenAtEnd(const char16_t* name, UINT64* size, bool* lineEnded) {
  if (gOps == nullptr) return nullptr;
  const FileOps& ops = *gOps;
  // Opened without the create mode unless it is not there: the bytes
  // already there stay.
  FileHandle file = nullptr;
  EFI_STATUS status = OpenRegular(ops, name, false, size, &file);
  if (status == EFI_NOT_FOUND) status = OpenRegular(ops, name, true, size, &file);
  if (EFI_ERROR(status)) return nullptr;
  // The last byte tells whether an earlier line lost its end.
  char last = '\n';
  UINTN count = 1;
  const bool read = *size == 0 || (!EFI_ERROR(ops.seek(file, *size - 1)) &&
                                   !EFI_ERROR(ops.read(file, &last, &count)) && count == 1);
  if (!read || EFI_ERROR(ops.seek(file, *size))) {
    (void)ops.close(file);
    return nullptr;
  }
  *lineEnded = last == '\n';
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
