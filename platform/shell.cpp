#include "platform/shell.h"

#include "platform/file_ops.h"
#include "platform/services.h"

namespace {

constexpr UINT64 kWrite = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
constexpr UINT64 kWriteCreate = kWrite | EFI_FILE_MODE_CREATE;
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

EFI_STATUS Open(const char16_t* name, bool create, FileHandle* file) {
  EFI_SHELL_PROTOCOL* shell = Shell();
  if (shell == nullptr) return EFI_UNSUPPORTED;
  return shell->OpenFileByName(Wide(name), file, create ? kWriteCreate : kWrite);
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

EFI_STATUS Read(FileHandle file, char* bytes, UINTN* count) {
  EFI_SHELL_PROTOCOL* shell = Shell();
  return shell == nullptr ? EFI_NOT_FOUND : shell->ReadFile(file, count, bytes);
}

EFI_STATUS Seek(FileHandle file, UINT64 position) {
  EFI_SHELL_PROTOCOL* shell = Shell();
  return shell == nullptr ? EFI_NOT_FOUND : shell->SetFilePosition(file, position);
}

EFI_STATUS Close(FileHandle file) {
  EFI_SHELL_PROTOCOL* shell = Shell();
  return shell == nullptr ? EFI_NOT_FOUND : shell->CloseFile(file);
}

}  // namespace

constexpr FileOps kShellFileOps = {Open, Regular, Remove, Write, Read, Seek, Close};

bool StartedByShell(EFI_SHELL_PARAMETERS_PROTOCOL** parameters) {
  EFI_GUID guid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
  void* found = nullptr;
  EFI_STATUS status = BootServices()->OpenProtocol(ImageHandle(), &guid, &found, ImageHandle(), nullptr,
                                                   EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  *parameters = EFI_ERROR(status) ? nullptr : static_cast<EFI_SHELL_PARAMETERS_PROTOCOL*>(found);
  return status != EFI_UNSUPPORTED;
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
