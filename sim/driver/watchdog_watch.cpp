// The boot manager arms a 5-minute watchdog before it starts a boot option,
// and the update's waits last far longer, so a program started that way
// must turn the watchdog off before it touches the converter. The driver
// keeps the timeout last set; the timed binding notes it at the first
// converter call, so the record shows what was in force then.
#include "sim/driver/driver_parts.h"

namespace {

constinit EFI_SET_WATCHDOG_TIMER gFirmwareSetWatchdog = nullptr;

EFI_STATUS EFIAPI WatchedSetWatchdog(UINTN seconds, UINT64 code, UINTN dataSize, CHAR16* data) {
  ++gConvsimRecord.watchdogSets;
  const EFI_STATUS status = gFirmwareSetWatchdog(seconds, code, dataSize, data);
  if (!EFI_ERROR(status)) gConvsimRecord.watchdogSeconds = seconds;
  return status;
}

}  // namespace

void InstallWatchdogWatch(EFI_BOOT_SERVICES* bs) {
  if (gFirmwareSetWatchdog != nullptr) return;
  gFirmwareSetWatchdog = bs->SetWatchdogTimer;
  bs->SetWatchdogTimer = WatchedSetWatchdog;
  RefreshTableCrc(bs);
}
