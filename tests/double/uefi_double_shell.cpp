// The shell protocol of the double: its file functions over in-memory files
// of the current directory. The rest of the protocol answers
// EFI_UNSUPPORTED (or null / FALSE), so a stray call shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "tests/double/uefi_double_state.h"

namespace dbl::detail {
namespace {

template <typename... A>
EFI_STATUS EFIAPI Unsupported(A...) {
  return EFI_UNSUPPORTED;
}

// For entries that return something other than a status: null or FALSE.
template <typename R, typename... A>
  requires(!std::is_same_v<R, EFI_STATUS>)
R EFIAPI Inert(A...) {
  if constexpr (!std::is_void_v<R>) return R{};
}

const CHAR16* EFIAPI GetCurDir(const CHAR16*) { return Wide(u"FS0:\\"); }

constexpr UINT64 kRead = EFI_FILE_MODE_READ;
constexpr UINT64 kReadWrite = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
constexpr UINT64 kReadWriteCreate = kReadWrite | EFI_FILE_MODE_CREATE;

std::u16string FromFirmware(const CHAR16* text) {
  std::u16string s;
  for (; *text != 0; ++text) s.push_back(static_cast<char16_t>(*text));
  return s;
}

// --- Opening and closing -----------------------------------------------------

EFI_STATUS EFIAPI OpenFileByName(const CHAR16* name, SHELL_FILE_HANDLE* handle, UINT64 mode) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ShellOpenFileByName)) return *fault;
  if (handle == nullptr) return EFI_INVALID_PARAMETER;
  *handle = nullptr;
  // The three modes EFI_FILE_PROTOCOL.Open accepts.
  if (mode != kRead && mode != kReadWrite && mode != kReadWriteCreate) return EFI_INVALID_PARAMETER;
  return d.OpenByName(name, mode == kReadWriteCreate, false, mode != kRead, handle);
}

EFI_STATUS EFIAPI CreateFile(const CHAR16* name, UINT64 attributes, SHELL_FILE_HANDLE* handle) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ShellCreateFile)) return *fault;
  if (handle == nullptr) return EFI_INVALID_PARAMETER;
  *handle = nullptr;
  if ((attributes & ~EFI_FILE_VALID_ATTR) != 0) return EFI_INVALID_PARAMETER;
  return d.OpenByName(name, true, (attributes & EFI_FILE_DIRECTORY) != 0, true, handle);
}

EFI_STATUS EFIAPI CloseFile(SHELL_FILE_HANDLE handle) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ShellCloseFile)) return *fault;
  if (d.FindOpenFile(handle, "CloseFile") == nullptr) return EFI_INVALID_PARAMETER;
  d.openFiles.erase(handle);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI DeleteFile(SHELL_FILE_HANDLE handle) {
  State& d = Live();
  // The shell closes the handle in every case, a failed delete included.
  if (auto fault = d.Enter(Service::ShellDeleteFile)) {
    d.openFiles.erase(handle);
    return *fault;
  }
  OpenFile* f = d.FindOpenFile(handle, "DeleteFile");
  if (f == nullptr) return EFI_INVALID_PARAMETER;
  // EFI_FILE_PROTOCOL.Delete closes the handle even when it cannot delete.
  const bool writable = f->writable;
  if (writable && !d.readOnly) d.Unlist(f->node);
  d.openFiles.erase(handle);
  return writable && !d.readOnly ? EFI_SUCCESS : EFI_WARN_DELETE_FAILURE;
}

EFI_STATUS EFIAPI DeleteFileByName(const CHAR16* name) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ShellDeleteFileByName)) return *fault;
  if (name == nullptr) return EFI_INVALID_PARAMETER;
  return d.files.erase(Fold(FromFirmware(name))) == 0 ? EFI_NOT_FOUND : EFI_SUCCESS;
}

// --- Information -------------------------------------------------------------

EFI_FILE_INFO* EFIAPI GetFileInfo(SHELL_FILE_HANDLE handle) {
  State& d = Live();
  if (d.Enter(Service::ShellGetFileInfo)) return nullptr;
  OpenFile* f = d.FindOpenFile(handle, "GetFileInfo");
  if (f == nullptr) return nullptr;
  const std::vector<unsigned char> info = FileInfoOf(*f->node);
  auto* raw = static_cast<unsigned char*>(d.PoolTake(EfiBootServicesData, info.size()));
  if (raw == nullptr) return nullptr;
  std::memcpy(raw, info.data(), info.size());
  return reinterpret_cast<EFI_FILE_INFO*>(raw);
}

EFI_STATUS EFIAPI SetFileInfo(SHELL_FILE_HANDLE handle, const EFI_FILE_INFO* info) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ShellSetFileInfo)) return *fault;
  OpenFile* f = d.FindOpenFile(handle, "SetFileInfo");
  if (f == nullptr) return EFI_INVALID_PARAMETER;
  return FileSetInfoFrom(d, *f, info);
}

EFI_STATUS EFIAPI GetFileSize(SHELL_FILE_HANDLE handle, UINT64* size) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ShellGetFileSize)) return *fault;
  OpenFile* f = d.FindOpenFile(handle, "GetFileSize");
  if (f == nullptr || size == nullptr) return EFI_INVALID_PARAMETER;
  *size = f->node->content.size();
  return EFI_SUCCESS;
}

// --- Data ----------------------------------------------------------------------

EFI_STATUS EFIAPI WriteFile(SHELL_FILE_HANDLE handle, UINTN* size, VOID* buffer) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ShellWriteFile)) return *fault;
  OpenFile* f = d.FindOpenFile(handle, "WriteFile");
  if (f == nullptr) return EFI_INVALID_PARAMETER;
  return FileWriteAt(d, *f, size, buffer);
}

EFI_STATUS EFIAPI ReadFile(SHELL_FILE_HANDLE handle, UINTN* size, VOID* buffer) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ShellReadFile)) return *fault;
  OpenFile* f = d.FindOpenFile(handle, "ReadFile");
  if (f == nullptr) return EFI_INVALID_PARAMETER;
  return FileReadAt(*f, size, buffer);
}

EFI_STATUS EFIAPI GetFilePosition(SHELL_FILE_HANDLE handle, UINT64* position) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ShellGetFilePosition)) return *fault;
  OpenFile* f = d.FindOpenFile(handle, "GetFilePosition");
  if (f == nullptr || position == nullptr) return EFI_INVALID_PARAMETER;
  if (f->node->directory) return EFI_UNSUPPORTED;
  *position = f->position;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetFilePosition(SHELL_FILE_HANDLE handle, UINT64 position) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ShellSetFilePosition)) return *fault;
  OpenFile* f = d.FindOpenFile(handle, "SetFilePosition");
  if (f == nullptr) return EFI_INVALID_PARAMETER;
  return FileSetPositionTo(*f, position);
}

EFI_STATUS EFIAPI FlushFile(SHELL_FILE_HANDLE handle) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ShellFlushFile)) return *fault;
  OpenFile* f = d.FindOpenFile(handle, "FlushFile");
  if (f == nullptr) return EFI_INVALID_PARAMETER;
  return f->writable ? EFI_SUCCESS : EFI_ACCESS_DENIED;
}

}  // namespace

OpenFile* State::FindOpenFile(SHELL_FILE_HANDLE handle, const char* service) {
  auto it = openFiles.find(handle);
  if (it != openFiles.end()) return it->second.get();
  ADD_FAILURE() << service << " on a file handle the shell did not give or has already closed";
  return nullptr;
}

EFI_STATUS State::OpenByName(const CHAR16* name, bool create, bool directory, bool writable,
                             SHELL_FILE_HANDLE* out) {
  if (name == nullptr) return EFI_INVALID_PARAMETER;
  const std::u16string given = FromFirmware(name);
  if (given.empty()) return EFI_NOT_FOUND;
  if (given.find_first_of(u"\\/:") != std::u16string::npos) {
    ADD_FAILURE() << "a path was given to the shell; the double models only names in the "
                     "current directory";
    return EFI_UNSUPPORTED;
  }
  const std::u16string key = Fold(given);
  auto found = files.find(key);
  if (found == files.end()) {
    if (!create) return EFI_NOT_FOUND;
    if (readOnly) return EFI_WRITE_PROTECTED;
    found = files.emplace(key, std::make_shared<FileNode>(FileNode{key, given, {}, directory})).first;
  } else if (writable && readOnly) {
    return EFI_WRITE_PROTECTED;
  } else if (create && createTruncates && !found->second->directory) {
    found->second->content.clear();
  }
  auto handle = std::make_unique<OpenFile>();
  handle->node = found->second;
  handle->writable = writable;
  *out = handle.get();
  openFiles.emplace(handle.get(), std::move(handle));
  return EFI_SUCCESS;
}

void FillShell(State& d) {
  EFI_SHELL_PROTOCOL& s = d.shell;
  s.Execute = Unsupported;
  s.GetEnv = Inert;
  s.SetEnv = Unsupported;
  s.GetAlias = Inert;
  s.SetAlias = Unsupported;
  s.GetHelpText = Unsupported;
  s.GetDevicePathFromMap = Inert;
  s.GetMapFromDevicePath = Inert;
  s.GetDevicePathFromFilePath = Inert;
  s.GetFilePathFromDevicePath = Inert;
  s.SetMap = Unsupported;
  s.GetCurDir = GetCurDir;
  s.SetCurDir = Unsupported;
  s.OpenFileList = Unsupported;
  s.FreeFileList = Unsupported;
  s.RemoveDupInFileList = Unsupported;
  s.BatchIsActive = Inert;
  s.IsRootShell = Inert;
  s.EnablePageBreak = Inert;
  s.DisablePageBreak = Inert;
  s.GetPageBreak = Inert;
  s.GetDeviceName = Unsupported;
  s.GetFileInfo = GetFileInfo;
  s.SetFileInfo = SetFileInfo;
  s.OpenFileByName = OpenFileByName;
  s.CloseFile = CloseFile;
  s.CreateFile = CreateFile;
  s.ReadFile = ReadFile;
  s.WriteFile = WriteFile;
  s.DeleteFile = DeleteFile;
  s.DeleteFileByName = DeleteFileByName;
  s.GetFilePosition = GetFilePosition;
  s.SetFilePosition = SetFilePosition;
  s.FlushFile = FlushFile;
  s.FindFiles = Unsupported;
  s.FindFilesInDir = Unsupported;
  s.GetFileSize = GetFileSize;
  s.OpenRoot = Unsupported;
  s.OpenRootByHandle = Unsupported;
  s.MajorVersion = 2;
  s.MinorVersion = 2;
  s.RegisterGuidName = Unsupported;
  s.GetGuidName = Unsupported;
  s.GetGuidFromName = Unsupported;
  s.GetEnvEx = Inert;
}

}  // namespace dbl::detail
