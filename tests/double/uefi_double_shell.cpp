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
constexpr size_t kInfoHeader = offsetof(EFI_FILE_INFO, FileName);

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

void Unlist(State& d, const std::shared_ptr<FileNode>& node) {
  auto it = d.files.find(Fold(node->name));
  if (it != d.files.end() && it->second == node) d.files.erase(it);
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
  if (writable) Unlist(d, f->node);
  d.openFiles.erase(handle);
  return writable ? EFI_SUCCESS : EFI_WARN_DELETE_FAILURE;
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
  const FileNode& node = *f->node;
  const size_t nameBytes = (node.name.size() + 1) * sizeof(CHAR16);
  EFI_FILE_INFO header{};
  header.Size = kInfoHeader + nameBytes;
  header.FileSize = node.content.size();
  header.PhysicalSize = (header.FileSize + 511) / 512 * 512;  // whole sectors
  header.Attribute = node.directory ? EFI_FILE_DIRECTORY : EFI_FILE_ARCHIVE;
  // Never smaller than the structure, so reading any field stays in bounds.
  auto* raw = static_cast<unsigned char*>(
      d.PoolTake(EfiBootServicesData, std::max<size_t>(header.Size, sizeof(EFI_FILE_INFO))));
  if (raw == nullptr) return nullptr;
  std::memcpy(raw, &header, kInfoHeader);
  std::memcpy(raw + kInfoHeader, node.name.c_str(), nameBytes);
  return reinterpret_cast<EFI_FILE_INFO*>(raw);
}

EFI_STATUS EFIAPI SetFileInfo(SHELL_FILE_HANDLE handle, const EFI_FILE_INFO* info) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ShellSetFileInfo)) return *fault;
  OpenFile* f = d.FindOpenFile(handle, "SetFileInfo");
  if (f == nullptr || info == nullptr) return EFI_INVALID_PARAMETER;
  if (info->Size < kInfoHeader + sizeof(CHAR16)) return EFI_BAD_BUFFER_SIZE;
  if ((info->Attribute & ~EFI_FILE_VALID_ATTR) != 0) return EFI_INVALID_PARAMETER;
  FileNode& node = *f->node;
  std::u16string name;
  const auto* chars = reinterpret_cast<const unsigned char*>(info) + kInfoHeader;
  const size_t maxChars = (info->Size - kInfoHeader) / sizeof(CHAR16);
  for (size_t i = 0; i < maxChars; ++i) {
    char16_t c;
    std::memcpy(&c, chars + i * sizeof(CHAR16), sizeof c);
    if (c == 0) break;
    name.push_back(c);
  }
  if (Fold(name) != Fold(node.name)) {
    ADD_FAILURE() << "SetFileInfo renames a file; the double does not model renaming";
    return EFI_UNSUPPORTED;
  }
  const bool wantsDirectory = (info->Attribute & EFI_FILE_DIRECTORY) != 0;
  if (wantsDirectory != node.directory) return EFI_ACCESS_DENIED;
  if (info->FileSize == node.content.size()) return EFI_SUCCESS;
  if (node.directory || !f->writable) return EFI_ACCESS_DENIED;
  if (info->FileSize > kFileLimit) return EFI_VOLUME_FULL;
  node.content.resize(info->FileSize, '\0');
  return EFI_SUCCESS;
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
  if (f == nullptr || size == nullptr || (buffer == nullptr && *size != 0))
    return EFI_INVALID_PARAMETER;
  if (f->node->directory || !f->writable) return EFI_ACCESS_DENIED;
  std::string& content = f->node->content;
  if (f->position > kFileLimit || *size > kFileLimit - f->position) return EFI_VOLUME_FULL;
  // A position past the end (after SetFilePosition) grows the file with zeros.
  if (f->position + *size > content.size()) content.resize(f->position + *size, '\0');
  if (*size != 0) std::memcpy(content.data() + f->position, buffer, *size);
  f->position += *size;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ReadFile(SHELL_FILE_HANDLE handle, UINTN* size, VOID* buffer) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ShellReadFile)) return *fault;
  OpenFile* f = d.FindOpenFile(handle, "ReadFile");
  if (f == nullptr || size == nullptr || (buffer == nullptr && *size != 0))
    return EFI_INVALID_PARAMETER;
  if (f->node->directory) return EFI_UNSUPPORTED;  // listings are not modelled
  const std::string& content = f->node->content;
  if (f->position > content.size()) return EFI_DEVICE_ERROR;
  const size_t n = std::min<size_t>(*size, content.size() - f->position);
  if (n != 0) std::memcpy(buffer, content.data() + f->position, n);
  f->position += n;
  *size = n;
  return EFI_SUCCESS;
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
  if (f->node->directory) {
    if (position != 0) return EFI_UNSUPPORTED;  // a directory only rewinds
  } else if (position == ~UINT64{0}) {
    position = f->node->content.size();  // the end of the file
  }
  f->position = position;
  return EFI_SUCCESS;
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
  std::shared_ptr<FileNode>& node = files[Fold(given)];
  if (!node) {
    if (!create) {
      files.erase(Fold(given));
      return EFI_NOT_FOUND;
    }
    node = std::make_shared<FileNode>(FileNode{given, {}, directory});
  } else if (create && createTruncates && !node->directory) {
    node->content.clear();
  }
  auto handle = std::make_unique<OpenFile>(OpenFile{node, 0, writable});
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
