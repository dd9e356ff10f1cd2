// Under QEMU a stall waits in real time, so a scenario that lets the
// program poll 100 times would take 50 s. The driver answers the program's
// 500,000 us polls at once and counts them; any other length (the shell's,
// the firmware's own) still waits.
#include "sim/driver/driver_parts.h"

namespace {

constinit EFI_STALL gFirmwareStall = nullptr;

EFI_STATUS EFIAPI FastStall(UINTN microseconds) {
  if (microseconds == kConvsimSkippedStall) {
    ++gConvsimRecord.skippedStalls;
    return EFI_SUCCESS;
  }
  ++gConvsimRecord.forwardedStalls;
  return gFirmwareStall(microseconds);
}

}  // namespace

UINT64 MeasureTscHz(EFI_BOOT_SERVICES* bs) {
  const UINT64 before = ReadTsc();
  if (EFI_ERROR(bs->Stall(10000))) return 0;
  return (ReadTsc() - before) * 100;
}

void InstallFastStall(EFI_BOOT_SERVICES* bs) {
  if (gFirmwareStall != nullptr) return;
  gFirmwareStall = bs->Stall;
  bs->Stall = FastStall;
  RefreshTableCrc(bs);
}

// The table's header carries a CRC over the table; whoever checks it must
// still find it valid after a change.
void RefreshTableCrc(EFI_BOOT_SERVICES* bs) {
  UINT32 crc = 0;
  bs->Hdr.CRC32 = 0;
  if (!EFI_ERROR(bs->CalculateCrc32(bs, bs->Hdr.HeaderSize, &crc))) bs->Hdr.CRC32 = crc;
}
