#include "platform/shell.h"

#include "platform/services.h"

namespace {

constexpr UINT64 kWriteCreate =
    EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;
constexpr int kMaxArguments = 16;
constexpr UINTN kArgumentBytes = 512;

constinit char gArgumentBytes[kArgumentBytes] = {};
constinit char* gArgumentValues[kMaxArguments + 1] = {};

EFI_SHELL_PROTOCOL* Shell() {
  EFI_GUID guid = EFI_SHELL_PROTOCOL_GUID;
  void* shell = nullptr;
  if (EFI_ERROR(BootServices()->LocateProtocol(&guid, nullptr, &shell))) return nullptr;
  return static_cast<EFI_SHELL_PROTOCOL*>(shell);
}

bool IsDirectory(EFI_SHELL_PROTOCOL* shell, SHELL_FILE_HANDLE file) {
  EFI_FILE_INFO* info = shell->GetFileInfo(file);
  if (info == nullptr) return true;  // unknown: do not write into it
  bool directory = (info->Attribute & EFI_FILE_DIRECTORY) != 0;
  PoolFree(info);
  return directory;
}

// Opens (creating) `name`; the handle only when it is a regular file, with
// its size in `size`.
SHELL_FILE_HANDLE OpenRegular(EFI_SHELL_PROTOCOL* shell, const char16_t* name, UINT64* size) {
  SHELL_FILE_HANDLE file = nullptr;
  if (EFI_ERROR(shell->OpenFileByName(Wide(name), &file, kWriteCreate))) return nullptr;
  if (IsDirectory(shell, file) || EFI_ERROR(shell->GetFileSize(file, size))) {
    (void)shell->CloseFile(file);
    return nullptr;
  }
  return file;
}

}  // namespace

SHELL_FILE_HANDLE ShellOpenEmpty(const char16_t* name) {
  EFI_SHELL_PROTOCOL* shell = Shell();
  if (shell == nullptr) return nullptr;
  UINT64 size = 0;
  SHELL_FILE_HANDLE file = OpenRegular(shell, name, &size);
  if (file == nullptr || size == 0) return file;
  // The delete closes the handle in every case.
  if (EFI_ERROR(shell->DeleteFile(file))) return nullptr;
  file = OpenRegular(shell, name, &size);
  if (file != nullptr && size != 0) {
    (void)shell->CloseFile(file);
    return nullptr;
  }
  return file;
}

void ShellWrite(SHELL_FILE_HANDLE file, const char* bytes, UINTN count) {
  EFI_SHELL_PROTOCOL* shell = Shell();
  if (shell == nullptr) return;
  UINTN size = count;
  (void)shell->WriteFile(file, &size, const_cast<char*>(bytes));
}

void ShellClose(SHELL_FILE_HANDLE file) {
  EFI_SHELL_PROTOCOL* shell = Shell();
  if (shell != nullptr) (void)shell->CloseFile(file);
}

ShellArguments ShellReadArguments() {
  EFI_GUID guid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
  void* found = nullptr;
  if (EFI_ERROR(BootServices()->OpenProtocol(ImageHandle(), &guid, &found, ImageHandle(), nullptr,
                                             EFI_OPEN_PROTOCOL_GET_PROTOCOL))) {
    gArgumentValues[0] = nullptr;
    return {0, gArgumentValues};
  }
  auto* parameters = static_cast<EFI_SHELL_PARAMETERS_PROTOCOL*>(found);
  int count = 0;
  UINTN used = 0;
  for (UINTN i = 0; i < parameters->Argc && count < kMaxArguments; i++) {
    if (used + 1 >= kArgumentBytes) break;
    const CHAR16* wide = parameters->Argv[i];
    gArgumentValues[count++] = &gArgumentBytes[used];
    for (UINTN k = 0; wide[k] != 0 && used + 1 < kArgumentBytes; k++) {
      gArgumentBytes[used++] = wide[k] < 0x80 ? static_cast<char>(wide[k]) : '?';
    }
    gArgumentBytes[used++] = 0;
  }
  gArgumentValues[count] = nullptr;
  return {count, gArgumentValues};
}
