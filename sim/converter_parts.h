// What the converter's two source files share: the record keeping and the
// byte loops (the model calls no library, so it has its own), and the
// mailbox and page window that the register map hands accesses to.
// Nothing outside sim/ includes it.
#pragma once

#include "sim/converter.h"

namespace sim {

inline void Fill(uint8_t* to, uint32_t length, uint8_t value) {
  for (uint32_t i = 0; i < length; ++i) to[i] = value;
}

inline void Copy(uint8_t* to, const uint8_t* from, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) to[i] = from[i];
}

// Counters saturate rather than wrap, so a long run never reads as a short one.
inline void Bump(uint8_t& counter) {
  if (counter != 0xFF) ++counter;
}

void Violate(SimConverter* c, SimViolation code, uint32_t detail);

// Mailbox (vendor block +0xC and +0xF).
uint8_t ReadCommand(SimConverter* c);
uint8_t ReadStatus(SimConverter* c);
void WriteCommand(SimConverter* c, uint8_t value);

// Page window (I2C 0xA0); offset and count are already checked to lie
// inside the window.
[[nodiscard]] int64_t WindowWrite(SimConverter* c, uint32_t offset, uint32_t count,
                                  const uint8_t* bytes);
[[nodiscard]] int64_t WindowRead(SimConverter* c, uint32_t offset, uint32_t count, uint8_t* bytes);

}  // namespace sim
