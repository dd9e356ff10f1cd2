// Firmware-only: where every image we build starts. The firmware has loaded
// the image, applied its base relocations and mapped its sections, and calls
// this with the UEFI calling convention; the image's efi_main keeps the
// System V one, so the compiler converts between them here (and keeps the
// registers the firmware expects kept).
#include "platform/efi.h"

extern "C" EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable);

extern "C" EFI_STATUS EFIAPI EfiImageEntry(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  return efi_main(image, systemTable);
}
