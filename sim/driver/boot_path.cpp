// Where convsim-boot.efi finds what it starts: full device paths of files
// (the device's own path with one file-path node and the end node), and
// the stick, the one other volume that holds a given file.
#include "sim/driver/boot_parts.h"
#include "text/text.h"

namespace {

constexpr UINTN kNodeHeader = 4;
constexpr UINTN kEndNodeLength = 4;

UINTN NodeLength(const EFI_DEVICE_PATH* node) {
  return static_cast<UINTN>(node->Length[0]) | static_cast<UINTN>(node->Length[1]) << 8;
}

bool IsEnd(const EFI_DEVICE_PATH* node) {
  return (node->Type & 0x7F) == END_DEVICE_PATH_TYPE &&
         node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE;
}

// Bytes of `path` before its end node; 0 for a malformed path.
UINTN PathBytes(const EFI_DEVICE_PATH* path) {
  UINTN total = 0;
  for (const auto* node = path; !IsEnd(node);) {
    const UINTN length = NodeLength(node);
    if (length < kNodeHeader) return 0;
    total += length;
    node = reinterpret_cast<const EFI_DEVICE_PATH*>(reinterpret_cast<const UINT8*>(node) + length);
  }
  return total;
}

void PutNode(UINT8* at, UINT8 type, UINT8 subType, UINTN length) {
  at[0] = type;
  at[1] = subType;
  at[2] = static_cast<UINT8>(length & 0xFF);
  at[3] = static_cast<UINT8>(length >> 8);
}

bool HoldsFile(EFI_BOOT_SERVICES* bs, EFI_HANDLE volumeHandle, const char16_t* path) {
  EFI_GUID volumeGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
  void* found = nullptr;
  if (EFI_ERROR(bs->HandleProtocol(volumeHandle, &volumeGuid, &found))) return false;
  auto* volume = static_cast<EFI_SIMPLE_FILE_SYSTEM_PROTOCOL*>(found);
  EFI_FILE_HANDLE root = nullptr;
  if (EFI_ERROR(volume->OpenVolume(volume, &root))) return false;
  EFI_FILE_HANDLE file = nullptr;
  const bool held = !EFI_ERROR(root->Open(root, &file, Wide(path), EFI_FILE_MODE_READ, 0));
  if (held) (void)file->Close(file);
  (void)root->Close(root);
  return held;
}

}  // namespace

EFI_STATUS FileDevicePath(EFI_BOOT_SERVICES* bs, EFI_HANDLE device, const char16_t* path,
                          EFI_DEVICE_PATH** full) {
  *full = nullptr;
  EFI_GUID pathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
  void* found = nullptr;
  EFI_STATUS err = bs->HandleProtocol(device, &pathGuid, &found);
  if (EFI_ERROR(err)) return err;
  const auto* devicePath = static_cast<const EFI_DEVICE_PATH*>(found);
  const UINTN deviceBytes = PathBytes(devicePath);
  const UINTN fileBytes = kNodeHeader + (text::Length(path) + 1) * sizeof(char16_t);
  void* memory = nullptr;
  err = bs->AllocatePool(EfiBootServicesData, deviceBytes + fileBytes + kEndNodeLength, &memory);
  if (EFI_ERROR(err)) return err;
  auto* bytes = static_cast<UINT8*>(memory);
  bs->CopyMem(bytes, const_cast<EFI_DEVICE_PATH*>(devicePath), deviceBytes);
  PutNode(bytes + deviceBytes, MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, fileBytes);
  bs->CopyMem(bytes + deviceBytes + kNodeHeader, const_cast<char16_t*>(path),
              fileBytes - kNodeHeader);
  PutNode(bytes + deviceBytes + fileBytes, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE,
          kEndNodeLength);
  *full = static_cast<EFI_DEVICE_PATH*>(memory);
  return EFI_SUCCESS;
}

EFI_HANDLE FindOtherVolume(EFI_BOOT_SERVICES* bs, EFI_HANDLE own, const char16_t* path) {
  EFI_GUID volumeGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
  UINTN count = 0;
  EFI_HANDLE* handles = nullptr;
  if (EFI_ERROR(bs->LocateHandleBuffer(ByProtocol, &volumeGuid, nullptr, &count, &handles))) {
    return nullptr;
  }
  EFI_HANDLE chosen = nullptr;
  for (UINTN i = 0; i < count && chosen == nullptr; ++i) {
    if (handles[i] != own && HoldsFile(bs, handles[i], path)) chosen = handles[i];
  }
  (void)bs->FreePool(handles);
  return chosen;
}
