// What the program knows of the converter: its addresses, registers,
// commands and the limits of its waits.
#pragma once

#include "platform/efi.h"

// I2C-over-AUX slaves, 8-bit form.
constexpr UINT8 kAdaptorSlave = 0x80;
constexpr UINT8 kPageWindowSlave = 0xA0;
// Adaptor register whose 1 asks for protocol-converter mode.
constexpr UINT8 kModeChangeOffset = 0x40;
constexpr UINT8 kConverterMode = 1;

// DPCD registers.
constexpr UINT32 kDownstreamPortPresent = 0x005;
constexpr UINT32 kSourceOui = 0x300;
constexpr UINT32 kSourceSpecific = 0x30C;

// A branch device (bit 0 of 0x005) keeps its vendor block at 0x500,
// others at 0x400.
constexpr UINT32 VendorBlockBase(UINT8 downstreamPortPresent) {
  return static_cast<UINT32>(((downstreamPortPresent & 1) | 4) << 8);
}

// Vendor block registers, relative to its base.
constexpr UINT32 kVendorOui = 0x0;
constexpr UINT32 kFirmwareMajor = 0xA;
constexpr UINT32 kFirmwareMinor = 0xB;
constexpr UINT32 kCommandRegister = 0xC;
constexpr UINT32 kStatusRegister = 0xF;
constexpr UINT32 kBootloaderVersion = 0x10;

// Mailbox commands, each acknowledged by the same value in the status register.
constexpr UINT8 kCommandStart = 0x01;
constexpr UINT8 kCommandPage = 0x02;
constexpr UINT8 kCommandFinish = 0x80;

// Waits.
constexpr UINTN kPollIntervalMicroseconds = 500000;
constexpr UINT32 kShortWaitRereads = 100;
constexpr UINT32 kLongWaitRereads = 1000;
constexpr UINT32 kHandshakeAttempts = 100;
