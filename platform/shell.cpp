#include "platform/shell.h"

#include "platform/file_ops.h"
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

// --- Files of the shell's current directory ------------------------------------

FileHandle Open(const char16_t* name) {
  EFI_SHELL_PROTOCOL* shell = Shell();
  SHELL_FILE_HANDLE file = nullptr;
  if (shell == nullptr || EFI_ERROR(shell->OpenFileByName(Wide(name), &file, kWriteCreate)))
    return nullptr;
  return file;
}

bool Regular(FileHandle file, UINT64* size) {
  EFI_SHELL_PROTOCOL* shell = Shell();
  if (shell == nullptr) return false;
  EFI_FILE_INFO* info = shell->GetFileInfo(file);
  if (info == nullptr) return false;  // unknown: do not write into it
  bool directory = (info->Attribute & EFI_FILE_DIRECTORY) != 0;
  PoolFree(info);
  return !directory && !EFI_ERROR(shell->GetFileSize(file, size));
}

bool Remove(FileHandle file) {
  EFI_SHELL_PROTOCOL* shell = Shell();
  return shell != nullptr && !EFI_ERROR(shell->DeleteFile(file));
}

EFI_STATUS Write(FileHandle file, const char* bytes, UINTN* count) {
  EFI_SHELL_PROTOCOL* shell = Shell();
  if (shell == nullptr) return EFI_NOT_FOUND;
  return shell->WriteFile(file, count, const_cast<char*>(bytes));
}

EFI_STATUS Close(FileHandle file) {
  EFI_SHELL_PROTOCOL* shell = Shell();
  return shell == nullptr ? EFI_NOT_FOUND : shell->CloseFile(file);
}

}  // namespace

constexpr FileOps kShellFileOps = {Open, Regular, Remove, Write, Close};

EFI_SHELL_PARAMETERS_PROTOCOL* ShellParameters() {
  EFI_GUID guid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
  void* found = nullptr;
  if (EFI_ERROR(BootServices()->OpenProtocol(ImageHandle(), &guid, &found, ImageHandle(), nullptr,
                                             EFI_OPEN_PROTOCOL_GET_PROTOCOL)))
    return nullptr;
  return static_cast<EFI_SHELL_PARAMETERS_PROTOCOL*>(found);
}

ShellArguments ShellReadArguments(const EFI_SHELL_PARAMETERS_PROTOCOL* parameters) {
  int count = 0;
  UINTN used = 0;
  for (UINTN i = 0; parameters != nullptr && i < parameters->Argc && count < kMaxArguments; i++) {
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
