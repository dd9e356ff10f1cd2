// A driver that answers the open with success but hands back nothing
// callable: a null interface, or a record with a null read or write. Each
// operation treats that handle as one whose open failed, and never calls
// through the record.
#include <string>
#include <tuple>

#include "link/gop.h"
#include "link/link.h"
#include "tests/host/host_test.h"

namespace {

int gDriverCalls = 0;

EFI_STATUS EFIAPI NativeCall(UINT32, UINT32, UINT32, UINT8*) {
  gDriverCalls++;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI I2cCall(UINT32, UINT8, GopI2cOffset*, UINT32, UINT8*) {
  gDriverCalls++;
  return EFI_SUCCESS;
}

GopNativeProtocol gNativeSound = {nullptr, NativeCall, NativeCall};
GopI2cProtocol gI2cSound = {nullptr, I2cCall, I2cCall};

enum class Defect { NullInterface, NullRead, NullWrite };

struct Broken {
  Defect defect;
  const char* name;
  GopNativeProtocol native;
  GopI2cProtocol i2c;
};

const Broken kBroken[] = {
    {Defect::NullInterface, "NullInterface", {}, {}},
    {Defect::NullRead, "NullRead", {nullptr, nullptr, NativeCall}, {nullptr, nullptr, I2cCall}},
    {Defect::NullWrite, "NullWrite", {nullptr, NativeCall, nullptr}, {nullptr, I2cCall, nullptr}},
};

// The open succeeds as the double answers it; for the handle made broken,
// the interface handed back is replaced by the defective one.
const Broken* gBroken = nullptr;
EFI_HANDLE gBrokenHandle = nullptr;
decltype(EFI_BOOT_SERVICES::OpenProtocol) gOpen = nullptr;

EFI_STATUS EFIAPI OpenBroken(EFI_HANDLE handle, EFI_GUID* guid, VOID** iface, EFI_HANDLE agent,
                             EFI_HANDLE controller, UINT32 attributes) {
  EFI_STATUS status = gOpen(handle, guid, iface, agent, controller, attributes);
  if (EFI_ERROR(status) || handle != gBrokenHandle) return status;
  const bool native = guid->Data1 == kGopNativeGuid.Data1;
  void* record = native ? static_cast<void*>(const_cast<GopNativeProtocol*>(&gBroken->native))
                        : static_cast<void*>(const_cast<GopI2cProtocol*>(&gBroken->i2c));
  *iface = gBroken->defect == Defect::NullInterface ? nullptr : record;
  return EFI_SUCCESS;
}

UINT8 gSink[256];
struct Operation {
  const char* name;
  EFI_STATUS (*run)();
  const char* open;
};
const Operation kOperations[] = {
    {"ReadDPCD", [] { return ReadDPCD(0x50A, gSink); }, "ERROR : Open GopNative Protocol failed.\r\n"},
    {"WriteDPCD", [] { return WriteDPCD(0x300, 0x5A); }, "ERROR : Open GopNative Protocol failed.\r\n"},
    {"I2CProtocolRead", [] { return I2CProtocolRead(0xA0, 256, gSink); },
     "ERROR : Open GopI2c Protocol failed.\r\n"},
    {"I2CProtocolWrite", [] { return I2CProtocolWrite(0xA0, 0x34, 0x99); },
     "ERROR : Open GopI2c Protocol failed.\r\n"},
};

void PrintTo(const Operation& op, std::ostream* os) { *os << op.name; }
void PrintTo(const Broken& broken, std::ostream* os) { *os << broken.name; }

class LinkRecordTest : public HostTest,
                       public ::testing::WithParamInterface<std::tuple<Operation, Broken>> {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    gDriverCalls = 0;
    gRunState.reportI2cReadErrors = 1;
    gBroken = &std::get<1>(GetParam());
    gOpen = uefi.SystemTable()->BootServices->OpenProtocol;
    uefi.SystemTable()->BootServices->OpenProtocol = OpenBroken;
    for (int i = 0; i < 2; i++) {
      handles[i] = uefi.Install(kGopNativeGuid, &gNativeSound);
      uefi.Install(kGopI2cGuid, &gI2cSound, handles[i]);
    }
  }
  void TearDown() override {
    EXPECT_EQ(uefi.PoolBlocksOutstanding(), 0u) << "the handle list went back";
    gBrokenHandle = nullptr;
  }
  EFI_HANDLE handles[2] = {};
};

TEST_P(LinkRecordTest, BrokenFirstHandleFailsAsItsOpenWithNothingCalled) {
  const Operation& op = std::get<0>(GetParam());
  gBrokenHandle = handles[0];
  EXPECT_EQ(op.run(), static_cast<EFI_STATUS>(EFI_UNSUPPORTED));
  EXPECT_EQ(Console(), op.open);
  EXPECT_EQ(gDriverCalls, 0) << "nothing called through the record, sound half or not";
  EXPECT_EQ(uefi.Calls(dbl::Service::OpenProtocol), 1u) << "the first failure ends the operation";
  EXPECT_EQ(uefi.Calls(dbl::Service::CloseProtocol), 0u) << "left as a failed open leaves it";
}

TEST_P(LinkRecordTest, BrokenSecondHandleFailsAfterTheFirstWasServed) {
  const Operation& op = std::get<0>(GetParam());
  gBrokenHandle = handles[1];
  EXPECT_EQ(op.run(), static_cast<EFI_STATUS>(EFI_UNSUPPORTED));
  EXPECT_EQ(Console(), op.open);
  EXPECT_EQ(gDriverCalls, 1);
  EXPECT_EQ(uefi.Calls(dbl::Service::OpenProtocol), 2u);
  EXPECT_EQ(uefi.Calls(dbl::Service::CloseProtocol), 1u);
}

INSTANTIATE_TEST_SUITE_P(AllOperations, LinkRecordTest,
                         ::testing::Combine(::testing::ValuesIn(kOperations),
                                            ::testing::ValuesIn(kBroken)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  std::get<1>(info.param).name;
                         });

}  // namespace
