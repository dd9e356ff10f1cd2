// Firmware-only start-up: gnu-efi's crt0 relocates the image and calls
// efi_main with the System V convention.
#include "platform/start.h"

extern "C" EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  return RunProgram(image, systemTable);
}
