// SHA-256 and the GPT's CRC-32: the two sums pelloryctl checks its own
// writes and the disk's partition table with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

std::array<uint8_t, 32> Sha256(const uint8_t* data, size_t length);
uint32_t Crc32(const uint8_t* data, size_t length);
