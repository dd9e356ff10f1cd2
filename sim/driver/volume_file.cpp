// The scenario file lives beside the driver: at the root of the volume the
// shell or the test loader loaded convsim.efi from.
#include "sim/driver/driver_parts.h"

namespace {

EFI_STATUS OpenRoot(EFI_HANDLE image, EFI_BOOT_SERVICES* bs, EFI_FILE_HANDLE* root) {
  EFI_GUID loadedGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
  EFI_GUID volumeGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
  void* found = nullptr;
  EFI_STATUS err =
      bs->OpenProtocol(image, &loadedGuid, &found, image, nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(err)) return err;
  EFI_HANDLE device = static_cast<EFI_LOADED_IMAGE_PROTOCOL*>(found)->DeviceHandle;
  err =
      bs->OpenProtocol(device, &volumeGuid, &found, image, nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(err)) return err;
  auto* volume = static_cast<EFI_SIMPLE_FILE_SYSTEM_PROTOCOL*>(found);
  return volume->OpenVolume(volume, root);
}

// Reads to the end of the file; one byte more than `capacity` means too big.
EFI_STATUS ReadAll(EFI_FILE_HANDLE file, char* buffer, UINTN capacity, UINTN* length) {
  UINTN size = capacity;
  EFI_STATUS err = file->Read(file, &size, buffer);
  if (EFI_ERROR(err)) return err;
  *length = size;
  if (size < capacity) return EFI_SUCCESS;
  char more = 0;
  size = 1;
  err = file->Read(file, &size, &more);
  if (EFI_ERROR(err)) return err;
  return size == 0 ? EFI_SUCCESS : EFI_BAD_BUFFER_SIZE;
}

}  // namespace

EFI_STATUS ReadRootFile(EFI_HANDLE image, EFI_BOOT_SERVICES* bs, const char16_t* name, char* buffer,
                        UINTN capacity, UINTN* length) {
  *length = 0;
  EFI_FILE_HANDLE root = nullptr;
  EFI_STATUS err = OpenRoot(image, bs, &root);
  if (EFI_ERROR(err)) return err;
  EFI_FILE_HANDLE file = nullptr;
  err = root->Open(root, &file, Wide(name), EFI_FILE_MODE_READ, 0);
  if (!EFI_ERROR(err)) {
    err = ReadAll(file, buffer, capacity, length);
    (void)file->Close(file);
  }
  (void)root->Close(root);
  return err;
}
