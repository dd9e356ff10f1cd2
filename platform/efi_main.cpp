// Firmware-only start-up: the image's entry (efi_entry.cpp) calls efi_main
// with the System V convention once the firmware has relocated the image.
#include "platform/start.h"

extern "C" EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  return RunProgram(image, systemTable);
}
