#include "platform/services.h"

namespace {
// EFI_EVENT_GROUP_READY_TO_BOOT
constexpr EFI_GUID kReadyToBootGroup = {
    0x7ce88fb3, 0x4bd7, 0x4679, {0x87, 0xa8, 0xa8, 0xd8, 0xde, 0xe5, 0x0d, 0x2b}};

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

bool ReadTime(EFI_TIME* time) {
  EFI_RUNTIME_SERVICES* runtime = gSystemTable->RuntimeServices;
  return runtime != nullptr && !EFI_ERROR(runtime->GetTime(time, nullptr));
}

bool ProtocolPresent(const EFI_GUID& guid) {
  void* found = nullptr;
  return !EFI_ERROR(BootServices()->LocateProtocol(const_cast<EFI_GUID*>(&guid), nullptr, &found));
}

EFI_STATUS NotifyAtReadyToBoot(EFI_EVENT_NOTIFY notify, EFI_EVENT* event) {
  return BootServices()->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, notify, nullptr,
                                       &kReadyToBootGroup, event);
}

void EventClose(EFI_EVENT event) { (void)BootServices()->CloseEvent(event); }
