// The converter model behind the graphics driver's two private protocols,
// GopNative (DPCD) and GopI2c (I2C over AUX), as firmware would offer them.
//
// The driver's calls carry no `this`, so each handle gets its own interface
// records whose functions know their index; index i forwards to the
// converter bound to it. Up to kSimMaxHandles handles; several handles may
// share one converter (a write then reaches it once per handle).
#pragma once

#include "platform/efi.h"
#include "sim/converter.h"

constexpr unsigned kSimMaxHandles = 4;

constexpr EFI_GUID kSimGopI2cGuid = {
    0x30249499, 0x98F6, 0x46EB, {0xA8, 0x42, 0x29, 0xD9, 0xF7, 0xF0, 0x8F, 0x3E}};
constexpr EFI_GUID kSimGopNativeGuid = {
    0xC7D4703B, 0x0F36, 0x4E51, {0xA9, 0x83, 0x5E, 0x61, 0xAC, 0xB8, 0x68, 0x3C}};

struct SimGopI2cOffset {
  UINT32 offset;
  UINT32 second;
};

typedef EFI_STATUS(EFIAPI* SimGopNativeCall)(UINT32 port, UINT32 dpcdAddress, UINT32 count,
                                             UINT8* buffer);
typedef EFI_STATUS(EFIAPI* SimGopI2cCall)(UINT32 port, UINT8 slaveAddress, SimGopI2cOffset* offset,
                                          UINT32 count, UINT8* buffer);

// Records of 8-byte fields; the first is not used by the program.
struct SimGopNativeProtocol {
  UINT64 unused;
  SimGopNativeCall read;
  SimGopNativeCall write;
};

struct SimGopI2cProtocol {
  UINT64 unused;
  SimGopI2cCall read;
  SimGopI2cCall write;
};

// Binds converters[i] to index i and installs GopNative and GopI2c on a new
// handle for each (handlesOut[i]). A later call rebinds the indices. Fails
// with EFI_INVALID_PARAMETER for more than kSimMaxHandles or a null
// converter, and with the firmware's status when an install fails; handles
// installed before that stay installed.
[[nodiscard]] EFI_STATUS SimInstall(EFI_BOOT_SERVICES* bs, SimConverter* const* converters,
                                    unsigned count, EFI_HANDLE* handlesOut);

// The interface records of one index (what the handle carries), for callers
// that reach the calls without going through the firmware.
const SimGopNativeProtocol* SimNativeInterface(unsigned index);
const SimGopI2cProtocol* SimI2cInterface(unsigned index);
