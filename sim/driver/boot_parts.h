// What convsim-boot.efi needs to start images as the boot manager does.
#pragma once

#include "sim/driver/driver_parts.h"

// A new pool copy of `device`'s device path followed by a file-path node
// for `path` (backslashes, from the volume's root): the path the boot
// manager hands LoadImage for a boot option. The caller frees it.
[[nodiscard]] EFI_STATUS FileDevicePath(EFI_BOOT_SERVICES* bs, EFI_HANDLE device,
                                        const char16_t* path, EFI_DEVICE_PATH** full);

// The first volume other than `own` that holds the file `path`; null when
// there is none.
[[nodiscard]] EFI_HANDLE FindOtherVolume(EFI_BOOT_SERVICES* bs, EFI_HANDLE own,
                                         const char16_t* path);
