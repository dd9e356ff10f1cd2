#include "platform/services.h"

namespace {
constinit EFI_HANDLE gImage = nullptr;
constinit EFI_SYSTEM_TABLE* gSystemTable = nullptr;
}  // namespace

void PlatformBind(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  gImage = image;
  gSystemTable = systemTable;
}

EFI_HANDLE ImageHandle() { return gImage; }
EFI_SYSTEM_TABLE* SystemTable() { return gSystemTable; }
EFI_BOOT_SERVICES* BootServices() { return gSystemTable->BootServices; }

void* PoolAllocate(UINTN size) {
  void* buffer = nullptr;
  EFI_STATUS status = BootServices()->AllocatePool(EfiLoaderData, size, &buffer);
  return EFI_ERROR(status) ? nullptr : buffer;
}

void PoolFree(void* buffer) { (void)BootServices()->FreePool(buffer); }

void StallMicroseconds(UINTN microseconds) { (void)BootServices()->Stall(microseconds); }

void WatchdogOff() { (void)BootServices()->SetWatchdogTimer(0, 0, 0, nullptr); }
