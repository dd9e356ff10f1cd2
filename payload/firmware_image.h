// The converter firmware the program carries: 256 pages of 256 bytes,
// embedded at build time in constant data and never copied.
#pragma once

#include "platform/efi.h"

constexpr UINTN kFirmwareImageSize = 0x10000;
constexpr UINTN kPageSize = 256;
constexpr UINTN kPageCount = kFirmwareImageSize / kPageSize;

// The release the image belongs to, as the banner names it.
constexpr char kFirmwareImageVersion[] = "07_23";

extern "C" const UINT8 FirmwareImage[kFirmwareImageSize];
// The image's SHA-256, 64 lower-case hexadecimal digits without a
// terminator, computed when the build embedded it.
extern "C" const char FirmwareImageDigest[64];
