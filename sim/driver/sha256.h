// SHA-256 of a buffer, so simrec.txt can name the flash content in one
// line that a test compares with the image's published digest.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr size_t kSha256Size = 32;

void Sha256(const uint8_t* data, size_t length, uint8_t digest[kSha256Size]);
