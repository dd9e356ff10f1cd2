// The volume the program was loaded from: its Simple File System and the
// file protocol over the double's tree of files, as the FAT driver answers.
// Opened directories may be written into only through files; a write-
// protected volume refuses every change with EFI_WRITE_PROTECTED.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/double/uefi_double_state.h"

namespace dbl::detail {
namespace {

constexpr UINT64 kRead = EFI_FILE_MODE_READ;
constexpr UINT64 kReadWrite = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
constexpr UINT64 kReadWriteCreate = kReadWrite | EFI_FILE_MODE_CREATE;

void FillFileProtocol(EFI_FILE_PROTOCOL& p);

// A new handle on `node`; the handle is the record's protocol member.
EFI_FILE_PROTOCOL* NewHandle(State& d, std::shared_ptr<FileNode> node, bool writable) {
  auto file = std::make_unique<OpenFile>();
  FillFileProtocol(file->protocol);
  file->node = std::move(node);
  file->writable = writable;
  EFI_FILE_PROTOCOL* handle = &file->protocol;
  d.volumeFiles.emplace(handle, std::move(file));
  return handle;
}

OpenFile* Find(State& d, EFI_FILE_PROTOCOL* self, const char* service) {
  auto it = d.volumeFiles.find(self);
  if (it != d.volumeFiles.end()) return it->second.get();
  ADD_FAILURE() << service << " on a file handle the volume did not give or has already closed";
  return nullptr;
}

EFI_STATUS EFIAPI OpenVolume(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL* self, EFI_FILE_PROTOCOL** root) {
  State& d = Live();
  if (auto fault = d.Enter(Service::OpenVolume)) return *fault;
  if (self != &d.fileSystem || root == nullptr) return EFI_INVALID_PARAMETER;
  *root = NewHandle(d, d.root, false);
  return EFI_SUCCESS;
}

// --- The file protocol ---------------------------------------------------------

EFI_STATUS EFIAPI Open(EFI_FILE_PROTOCOL* self, EFI_FILE_PROTOCOL** out, CHAR16* name, UINT64 mode,
                       UINT64 attributes) {
  State& d = Live();
  if (auto fault = d.Enter(Service::FileOpen)) return *fault;
  OpenFile* from = Find(d, self, "Open");
  if (from == nullptr || out == nullptr || name == nullptr) return EFI_INVALID_PARAMETER;
  if (mode != kRead && mode != kReadWrite && mode != kReadWriteCreate) return EFI_INVALID_PARAMETER;
  if (!from->node->directory) return EFI_NOT_FOUND;
  std::u16string given;
  for (const CHAR16* c = name; *c != 0; ++c) given.push_back(static_cast<char16_t>(*c));
  std::u16string key;
  if (!JoinPath(from->node->key, given, &key)) return EFI_NOT_FOUND;
  const bool writable = mode != kRead;
  if (writable && d.readOnly) return EFI_WRITE_PROTECTED;
  if (key.empty()) {
    *out = NewHandle(d, d.root, writable);
    return EFI_SUCCESS;
  }
  if (!d.MakeParents(key, false)) return EFI_NOT_FOUND;
  auto found = d.files.find(key);
  if (found == d.files.end()) {
    if (mode != kReadWriteCreate) return EFI_NOT_FOUND;
    const bool directory = (attributes & EFI_FILE_DIRECTORY) != 0;
    auto node = std::make_shared<FileNode>(FileNode{key, LastName(given), {}, directory});
    found = d.files.emplace(key, std::move(node)).first;
  }
  *out = NewHandle(d, found->second, writable);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Close(EFI_FILE_PROTOCOL* self) {
  State& d = Live();
  if (auto fault = d.Enter(Service::FileClose)) return *fault;
  if (Find(d, self, "Close") == nullptr) return EFI_INVALID_PARAMETER;
  d.volumeFiles.erase(self);
  return EFI_SUCCESS;
}

// Closes the handle in every case, as the file protocol's Delete does.
EFI_STATUS EFIAPI Delete(EFI_FILE_PROTOCOL* self) {
  State& d = Live();
  if (auto fault = d.Enter(Service::FileDelete)) {
    d.volumeFiles.erase(self);
    return *fault;
  }
  OpenFile* f = Find(d, self, "Delete");
  if (f == nullptr) return EFI_INVALID_PARAMETER;
  std::shared_ptr<FileNode> node = f->node;
  const bool writable = f->writable;
  d.volumeFiles.erase(self);
  const std::u16string inside = node->key + u"\\";
  for (const auto& [key, other] : d.files)
    if (key.compare(0, inside.size(), inside) == 0) return EFI_WARN_DELETE_FAILURE;
  if (!writable || d.readOnly || node == d.root) return EFI_WARN_DELETE_FAILURE;
  d.Unlist(node);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Read(EFI_FILE_PROTOCOL* self, UINTN* size, VOID* buffer) {
  State& d = Live();
  if (auto fault = d.Enter(Service::FileRead)) return *fault;
  OpenFile* f = Find(d, self, "Read");
  return f == nullptr ? EFI_INVALID_PARAMETER : FileReadAt(*f, size, buffer);
}

EFI_STATUS EFIAPI Write(EFI_FILE_PROTOCOL* self, UINTN* size, VOID* buffer) {
  State& d = Live();
  if (auto fault = d.Enter(Service::FileWrite)) return *fault;
  OpenFile* f = Find(d, self, "Write");
  if (f == nullptr) return EFI_INVALID_PARAMETER;
  if (f->node->directory) return EFI_UNSUPPORTED;
  return FileWriteAt(d, *f, size, buffer);
}

EFI_STATUS EFIAPI GetPosition(EFI_FILE_PROTOCOL* self, UINT64* position) {
  State& d = Live();
  if (auto fault = d.Enter(Service::FileGetPosition)) return *fault;
  OpenFile* f = Find(d, self, "GetPosition");
  if (f == nullptr || position == nullptr) return EFI_INVALID_PARAMETER;
  if (f->node->directory) return EFI_UNSUPPORTED;
  *position = f->position;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetPosition(EFI_FILE_PROTOCOL* self, UINT64 position) {
  State& d = Live();
  if (auto fault = d.Enter(Service::FileSetPosition)) return *fault;
  OpenFile* f = Find(d, self, "SetPosition");
  return f == nullptr ? EFI_INVALID_PARAMETER : FileSetPositionTo(*f, position);
}

EFI_STATUS EFIAPI GetInfo(EFI_FILE_PROTOCOL* self, EFI_GUID* type, UINTN* size, VOID* buffer) {
  State& d = Live();
  if (auto fault = d.Enter(Service::FileGetInfo)) return *fault;
  OpenFile* f = Find(d, self, "GetInfo");
  if (f == nullptr || type == nullptr || size == nullptr) return EFI_INVALID_PARAMETER;
  if (!SameGuid(*type, kFileInfoGuid)) return EFI_UNSUPPORTED;
  const std::vector<unsigned char> info = FileInfoOf(*f->node);
  const UINTN needed = reinterpret_cast<const EFI_FILE_INFO*>(info.data())->Size;
  if (*size < needed || buffer == nullptr) {
    *size = needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  std::memcpy(buffer, info.data(), needed);
  *size = needed;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetInfo(EFI_FILE_PROTOCOL* self, EFI_GUID* type, UINTN size, VOID* buffer) {
  State& d = Live();
  if (auto fault = d.Enter(Service::FileSetInfo)) return *fault;
  OpenFile* f = Find(d, self, "SetInfo");
  if (f == nullptr || type == nullptr) return EFI_INVALID_PARAMETER;
  if (!SameGuid(*type, kFileInfoGuid)) return EFI_UNSUPPORTED;
  const auto* info = static_cast<const EFI_FILE_INFO*>(buffer);
  if (info == nullptr || size < info->Size) return EFI_BAD_BUFFER_SIZE;
  return FileSetInfoFrom(d, *f, info);
}

EFI_STATUS EFIAPI Flush(EFI_FILE_PROTOCOL* self) {
  State& d = Live();
  if (auto fault = d.Enter(Service::FileFlush)) return *fault;
  OpenFile* f = Find(d, self, "Flush");
  if (f == nullptr) return EFI_INVALID_PARAMETER;
  if (d.readOnly && f->writable) return EFI_WRITE_PROTECTED;
  return f->writable ? EFI_SUCCESS : EFI_ACCESS_DENIED;
}

template <typename... A>
EFI_STATUS EFIAPI Unsupported(A...) {
  return EFI_UNSUPPORTED;
}

void FillFileProtocol(EFI_FILE_PROTOCOL& p) {
  p.Revision = EFI_FILE_PROTOCOL_REVISION;
  p.Open = Open;
  p.Close = Close;
  p.Delete = Delete;
  p.Read = Read;
  p.Write = Write;
  p.GetPosition = GetPosition;
  p.SetPosition = SetPosition;
  p.GetInfo = GetInfo;
  p.SetInfo = SetInfo;
  p.Flush = Flush;
  p.OpenEx = Unsupported;
  p.ReadEx = Unsupported;
  p.WriteEx = Unsupported;
  p.FlushEx = Unsupported;
}

}  // namespace

void FillVolume(State& d) {
  d.fileSystem.Revision = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_REVISION;
  d.fileSystem.OpenVolume = OpenVolume;
}

}  // namespace dbl::detail

namespace dbl {

void UefiDouble::StartWithoutShell() {
  auto& protocols = impl_->FindHandle(impl_->image)->protocols;
  std::erase_if(protocols, [](const auto& p) { return detail::SameGuid(p.first, detail::kShellParametersGuid); });
  impl_->watchdogSeconds = 5 * 60;
  impl_->watchdogArmedAt = impl_->micros;
}

void UefiDouble::SetImagePath(const std::vector<std::u16string>& nodes) {
  impl_->SetImagePath(nodes);
}

void UefiDouble::SetImageDevicePath(const std::vector<uint8_t>& bytes) {
  impl_->SetImageDevicePath(bytes);
}

// As a network load leaves it: the device is no volume, and the file path
// below it is only the end node.
void UefiDouble::LoadImageFromBareDevice() {
  impl_->loadedImage.DeviceHandle = impl_->NewHandle();
  impl_->SetImageDevicePath({0x7F, 0xFF, 0x04, 0x00});
}

}  // namespace dbl
