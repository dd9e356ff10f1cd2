// The I2C write's staging buffer, against the converter model, whatever the
// stack held before: the model records a single-byte write whose other 255
// staging bytes are not zero. The stack is painted first, because a buffer
// left uncleared would otherwise often see the zeros of an unused stack.
#include <cstdint>

#include "link/link.h"
#include "sim/converter.h"
#include "sim/gop_binding.h"
#include "tests/host/host_test.h"

namespace {

// Leaves the stack below the caller full of non-zero bytes.
[[gnu::noinline]] void PaintStack(uint8_t value) {
  volatile uint8_t area[32 * 1024];
  for (volatile uint8_t& b : area) b = value;
}

class LinkStagingTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    const SimScenario scenario = SimDefaultScenario();
    SimInit(&converter, &scenario);
    SimConverter* list[] = {&converter};
    EFI_HANDLE handles[1] = {};
    ASSERT_EQ(SimInstall(uefi.SystemTable()->BootServices, list, 1, handles),
              static_cast<EFI_STATUS>(EFI_SUCCESS));
    gRunState.port = 0;
    gRunState.reportI2cReadErrors = 1;
  }
  uint32_t Dirty() const { return SimViolationCount(&converter, SimViolation::kStagingNotZeroed); }

  SimConverter converter;
};

TEST_F(LinkStagingTest, SingleByteWriteStagingIsZeroWhateverTheStackHeld) {
  for (uint8_t paint : {0xA5, 0xFF, 0x01}) {
    PaintStack(paint);
    ASSERT_EQ(I2CProtocolWrite(kSimAdaptorSlave, kSimModeChangeOffset, kSimConverterMode),
              static_cast<EFI_STATUS>(EFI_SUCCESS));
    EXPECT_EQ(Dirty(), 0u) << "staging held stack bytes after painting with " << int{paint};
  }
  EXPECT_EQ(converter.record.modeChangeCount, 3u);
  EXPECT_EQ(converter.record.violationCount, 0u);
}

TEST_F(LinkStagingTest, StagingIsZeroAfterAReadFilledItsNeighbourhood) {
  // A page-sized read of the adaptor block leaves its bytes on the stack
  // where the next write's staging may lie.
  UINT8 block[kI2cMaxRead] = {};
  for (int round = 0; round < 3; round++) {
    ASSERT_EQ(I2CProtocolRead(kSimAdaptorSlave, kI2cMaxRead, block),
              static_cast<EFI_STATUS>(EFI_SUCCESS));
    ASSERT_EQ(I2CProtocolWrite(kSimAdaptorSlave, kSimModeChangeOffset, kSimConverterMode),
              static_cast<EFI_STATUS>(EFI_SUCCESS));
  }
  EXPECT_EQ(block[0], 'D') << "the adaptor block was read";
  EXPECT_EQ(Dirty(), 0u);
}

}  // namespace
