// The graphics driver's two private protocols that carry every access to
// the converter: GopNative for DPCD registers, GopI2c for I2C over AUX.
#pragma once

#include "platform/efi.h"

// Second field of the offset record: the driver expects 1 in every call.
constexpr UINT32 kI2cOffsetRecordSecond = 1;

struct GopI2cOffset {
  UINT32 offset;
  UINT32 second;
};

using GopNativeAccess = EFI_STATUS(EFIAPI*)(UINT32 port, UINT32 address, UINT32 count,
                                            UINT8* buffer);
using GopI2cAccess = EFI_STATUS(EFIAPI*)(UINT32 port, UINT8 slave, GopI2cOffset* offset,
                                         UINT32 count, UINT8* buffer);

// Records owned by the driver: 8-byte fields, the first one not ours.
struct GopNativeProtocol {
  void* reserved;
  GopNativeAccess read;
  GopNativeAccess write;
};

struct GopI2cProtocol {
  void* reserved;
  GopI2cAccess read;
  GopI2cAccess write;
};

static_assert(sizeof(GopNativeProtocol) == 24 && sizeof(GopI2cProtocol) == 24);
static_assert(sizeof(GopI2cOffset) == 8);

constexpr EFI_GUID kGopI2cGuid = {
    0x30249499, 0x98F6, 0x46EB, {0xA8, 0x42, 0x29, 0xD9, 0xF7, 0xF0, 0x8F, 0x3E}};
constexpr EFI_GUID kGopNativeGuid = {
    0xC7D4703B, 0x0F36, 0x4E51, {0xA9, 0x83, 0x5E, 0x61, 0xAC, 0xB8, 0x68, 0x3C}};
