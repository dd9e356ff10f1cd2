// pellory-floor.efi: NOT the update utility, and never to be run against a
// real converter. It is the benchmark's lower bound: the converter traffic of
// one whole update that succeeds at the first try, and nothing else. It makes
// the same lookups, opens, driver calls, closes and handle-list releases as
// the program, with the same arguments and in the same order, against a
// converter that acknowledges every command at once. It never waits, judges
// no reply, verifies nothing, prints nothing and keeps no log, so whatever
// the program takes beyond this floor in the same firmware is its own work.
// The host test beside it checks that the two sequences stay identical.
#include "app/converter.h"
#include "link/gop.h"
#include "link/link.h"
#include "payload/firmware_image.h"

namespace {

struct Floor {
  EFI_BOOT_SERVICES* bs;
  EFI_HANDLE image;
};

constinit Floor gFloor = {};

// The port a converter answering on the first probe sits behind.
constexpr UINT32 kPort = 0;

// One access: lookup, then open / call / close per handle, then the list
// back to the pool. Nothing fails against the converter this is made for.
template <typename Protocol, typename Call>
void EachHandle(const EFI_GUID& guid, Call call) {
  EFI_GUID* id = const_cast<EFI_GUID*>(&guid);
  UINTN count = 0;
  EFI_HANDLE* handles = nullptr;
  if (EFI_ERROR(gFloor.bs->LocateHandleBuffer(ByProtocol, id, nullptr, &count, &handles))) return;
  for (UINTN i = 0; i < count; i++) {
    void* found = nullptr;
    if (EFI_ERROR(gFloor.bs->OpenProtocol(handles[i], id, &found, gFloor.image, nullptr,
                                          EFI_OPEN_PROTOCOL_GET_PROTOCOL)))
      break;
    call(*static_cast<Protocol*>(found));
    (void)gFloor.bs->CloseProtocol(handles[i], id, gFloor.image, nullptr);
  }
  (void)gFloor.bs->FreePool(handles);
}

UINT8 ReadDpcd(UINT32 address) {
  UINT8 value = 0;
  EachHandle<GopNativeProtocol>(kGopNativeGuid, [&](GopNativeProtocol& gop) {
    (void)gop.read(kPort, address, 1, &value);
  });
  return value;
}

void WriteDpcd(UINT32 address, UINT8 value) {
  EachHandle<GopNativeProtocol>(kGopNativeGuid, [&](GopNativeProtocol& gop) {
    (void)gop.write(kPort, address, 1, &value);
  });
}

void ReadI2c(UINT8 slave, UINT32 count, UINT8* buffer) {
  EachHandle<GopI2cProtocol>(kGopI2cGuid, [&](GopI2cProtocol& gop) {
    GopI2cOffset offset = {0, kI2cOffsetRecordSecond};
    (void)gop.read(kPort, slave, &offset, count, buffer);
  });
}

void WriteI2c(UINT8 slave, UINT8 offset, UINT8 value) {
  EachHandle<GopI2cProtocol>(kGopI2cGuid, [&](GopI2cProtocol& gop) {
    GopI2cOffset record = {offset, kI2cOffsetRecordSecond};
    UINT8 staging[kI2cMaxRead] = {};
    staging[0] = value;
    (void)gop.write(kPort, slave, &record, 1, staging);
  });
}

// Identification: probe, adaptor block, mode change, vendor block.
UINT32 Identify(UINT8* oui) {
  UINT8 adaptor[256];
  ReadI2c(kAdaptorSlave, 1, adaptor);
  ReadI2c(kAdaptorSlave, sizeof adaptor, adaptor);
  WriteI2c(kAdaptorSlave, kModeChangeOffset, kConverterMode);
  const UINT32 base = static_cast<UINT32>(((ReadDpcd(kDownstreamPortPresent) & 1) | 4) << 8);
  for (UINT32 i = 0; i < 3; i++) oui[i] = ReadDpcd(base + kVendorOui + i);
  (void)ReadDpcd(base + kBootloaderVersion);
  (void)ReadDpcd(base + kFirmwareMajor);
  (void)ReadDpcd(base + kFirmwareMinor);
  return base;
}

// Source OUI and the keyword, each character taken and echoed at once.
void Handshake(UINT32 base, const UINT8* oui) {
  for (UINT32 i = 0; i < 3; i++) WriteDpcd(kSourceOui + i, oui[i]);
  const UINT8 sourceSpecific = ReadDpcd(kSourceSpecific);
  for (const char* c = "Download"; *c != 0; c++) {
    WriteDpcd(base + kCommandRegister, static_cast<UINT8>(*c));
    WriteDpcd(kSourceSpecific, sourceSpecific);
    (void)ReadDpcd(base + kCommandRegister);
    (void)ReadDpcd(base + kStatusRegister);
  }
}

// Start, 256 pages written and read back, finish; every command
// acknowledged by the first read of the status register.
void Transfer(UINT32 base) {
  WriteDpcd(base + kCommandRegister, kCommandStart);
  (void)ReadDpcd(base + kStatusRegister);
  WriteDpcd(base + kStatusRegister, 0);
  UINT8 page[kPageSize];
  for (UINTN n = 0; n < kPageCount; n++) {
    WriteDpcd(base + kCommandRegister, kCommandPage);
    (void)ReadDpcd(base + kStatusRegister);
    for (UINTN j = 0; j < kPageSize; j++)
      WriteI2c(kPageWindowSlave, static_cast<UINT8>(j), FirmwareImage[n * kPageSize + j]);
    ReadI2c(kPageWindowSlave, kPageSize, page);
    WriteDpcd(base + kStatusRegister, 0);
  }
  WriteDpcd(base + kCommandRegister, kCommandFinish);
  (void)ReadDpcd(base + kStatusRegister);
}

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  gFloor = {systemTable->BootServices, image};
  UINT8 oui[3] = {};
  const UINT32 base = Identify(oui);
  Handshake(base, oui);
  Transfer(base);
  WriteI2c(kAdaptorSlave, kModeChangeOffset, kConverterMode);
  return EFI_SUCCESS;
}
