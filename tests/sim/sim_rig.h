// A converter and a sound host driving it call by call, in the order the
// update program does: shared by the model's tests.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "sim/converter.h"

namespace sim_rig {

using V = SimViolation;

enum class Outcome {
  kDone,
  kCommandStuck,
  kNoEcho,
  kNoStartAck,
  kNoPageAck,
  kWindowFailed,
  kNoFinishAck
};

// Never one value, and different on every page, so an addressing fault shows.
inline std::vector<uint8_t> Pattern() {
  std::vector<uint8_t> image(kSimFlashSize);
  uint32_t x = 0x12345678;
  for (auto& b : image) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  return image;
}
inline const std::vector<uint8_t> kImage = Pattern();

// A converter and a sound host, in the order the update program drives it.
struct Rig {
  std::unique_ptr<SimConverter> c = std::make_unique<SimConverter>();
  uint32_t base = 0;
  uint64_t stalls = 0;
  uint32_t failedAttempts = 0;
  std::vector<uint8_t> readBack = std::vector<uint8_t>(kSimFlashSize, 0);

  // The default scenario, changed as the test says.
  explicit Rig(void (*change)(SimScenario&) = nullptr) {
    SimScenario s = SimDefaultScenario();
    if (change != nullptr) change(s);
    SimInit(c.get(), &s);
  }
  const SimRecord& record() const { return c->record; }
  uint32_t Seen(V v) const { return SimViolationCount(c.get(), v); }

  uint8_t Read(uint32_t a) {
    uint8_t v = 0;
    return SimDpcdRead(c.get(), 0, a, 1, &v) < 0 ? 0 : v;
  }
  int64_t Write(uint32_t a, uint8_t v) { return SimDpcdWrite(c.get(), 0, a, 1, &v); }
  int64_t I2cWrite(uint8_t slave, uint32_t at, uint8_t v, uint32_t port = 0) {
    const SimI2cOffset o{at, 1};
    uint8_t staging[kSimStagingSize] = {v};
    return SimI2cWrite(c.get(), port, slave, &o, 1, staging);
  }
  int64_t I2cRead(uint8_t slave, uint32_t n, uint8_t* to, uint32_t port = 0) {
    const SimI2cOffset o{0, 1};
    return SimI2cRead(c.get(), port, slave, &o, n, to);
  }
  bool Wait(uint32_t a, uint8_t want, uint32_t rereads) {
    uint8_t v = Read(a);
    for (uint32_t i = 0; v != want && i < rereads; ++i, ++stalls) v = Read(a);
    return v == want;
  }
  bool Command(uint8_t cmd, uint32_t rereads) {
    (void)Write(base + kSimRegCommand, cmd);
    return Wait(base + kSimRegStatus, cmd, rereads);
  }
  void ClearStatus() { (void)Write(base + kSimRegStatus, 0); }

  void Identify() {
    (void)I2cWrite(kSimAdaptorSlave, kSimModeChangeOffset, kSimConverterMode);
    base = (Read(kSimDownstreamPort) & 1) ? kSimBlockHigh : kSimBlockLow;
    for (uint32_t i = 0; i < 3; ++i) (void)Write(kSimSourceOui + i, Read(base + i));
  }
  Outcome Handshake() {
    const uint8_t k = Read(kSimReg30C);
    for (uint32_t i = 0; i < kSimKeywordLength;) {
      (void)Write(base + kSimRegCommand, kSimKeyword[i]);
      (void)Write(kSimReg30C, k);
      if (!Wait(base + kSimRegCommand, 0, 100)) return Outcome::kCommandStuck;
      const bool echoed = Wait(base + kSimRegStatus, kSimKeyword[i], 100);
      i = echoed ? i + 1 : 0;
      if (!echoed && ++failedAttempts == 100) return Outcome::kNoEcho;
    }
    return Outcome::kDone;
  }
  Outcome Transfer() {
    if (!Command(kSimCmdStart, 1000)) return Outcome::kNoStartAck;
    ClearStatus();
    for (uint32_t n = 0; n < kSimPageCount; ++n) {
      if (!Command(kSimCmdPage, 1000)) return Outcome::kNoPageAck;
      for (uint32_t j = 0; j < kSimPageSize; ++j)
        if (I2cWrite(kSimWindowSlave, j, kImage[n * kSimPageSize + j]) < 0)
          return Outcome::kWindowFailed;
      if (I2cRead(kSimWindowSlave, kSimPageSize, &readBack[n * kSimPageSize]) < 0)
        return Outcome::kWindowFailed;
      ClearStatus();
    }
    return Command(kSimCmdFinish, 100) ? Outcome::kDone : Outcome::kNoFinishAck;
  }
  Outcome Update() {
    Identify();
    const Outcome o = Handshake();
    return o == Outcome::kDone ? Transfer() : o;
  }
  bool FlashHoldsImage() const { return std::equal(kImage.begin(), kImage.end(), c->flash); }
};

}  // namespace sim_rig
