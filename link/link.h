// The only four ways the program touches the converter. Each looks the
// driver's protocol up afresh, applies the access to every handle that
// carries it in list order, prints one message for a failure (none when
// the run state is silent) and returns the failing status unchanged (0 on
// success). A handle whose open succeeds
// but yields a null interface, or a record with a null read or write, is
// never called: it fails as an open does, with EFI_UNSUPPORTED.
#pragma once

#include "platform/efi.h"

// Largest block an I2C read moves: the size of its staging buffer.
constexpr UINT32 kI2cMaxRead = 256;

[[nodiscard]] EFI_STATUS ReadDPCD(UINT32 address, UINT8* value);
[[nodiscard]] EFI_STATUS WriteDPCD(UINT32 address, UINT8 value);
// Reads `count` bytes (1..256) from offset 0 of `slave`. A count outside that
// range is refused with EFI_INVALID_PARAMETER before anything is touched.
[[nodiscard]] EFI_STATUS I2CProtocolRead(UINT8 slave, UINT32 count, UINT8* buffer);
[[nodiscard]] EFI_STATUS I2CProtocolWrite(UINT8 slave, UINT8 offset, UINT8 value);
