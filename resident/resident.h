// The resident identification driver: loaded at every boot (a Driver####
// entry), it waits for ReadyToBoot, reads the converter once and leaves the
// reading for the OS in PelloryConverter. Nothing it meets holds the boot.
#pragma once

#include "platform/efi.h"

// The driver's entry: registers the one ReadyToBoot notification and
// returns. A firmware that refuses the event gets its status back, and so
// unloads the image.
EFI_STATUS ResidentStart(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable);
