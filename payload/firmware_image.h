// The converter firmware the program carries: 256 pages of 256 bytes,
// embedded at build time in constant data and never copied.
#pragma once

#include "platform/efi.h"

constexpr UINTN kFirmwareImageSize = 0x10000;
constexpr UINTN kPageSize = 256;
constexpr UINTN kPageCount = kFirmwareImageSize / kPageSize;

extern "C" const UINT8 FirmwareImage[kFirmwareImageSize];
