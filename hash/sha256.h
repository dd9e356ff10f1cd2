// SHA-256 of a buffer, freestanding: the simulator names the flash content
// by it in simrec.txt, and pelloryctl compares its copy of the program
// with the program by it.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr size_t kSha256Size = 32;

void Sha256(const uint8_t* data, size_t length, uint8_t digest[kSha256Size]);
