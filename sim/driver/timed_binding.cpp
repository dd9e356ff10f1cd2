// Wrappers of the binding's four calls that take the TSC before the first
// converter call and after the latest, so the record tells how long the
// program spent with the converter. They forward to the binding's own
// interface records of the same index, which stay bound to the converters.
// When armed, a write that brings a converter's committed pages to the
// set count resets the machine, the way a power cut would cut the run.
#include "sim/driver/driver_parts.h"

namespace {

constinit EFI_SYSTEM_TABLE* gResetTable = nullptr;
constinit UINT32 gResetAfterPages = 0;

void ResetWhenDue(unsigned converter) {
  if (gResetTable == nullptr) return;
  const SimConverter* c = gConvsimRecord.converters[converter];
  if (c == nullptr || c->record.pagesCommitted < gResetAfterPages) return;
  Say(gResetTable, "convsim: %u pages committed; resetting the machine\n",
      c->record.pagesCommitted);
  gResetTable->RuntimeServices->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr);
}

void Begin() {
  if (gConvsimRecord.tscFirstAccess != 0) return;
  gConvsimRecord.tscFirstAccess = ReadTsc();
  gConvsimRecord.watchdogAtFirstAccess = gConvsimRecord.watchdogSeconds;
}

EFI_STATUS End(EFI_STATUS status) {
  gConvsimRecord.tscLastAccess = ReadTsc();
  return status;
}

// The finish's acknowledgement, the moment a written image is whole,
// comes with a read of the status register.
template <unsigned I>
EFI_STATUS EFIAPI NativeRead(UINT32 port, UINT32 address, UINT32 count, UINT8* buffer) {
  Begin();
  const EFI_STATUS status = End(SimNativeInterface(I)->read(port, address, count, buffer));
  KeepWrittenFirmware(I);
  return status;
}

template <unsigned I>
EFI_STATUS EFIAPI NativeWrite(UINT32 port, UINT32 address, UINT32 count, UINT8* buffer) {
  Begin();
  const EFI_STATUS status = End(SimNativeInterface(I)->write(port, address, count, buffer));
  ResetWhenDue(I);
  return status;
}

template <unsigned I>
EFI_STATUS EFIAPI I2cRead(UINT32 port, UINT8 slave, SimGopI2cOffset* offset, UINT32 count,
                          UINT8* buffer) {
  Begin();
  return End(SimI2cInterface(I)->read(port, slave, offset, count, buffer));
}

template <unsigned I>
EFI_STATUS EFIAPI I2cWrite(UINT32 port, UINT8 slave, SimGopI2cOffset* offset, UINT32 count,
                           UINT8* buffer) {
  Begin();
  const EFI_STATUS status = End(SimI2cInterface(I)->write(port, slave, offset, count, buffer));
  ResetWhenDue(I);
  return status;
}

constinit SimGopNativeProtocol gTimedNative[kSimMaxHandles] = {
    {0, NativeRead<0>, NativeWrite<0>},
    {0, NativeRead<1>, NativeWrite<1>},
    {0, NativeRead<2>, NativeWrite<2>},
    {0, NativeRead<3>, NativeWrite<3>},
};

constinit SimGopI2cProtocol gTimedI2c[kSimMaxHandles] = {
    {0, I2cRead<0>, I2cWrite<0>},
    {0, I2cRead<1>, I2cWrite<1>},
    {0, I2cRead<2>, I2cWrite<2>},
    {0, I2cRead<3>, I2cWrite<3>},
};

}  // namespace

EFI_STATUS InstallTimedBinding(EFI_BOOT_SERVICES* bs, const EFI_HANDLE* handles, unsigned count) {
  EFI_GUID native = kSimGopNativeGuid;
  EFI_GUID i2c = kSimGopI2cGuid;
  for (unsigned i = 0; i < count && i < kSimMaxHandles; ++i) {
    EFI_STATUS err = bs->ReinstallProtocolInterface(
        handles[i], &native, const_cast<SimGopNativeProtocol*>(SimNativeInterface(i)),
        &gTimedNative[i]);
    if (EFI_ERROR(err)) return err;
    err = bs->ReinstallProtocolInterface(
        handles[i], &i2c, const_cast<SimGopI2cProtocol*>(SimI2cInterface(i)), &gTimedI2c[i]);
    if (EFI_ERROR(err)) return err;
  }
  return EFI_SUCCESS;
}

void ArmResetAfterPages(EFI_SYSTEM_TABLE* st, UINT32 pages) {
  gResetAfterPages = pages;
  gResetTable = st;
}
