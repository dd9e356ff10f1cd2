// The binding installed into the UEFI double and reached as the program
// reaches it: lookup by GUID, open, call through the record's fields.
#include <gtest/gtest.h>

#include <memory>

#include "sim/gop_binding.h"
#include "tests/double/uefi_double.h"

namespace {

struct Binding : ::testing::Test {
  dbl::UefiDouble d;
  EFI_BOOT_SERVICES* bs = d.SystemTable()->BootServices;
  std::unique_ptr<SimConverter> a = std::make_unique<SimConverter>();
  std::unique_ptr<SimConverter> b = std::make_unique<SimConverter>();
  EFI_HANDLE handles[kSimMaxHandles] = {};

  void SetUp() override {
    const SimScenario s = SimDefaultScenario();
    SimInit(a.get(), &s);
    SimInit(b.get(), &s);
  }
  // The index-th handle carrying the protocol, opened as the program opens it.
  template <typename P>
  P* Open(EFI_GUID guid, UINTN index) {
    UINTN count = 0;
    EFI_HANDLE* list = nullptr;
    if (EFI_ERROR(bs->LocateHandleBuffer(ByProtocol, &guid, nullptr, &count, &list)))
      return nullptr;
    void* iface = nullptr;
    EFI_STATUS err = index < count ? bs->OpenProtocol(list[index], &guid, &iface, d.ImageHandle(),
                                                      nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL)
                                   : EFI_NOT_FOUND;
    (void)bs->FreePool(list);
    return EFI_ERROR(err) ? nullptr : static_cast<P*>(iface);
  }
};

TEST_F(Binding, EachHandleCarriesBothProtocolsAndReachesItsOwnConverter) {
  SimConverter* const list[] = {a.get(), b.get()};
  ASSERT_EQ(SimInstall(bs, list, 2, handles), EFI_SUCCESS);
  auto* n0 = Open<SimGopNativeProtocol>(kSimGopNativeGuid, 0);
  auto* i1 = Open<SimGopI2cProtocol>(kSimGopI2cGuid, 1);
  ASSERT_TRUE(n0 != nullptr && i1 != nullptr);
  UINT8 v = 0x42;
  EXPECT_EQ(n0->write(0, kSimSourceOui, 1, &v), EFI_SUCCESS);
  EXPECT_EQ(a->source[0], 0x42);
  EXPECT_EQ(b->record.dpcdWrites, 0u);
  EXPECT_EQ(n0->read(0, kSimDownstreamPort, 2, &v), EFI_INVALID_PARAMETER);
  SimGopI2cOffset at{kSimModeChangeOffset, 1};
  UINT8 staging[kSimStagingSize] = {kSimConverterMode};
  EXPECT_EQ(i1->write(0, kSimAdaptorSlave, &at, 1, staging), EFI_SUCCESS);
  EXPECT_TRUE(b->converterMode && !a->converterMode);
  EXPECT_EQ(i1->write(2, kSimAdaptorSlave, &at, 1, staging), EFI_DEVICE_ERROR);
}

TEST_F(Binding, OneConverterOnTwoHandlesSeesEachWriteTwice) {
  SimConverter* const list[] = {a.get(), a.get()};
  ASSERT_EQ(SimInstall(bs, list, 2, handles), EFI_SUCCESS);
  UINT8 v = 7;
  for (UINTN i = 0; i < 2; ++i)
    ASSERT_EQ(Open<SimGopNativeProtocol>(kSimGopNativeGuid, i)->write(0, kSimSourceOui, 1, &v),
              EFI_SUCCESS);
  EXPECT_EQ(a->record.sourceWriteCount, 2u);
}

TEST_F(Binding, RefusesWhatItCannotBindAndPassesInstallFailuresOn) {
  SimConverter* const five[] = {a.get(), a.get(), a.get(), a.get(), a.get()};
  EXPECT_EQ(SimInstall(bs, five, 5, handles), EFI_INVALID_PARAMETER);
  SimConverter* const hole[] = {a.get(), nullptr};
  EXPECT_EQ(SimInstall(bs, hole, 2, handles), EFI_INVALID_PARAMETER);
  EXPECT_EQ(d.Calls(dbl::Service::InstallProtocolInterface), 0u);
  d.FailAt(dbl::Service::InstallProtocolInterface, 4, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(SimInstall(bs, five, 3, handles), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Open<SimGopI2cProtocol>(kSimGopI2cGuid, 1), nullptr) << "second handle lacks GopI2c";
}

}  // namespace
