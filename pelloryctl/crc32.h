// The CRC-32 the GPT's header and entry array carry, checked before
// pelloryctl trusts the disk's partition table.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t Crc32(const uint8_t* data, size_t length);
