// The converter firmware the program carries: 256 pages of 256 bytes,
// embedded at build time in constant data and never copied, with the
// release the build was told it is.
#pragma once

#include "contract/key_value.h"
#include "platform/efi.h"

constexpr UINTN kFirmwareImageSize = 0x10000;
constexpr UINTN kPageSize = 256;
constexpr UINTN kPageCount = kFirmwareImageSize / kPageSize;

extern "C" const UINT8 FirmwareImage[kFirmwareImageSize];
// The image's SHA-256, 64 lower-case hexadecimal digits without a
// terminator, computed when the build embedded it.
extern "C" const char FirmwareImageDigest[64];
// The program's first line, naming the image's version: the one place the
// version is kept, written by the build.
extern "C" const char ProgramBanner[];

// The image's version as the banner names it ("07_23"), and as its two bytes.
text::Span ImageVersionText();
void ImageVersion(UINT8* major, UINT8* minor);
// The converter the image is for, when the build named one.
[[nodiscard]] bool ImageConverter(UINT8 oui[3]);
