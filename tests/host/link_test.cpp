// The link layer's handle cases and messages, against small scripted
// driver records rather than the converter model, so each case is exact.
#include <vector>

#include "link/gop.h"
#include "link/link.h"
#include "tests/host/host_test.h"

namespace {

// What the scripted driver saw, per handle index.
struct DriverCall {
  int handle;
  bool write;
  UINT32 port;
  UINT32 address;  // DPCD address, or I2C slave
  UINT32 offset;   // I2C offset record, first field
  UINT32 second;   // I2C offset record, second field
  UINT32 count;
  UINT8 byte;      // byte written, or first byte of the caller's buffer
};

struct Script {
  std::vector<DriverCall> calls;
  EFI_STATUS result[2] = {EFI_SUCCESS, EFI_SUCCESS};
  UINT8 readValue[2] = {0x11, 0x22};
};
Script* gScript = nullptr;

template <int H>
EFI_STATUS EFIAPI NativeRead(UINT32 port, UINT32 address, UINT32 count, UINT8* buffer) {
  gScript->calls.push_back({H, false, port, address, 0, 0, count, 0});
  *buffer = gScript->readValue[H];
  return gScript->result[H];
}
template <int H>
EFI_STATUS EFIAPI NativeWrite(UINT32 port, UINT32 address, UINT32 count, UINT8* buffer) {
  gScript->calls.push_back({H, true, port, address, 0, 0, count, *buffer});
  return gScript->result[H];
}
template <int H>
EFI_STATUS EFIAPI I2cRead(UINT32 port, UINT8 slave, GopI2cOffset* offset, UINT32 count, UINT8* buffer) {
  gScript->calls.push_back({H, false, port, slave, offset->offset, offset->second, count, 0});
  for (UINT32 i = 0; i < count; i++) buffer[i] = static_cast<UINT8>(gScript->readValue[H] + i);
  return gScript->result[H];
}
template <int H>
EFI_STATUS EFIAPI I2cWrite(UINT32 port, UINT8 slave, GopI2cOffset* offset, UINT32 count, UINT8* buffer) {
  gScript->calls.push_back({H, true, port, slave, offset->offset, offset->second, count, buffer[0]});
  return gScript->result[H];
}

GopNativeProtocol gNative[2] = {{nullptr, NativeRead<0>, NativeWrite<0>},
                                {nullptr, NativeRead<1>, NativeWrite<1>}};
GopI2cProtocol gI2c[2] = {{nullptr, I2cRead<0>, I2cWrite<0>}, {nullptr, I2cRead<1>, I2cWrite<1>}};

EFI_STATUS EFIAPI LocateNothing(EFI_LOCATE_SEARCH_TYPE, EFI_GUID*, VOID*, UINTN* count,
                                EFI_HANDLE** handles) {
  *count = 0;
  *handles = nullptr;
  return EFI_SUCCESS;
}

class LinkTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    gScript = &script;
    gRunState.port = 6;
    gRunState.reportI2cReadErrors = 1;
  }
  void TearDown() override {
    // Whatever happened, the lookup's list went back to the pool.
    EXPECT_EQ(uefi.PoolBlocksOutstanding(), 0u);
    gScript = nullptr;
  }
  void InstallHandles(int count) {
    for (int i = 0; i < count; i++) {
      EFI_HANDLE handle = uefi.Install(kGopNativeGuid, &gNative[i]);
      uefi.Install(kGopI2cGuid, &gI2c[i], handle);
    }
  }
  Script script;
};

// One operation run against the scripted driver, for the message table.
struct Operation {
  const char* name;
  EFI_STATUS (*run)();
  const char* lookup;
  const char* open;
  const char* call;
  const char* close;
};

UINT8 gSink[256];
const Operation kOperations[] = {
    {"ReadDPCD", [] { return ReadDPCD(0x50A, gSink); }, "ERROR : Can't get GopNative Protocol.\r\n",
     "ERROR : Open GopNative Protocol failed.\r\n", "ERROR : ReadDPCD failed.\r\n",
     "ERROR : Close ReadDPCD device handle failed.\r\n"},
    {"WriteDPCD", [] { return WriteDPCD(0x300, 0x5A); }, "ERROR : Can't get GopNative Protocol.\r\n",
     "ERROR : Open GopNative Protocol failed.\r\n", "ERROR : WriteDPCD failed.\r\n",
     "ERROR : Close WriteDPCD device handle failed.\r\n"},
    {"I2CProtocolRead", [] { return I2CProtocolRead(0xA0, 256, gSink); },
     "ERROR : Can't get GopI2c Protocol.\r\n", "ERROR : Open GopI2c Protocol failed.\r\n",
     "ERROR : I2CProtocolRead failed.\r\n", "ERROR : Close I2CProtocolRead device handle failed.\r\n"},
    {"I2CProtocolWrite", [] { return I2CProtocolWrite(0xA0, 0x34, 0x99); },
     "ERROR : Can't get GopI2c Protocol.\r\n", "ERROR : Open GopI2c Protocol failed.\r\n",
     "ERROR : I2CProtocolWrite failed.\r\n",
     "ERROR : Close I2CProtocolWrite device handle failed.\r\n"},
};

class LinkMessageTest : public LinkTest, public ::testing::WithParamInterface<Operation> {};

TEST_P(LinkMessageTest, EveryFailurePrintsItsOneMessageAndReturnsTheStatus) {
  const Operation& op = GetParam();
  // No handle carries the protocol yet.
  EXPECT_EQ(op.run(), static_cast<EFI_STATUS>(EFI_NOT_FOUND));
  EXPECT_EQ(Console(), op.lookup);
  uefi.ClearConsole();

  InstallHandles(1);
  uefi.FailAt(dbl::Service::OpenProtocol, 1, EFI_ACCESS_DENIED);
  EXPECT_EQ(op.run(), static_cast<EFI_STATUS>(EFI_ACCESS_DENIED));
  EXPECT_EQ(Console(), op.open);
  uefi.ClearConsole();

  script.result[0] = EFI_DEVICE_ERROR;
  EXPECT_EQ(op.run(), static_cast<EFI_STATUS>(EFI_DEVICE_ERROR));
  EXPECT_EQ(Console(), op.call);
  EXPECT_EQ(uefi.OpenCount(), 1) << "a handle whose call failed is not closed";
  script.result[0] = EFI_SUCCESS;
  uefi.ClearConsole();

  uefi.FailAt(dbl::Service::CloseProtocol, 1, EFI_INVALID_PARAMETER);
  EXPECT_EQ(op.run(), static_cast<EFI_STATUS>(EFI_INVALID_PARAMETER));
  EXPECT_EQ(Console(), op.close);
  uefi.ClearConsole();

  EXPECT_EQ(op.run(), static_cast<EFI_STATUS>(EFI_SUCCESS));
  EXPECT_EQ(Console(), "");
}

INSTANTIATE_TEST_SUITE_P(AllOperations, LinkMessageTest, ::testing::ValuesIn(kOperations),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkTest, LookupFailureLeavesTheCallersByteUntouched) {
  UINT8 value = 0x77;
  EXPECT_TRUE(EFI_ERROR(ReadDPCD(0x005, &value)));
  EXPECT_EQ(value, 0x77);
  EXPECT_TRUE(script.calls.empty());
}

TEST_F(LinkTest, ZeroHandlesIsSuccessWithNothingDone) {
  uefi.SystemTable()->BootServices->LocateHandleBuffer = LocateNothing;
  UINT8 value = 0x77;
  EXPECT_EQ(ReadDPCD(0x005, &value), static_cast<EFI_STATUS>(EFI_SUCCESS));
  EXPECT_EQ(I2CProtocolWrite(0x80, 0x40, 1), static_cast<EFI_STATUS>(EFI_SUCCESS));
  EXPECT_EQ(value, 0x77);
  EXPECT_EQ(uefi.Calls(dbl::Service::OpenProtocol), 0u);
  EXPECT_EQ(Console(), "");
}

TEST_F(LinkTest, TwoHandlesAreServedInListOrderAndTheLastReadWins) {
  InstallHandles(2);
  ASSERT_EQ(WriteDPCD(0x301, 0xC4), static_cast<EFI_STATUS>(EFI_SUCCESS));
  UINT8 value = 0;
  ASSERT_EQ(ReadDPCD(0x50B, &value), static_cast<EFI_STATUS>(EFI_SUCCESS));
  EXPECT_EQ(value, 0x22);
  ASSERT_EQ(script.calls.size(), 4u);
  EXPECT_EQ(script.calls[0].handle, 0);
  EXPECT_EQ(script.calls[1].handle, 1);
  EXPECT_EQ(script.calls[1].byte, 0xC4);
  EXPECT_EQ(script.calls[3].handle, 1);
  for (const DriverCall& call : script.calls) {
    EXPECT_EQ(call.port, 6u);
    EXPECT_EQ(call.count, 1u);
  }
  EXPECT_EQ(uefi.OpenCount(), 0);
}

TEST_F(LinkTest, FailureOnTheFirstHandleLeavesTheSecondUntouched) {
  InstallHandles(2);
  script.result[0] = EFI_DEVICE_ERROR;
  EXPECT_EQ(WriteDPCD(0x50C, 'D'), static_cast<EFI_STATUS>(EFI_DEVICE_ERROR));
  ASSERT_EQ(script.calls.size(), 1u);
  EXPECT_EQ(script.calls[0].handle, 0);
  EXPECT_EQ(uefi.Calls(dbl::Service::OpenProtocol), 1u);
}

TEST_F(LinkTest, QuietModeSilencesOnlyTheI2cReadCallMessage) {
  InstallHandles(1);
  script.result[0] = EFI_DEVICE_ERROR;
  gRunState.reportI2cReadErrors = 0;
  EXPECT_EQ(I2CProtocolRead(0x80, 1, gSink), static_cast<EFI_STATUS>(EFI_DEVICE_ERROR));
  EXPECT_EQ(Console(), "");
  EXPECT_EQ(I2CProtocolWrite(0x80, 0x40, 1), static_cast<EFI_STATUS>(EFI_DEVICE_ERROR));
  EXPECT_EQ(Console(), "ERROR : I2CProtocolWrite failed.\r\n");
  uefi.ClearConsole();
  UINT8 value;
  EXPECT_TRUE(EFI_ERROR(ReadDPCD(0x005, &value)));
  EXPECT_EQ(Console(), "ERROR : ReadDPCD failed.\r\n");
  uefi.ClearConsole();
  script.result[0] = EFI_SUCCESS;
  uefi.FailAt(dbl::Service::CloseProtocol, uefi.Calls(dbl::Service::CloseProtocol) + 1);
  EXPECT_TRUE(EFI_ERROR(I2CProtocolRead(0x80, 1, gSink)));
  EXPECT_EQ(Console(), "ERROR : Close I2CProtocolRead device handle failed.\r\n");
  uefi.ClearConsole();
  gRunState.reportI2cReadErrors = 1;
  script.result[0] = EFI_DEVICE_ERROR;
  EXPECT_TRUE(EFI_ERROR(I2CProtocolRead(0x80, 1, gSink)));
  EXPECT_EQ(Console(), "ERROR : I2CProtocolRead failed.\r\n");
}

TEST_F(LinkTest, I2cCallsCarryTheOffsetRecordAndStaging) {
  InstallHandles(1);
  ASSERT_EQ(I2CProtocolWrite(0xA0, 0xFE, 0x3C), static_cast<EFI_STATUS>(EFI_SUCCESS));
  UINT8 page[256] = {};
  ASSERT_EQ(I2CProtocolRead(0xA0, 256, page), static_cast<EFI_STATUS>(EFI_SUCCESS));
  ASSERT_EQ(script.calls.size(), 2u);
  const DriverCall& write = script.calls[0];
  EXPECT_EQ(write.address, 0xA0u);
  EXPECT_EQ(write.offset, 0xFEu);
  EXPECT_EQ(write.second, 1u);
  EXPECT_EQ(write.count, 1u);
  EXPECT_EQ(write.byte, 0x3C);
  const DriverCall& read = script.calls[1];
  EXPECT_EQ(read.offset, 0u);
  EXPECT_EQ(read.second, 1u);
  EXPECT_EQ(read.count, 256u);
  for (int i = 0; i < 256; i++) ASSERT_EQ(page[i], static_cast<UINT8>(0x11 + i));
}

TEST_F(LinkTest, I2cReadCopiesOnlyTheCountAskedEvenWhenTheCallFails) {
  InstallHandles(1);
  UINT8 bytes[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  script.result[0] = EFI_DEVICE_ERROR;
  EXPECT_TRUE(EFI_ERROR(I2CProtocolRead(0x80, 1, bytes)));
  EXPECT_EQ(bytes[0], 0x11) << "the driver's byte is handed on whatever the status";
  EXPECT_EQ(bytes[1], 0xEE);
}

TEST_F(LinkTest, I2cReadRefusesCountsItsStagingCannotHold) {
  InstallHandles(1);
  UINT8 bytes[300] = {};
  EXPECT_EQ(I2CProtocolRead(0xA0, 0, bytes), static_cast<EFI_STATUS>(EFI_INVALID_PARAMETER));
  EXPECT_EQ(I2CProtocolRead(0xA0, 257, bytes), static_cast<EFI_STATUS>(EFI_INVALID_PARAMETER));
  EXPECT_EQ(uefi.Calls(dbl::Service::LocateHandleBuffer), 0u);
  EXPECT_TRUE(script.calls.empty());
  for (UINT8 b : bytes) ASSERT_EQ(b, 0);
}

}  // namespace
