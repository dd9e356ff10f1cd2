// The firmware face of the converter model: per-index EFIAPI functions in
// the driver's call layouts, the interface records that carry them, and
// their installation. Statuses cross from the model's signed values to
// EFI_STATUS here and nowhere else.
#include "sim/gop_binding.h"

static_assert(offsetof(SimGopNativeProtocol, read) == 8 &&
              offsetof(SimGopNativeProtocol, write) == 16);
static_assert(offsetof(SimGopI2cProtocol, read) == 8 && offsetof(SimGopI2cProtocol, write) == 16);
static_assert(sizeof(SimGopI2cOffset) == 8);

namespace {

constinit SimConverter* gBound[kSimMaxHandles] = {};

EFI_STATUS ToEfi(int64_t status) { return static_cast<EFI_STATUS>(status); }

// The driver's offset record, copied field by field into the model's own.
const SimI2cOffset* ToModel(const SimGopI2cOffset* from, SimI2cOffset* to) {
  if (from == nullptr) return nullptr;
  *to = {from->offset, from->second};
  return to;
}

template <unsigned I>
EFI_STATUS EFIAPI NativeRead(UINT32 port, UINT32 address, UINT32 count, UINT8* buffer) {
  if (gBound[I] == nullptr) return EFI_NOT_READY;
  return ToEfi(SimDpcdRead(gBound[I], port, address, count, buffer));
}

template <unsigned I>
EFI_STATUS EFIAPI NativeWrite(UINT32 port, UINT32 address, UINT32 count, UINT8* buffer) {
  if (gBound[I] == nullptr) return EFI_NOT_READY;
  return ToEfi(SimDpcdWrite(gBound[I], port, address, count, buffer));
}

template <unsigned I>
EFI_STATUS EFIAPI I2cRead(UINT32 port, UINT8 slave, SimGopI2cOffset* offset, UINT32 count,
                          UINT8* buffer) {
  if (gBound[I] == nullptr) return EFI_NOT_READY;
  SimI2cOffset copy;
  return ToEfi(SimI2cRead(gBound[I], port, slave, ToModel(offset, &copy), count, buffer));
}

template <unsigned I>
EFI_STATUS EFIAPI I2cWrite(UINT32 port, UINT8 slave, SimGopI2cOffset* offset, UINT32 count,
                           UINT8* buffer) {
  if (gBound[I] == nullptr) return EFI_NOT_READY;
  SimI2cOffset copy;
  return ToEfi(SimI2cWrite(gBound[I], port, slave, ToModel(offset, &copy), count, buffer));
}

constinit SimGopNativeProtocol gNative[kSimMaxHandles] = {
    {0, NativeRead<0>, NativeWrite<0>},
    {0, NativeRead<1>, NativeWrite<1>},
    {0, NativeRead<2>, NativeWrite<2>},
    {0, NativeRead<3>, NativeWrite<3>},
};

constinit SimGopI2cProtocol gI2c[kSimMaxHandles] = {
    {0, I2cRead<0>, I2cWrite<0>},
    {0, I2cRead<1>, I2cWrite<1>},
    {0, I2cRead<2>, I2cWrite<2>},
    {0, I2cRead<3>, I2cWrite<3>},
};

// One new handle carrying both protocols of index i.
EFI_STATUS InstallIndex(EFI_BOOT_SERVICES* bs, unsigned i, EFI_HANDLE* handle) {
  EFI_GUID native = kSimGopNativeGuid;
  EFI_GUID i2c = kSimGopI2cGuid;
  *handle = nullptr;
  EFI_STATUS err = bs->InstallProtocolInterface(handle, &native, EFI_NATIVE_INTERFACE, &gNative[i]);
  if (EFI_ERROR(err)) return err;
  return bs->InstallProtocolInterface(handle, &i2c, EFI_NATIVE_INTERFACE, &gI2c[i]);
}

}  // namespace

EFI_STATUS SimInstall(EFI_BOOT_SERVICES* bs, SimConverter* const* converters, unsigned count,
                      EFI_HANDLE* handlesOut) {
  if (bs == nullptr || count > kSimMaxHandles) return EFI_INVALID_PARAMETER;
  if (count > 0 && (converters == nullptr || handlesOut == nullptr)) return EFI_INVALID_PARAMETER;
  for (unsigned i = 0; i < count; ++i)
    if (converters[i] == nullptr) return EFI_INVALID_PARAMETER;
  for (unsigned i = 0; i < count; ++i) handlesOut[i] = nullptr;

  for (unsigned i = 0; i < count; ++i) {
    gBound[i] = converters[i];
    EFI_STATUS err = InstallIndex(bs, i, &handlesOut[i]);
    if (EFI_ERROR(err)) return err;
  }
  return EFI_SUCCESS;
}

const SimGopNativeProtocol* SimNativeInterface(unsigned index) {
  return index < kSimMaxHandles ? &gNative[index] : nullptr;
}

const SimGopI2cProtocol* SimI2cInterface(unsigned index) {
  return index < kSimMaxHandles ? &gI2c[index] : nullptr;
}
