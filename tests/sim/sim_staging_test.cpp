// The converter's rule for a single-byte I2C write: the driver takes it
// from a 256-byte staging buffer, which the host must hand over zeroed
// beyond the byte it writes.
#include <gtest/gtest.h>

#include <memory>

#include "sim/converter.h"

namespace {

struct Staging : ::testing::Test {
  std::unique_ptr<SimConverter> c = std::make_unique<SimConverter>();
  SimI2cOffset modeChange{kSimModeChangeOffset, 1};
  uint8_t staging[kSimStagingSize] = {kSimConverterMode};

  void SetUp() override {
    const SimScenario s = SimDefaultScenario();
    SimInit(c.get(), &s);
  }
  uint32_t Seen() const { return SimViolationCount(c.get(), SimViolation::kStagingNotZeroed); }
};

TEST_F(Staging, ZeroBeyondTheByteIsSound) {
  EXPECT_EQ(SimI2cWrite(c.get(), 0, kSimAdaptorSlave, &modeChange, 1, staging), kSimOk);
  EXPECT_EQ(Seen(), 0u);
  EXPECT_EQ(c->record.violationCount, 0u);
  EXPECT_TRUE(c->converterMode);
}

TEST_F(Staging, AnyOtherByteSetIsRecordedWithItsOffset) {
  for (uint32_t k : {1u, 128u, 255u}) {
    staging[k] = 0x40;
    EXPECT_EQ(SimI2cWrite(c.get(), 0, kSimAdaptorSlave, &modeChange, 1, staging), kSimOk);
    staging[k] = 0;
  }
  ASSERT_EQ(Seen(), 3u);
  EXPECT_EQ(c->record.violations[0].code, SimViolation::kStagingNotZeroed);
  EXPECT_EQ(c->record.violations[0].detail, 1u);
  EXPECT_EQ(c->record.violations[1].detail, 128u);
  EXPECT_EQ(c->record.violations[2].detail, 255u);
  EXPECT_STREQ(SimViolationName(SimViolation::kStagingNotZeroed), "staging not zeroed");
}

TEST_F(Staging, OnlySingleByteWritesAreJudgedAndOnlyWhenTheyArrive) {
  uint8_t pair[2] = {kSimConverterMode, 0x77};
  EXPECT_EQ(SimI2cWrite(c.get(), 0, kSimAdaptorSlave, &modeChange, 2, pair), kSimOk);
  EXPECT_EQ(Seen(), 0u) << "a two-byte write has no staging rule";
  staging[9] = 1;
  EXPECT_EQ(SimI2cWrite(c.get(), 1, kSimAdaptorSlave, &modeChange, 1, staging), kSimDeviceError);
  EXPECT_EQ(Seen(), 0u) << "a call on a port without the converter never reached it";
}

}  // namespace
