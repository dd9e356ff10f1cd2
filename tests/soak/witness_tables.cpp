// The witness's stand-ins: EFIAPI functions put into the double's boot
// services, console and shell tables, and driver records put in front of
// the converter model. Each passes the call on unchanged and tells the
// witness what it saw, so the program meets the very double and model it
// would meet without the witness; the one exception is the open the plan
// breaks, which hands back a broken record instead of the driver's.
#include <algorithm>
#include <iterator>

#include "link/gop.h"
#include "sim/gop_binding.h"
#include "tests/soak/witness.h"

namespace soak {
namespace {

Witness* gWitness = nullptr;

struct Originals {
  decltype(EFI_BOOT_SERVICES::LocateHandleBuffer) locateHandleBuffer;
  decltype(EFI_BOOT_SERVICES::OpenProtocol) openProtocol;
  decltype(EFI_BOOT_SERVICES::CloseProtocol) closeProtocol;
  decltype(EFI_BOOT_SERVICES::Stall) stall;
  decltype(EFI_BOOT_SERVICES::SetWatchdogTimer) setWatchdogTimer;
  decltype(EFI_BOOT_SERVICES::AllocatePool) allocatePool;
  decltype(EFI_BOOT_SERVICES::FreePool) freePool;
  decltype(EFI_BOOT_SERVICES::LocateProtocol) locateProtocol;
  decltype(SIMPLE_TEXT_OUTPUT_INTERFACE::OutputString) outputString;
  decltype(EFI_SHELL_PROTOCOL::OpenFileByName) openFileByName;
  decltype(EFI_SHELL_PROTOCOL::GetFileInfo) getFileInfo;
  decltype(EFI_SHELL_PROTOCOL::GetFileSize) getFileSize;
  decltype(EFI_SHELL_PROTOCOL::DeleteFile) deleteFile;
  decltype(EFI_SHELL_PROTOCOL::WriteFile) writeFile;
  decltype(EFI_SHELL_PROTOCOL::CloseFile) closeFile;
  decltype(EFI_SHELL_PROTOCOL::ReadFile) readFile;
  decltype(EFI_SHELL_PROTOCOL::SetFilePosition) setFilePosition;
};
Originals gOriginal{};
EFI_BOOT_SERVICES* gBoot = nullptr;
SIMPLE_TEXT_OUTPUT_INTERFACE* gConOut = nullptr;
EFI_SHELL_PROTOCOL* gShell = nullptr;

// --- Broken records --------------------------------------------------------------------

bool SameGuid(const EFI_GUID* a, const EFI_GUID& b) {
  return a != nullptr && a->Data1 == b.Data1 && a->Data2 == b.Data2 && a->Data3 == b.Data3 &&
         std::equal(std::begin(a->Data4), std::end(a->Data4), std::begin(b.Data4));
}

// The halves a broken record does carry: an open that handed it back has
// failed, so nothing may be called through it.
EFI_STATUS EFIAPI NativeMisused(UINT32, UINT32, UINT32, UINT8*) {
  gWitness->Violate("a driver function called through a record whose open failed");
  return EFI_DEVICE_ERROR;
}
EFI_STATUS EFIAPI I2cMisused(UINT32, UINT8, GopI2cOffset*, UINT32, UINT8*) {
  gWitness->Violate("a driver function called through a record whose open failed");
  return EFI_DEVICE_ERROR;
}

// By Defect: none, null interface, null read, null write.
GopNativeProtocol gNativeBroken[] = {
    {}, {}, {nullptr, nullptr, NativeMisused}, {nullptr, NativeMisused, nullptr}};
GopI2cProtocol gI2cBroken[] = {{}, {}, {nullptr, nullptr, I2cMisused}, {nullptr, I2cMisused, nullptr}};

void* BrokenRecord(bool i2c, Defect defect) {
  if (defect == Defect::NullInterface) return nullptr;
  const auto index = static_cast<size_t>(defect);
  return i2c ? static_cast<void*>(&gI2cBroken[index]) : static_cast<void*>(&gNativeBroken[index]);
}

// --- Boot services and console ------------------------------------------------------

EFI_STATUS EFIAPI LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE type, EFI_GUID* guid, VOID* key,
                                     UINTN* count, EFI_HANDLE** buffer) {
  EFI_STATUS s = gOriginal.locateHandleBuffer(type, guid, key, count, buffer);
  gWitness->OnLookup(guid, s, count != nullptr ? *count : 0, buffer != nullptr ? *buffer : nullptr);
  return s;
}

EFI_STATUS EFIAPI OpenProtocol(EFI_HANDLE handle, EFI_GUID* guid, VOID** iface, EFI_HANDLE agent,
                               EFI_HANDLE controller, UINT32 attributes) {
  EFI_STATUS s = gOriginal.openProtocol(handle, guid, iface, agent, controller, attributes);
  const bool i2c = SameGuid(guid, kSimGopI2cGuid);
  if (!EFI_ERROR(s) && iface != nullptr && (i2c || SameGuid(guid, kSimGopNativeGuid))) {
    const Defect defect = gWitness->NextOpenDefect();
    if (defect != Defect::None) *iface = BrokenRecord(i2c, defect);
  }
  gWitness->OnOpen(handle, guid, s, iface != nullptr ? *iface : nullptr);
  return s;
}

EFI_STATUS EFIAPI CloseProtocol(EFI_HANDLE handle, EFI_GUID* guid, EFI_HANDLE agent,
                                EFI_HANDLE controller) {
  EFI_STATUS s = gOriginal.closeProtocol(handle, guid, agent, controller);
  gWitness->OnClose(handle, guid, s);
  return s;
}

EFI_STATUS EFIAPI Stall(UINTN micros) {
  EFI_STATUS s = gOriginal.stall(micros);
  gWitness->OnStall(micros, s);
  return s;
}

EFI_STATUS EFIAPI SetWatchdogTimer(UINTN seconds, UINT64 code, UINTN size, CHAR16* data) {
  EFI_STATUS s = gOriginal.setWatchdogTimer(seconds, code, size, data);
  gWitness->OnWatchdog(seconds, s);
  return s;
}

EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID** buffer) {
  EFI_STATUS s = gOriginal.allocatePool(type, size, buffer);
  gWitness->OnAllocate(s);
  return s;
}

EFI_STATUS EFIAPI FreePool(VOID* buffer) {
  EFI_STATUS s = gOriginal.freePool(buffer);
  gWitness->OnFree(buffer, s);
  return s;
}

EFI_STATUS EFIAPI LocateProtocol(EFI_GUID* guid, VOID* registration, VOID** iface) {
  EFI_STATUS s = gOriginal.locateProtocol(guid, registration, iface);
  gWitness->OnLocateProtocol(s);
  return s;
}

EFI_STATUS EFIAPI OutputString(SIMPLE_TEXT_OUTPUT_INTERFACE* self, CHAR16* text) {
  EFI_STATUS s = gOriginal.outputString(self, text);
  gWitness->OnOutput(text, s);
  return s;
}

// --- Shell ---------------------------------------------------------------------------

EFI_STATUS EFIAPI OpenFileByName(CONST CHAR16* name, SHELL_FILE_HANDLE* handle, UINT64 mode) {
  EFI_STATUS s = gOriginal.openFileByName(name, handle, mode);
  gWitness->OnFileGiven(name, handle != nullptr ? *handle : nullptr, s);
  return s;
}

EFI_FILE_INFO* EFIAPI GetFileInfo(SHELL_FILE_HANDLE handle) {
  EFI_FILE_INFO* info = gOriginal.getFileInfo(handle);
  gWitness->OnShellStatus(info != nullptr ? EFI_SUCCESS : EFI_DEVICE_ERROR);
  return info;
}

EFI_STATUS EFIAPI GetFileSize(SHELL_FILE_HANDLE handle, UINT64* size) {
  EFI_STATUS s = gOriginal.getFileSize(handle, size);
  gWitness->OnShellStatus(s);
  return s;
}

EFI_STATUS EFIAPI DeleteFile(SHELL_FILE_HANDLE handle) {
  EFI_STATUS s = gOriginal.deleteFile(handle);
  gWitness->OnDelete(handle, s);
  return s;
}

EFI_STATUS EFIAPI WriteFile(SHELL_FILE_HANDLE handle, UINTN* size, VOID* buffer) {
  EFI_STATUS s = gOriginal.writeFile(handle, size, buffer);
  gWitness->OnWrite(s);
  return s;
}

EFI_STATUS EFIAPI ReadFile(SHELL_FILE_HANDLE handle, UINTN* size, VOID* buffer) {
  EFI_STATUS s = gOriginal.readFile(handle, size, buffer);
  gWitness->OnShellStatus(s);
  return s;
}

EFI_STATUS EFIAPI SetFilePosition(SHELL_FILE_HANDLE handle, UINT64 position) {
  EFI_STATUS s = gOriginal.setFilePosition(handle, position);
  gWitness->OnShellStatus(s);
  return s;
}

EFI_STATUS EFIAPI CloseFile(SHELL_FILE_HANDLE handle) {
  EFI_STATUS s = gOriginal.closeFile(handle);
  gWitness->OnCloseFile(handle, s);
  return s;
}

// --- Driver records in front of the model ----------------------------------------------

template <unsigned I>
EFI_STATUS EFIAPI NativeRead(UINT32 port, UINT32 address, UINT32 count, UINT8* buffer) {
  EFI_STATUS s = SimNativeInterface(I)->read(port, address, count, buffer);
  gWitness->OnDriver(I, LinkKind::DpcdRead, port, address, 0, count, buffer, s);
  return s;
}

template <unsigned I>
EFI_STATUS EFIAPI NativeWrite(UINT32 port, UINT32 address, UINT32 count, UINT8* buffer) {
  EFI_STATUS s = SimNativeInterface(I)->write(port, address, count, buffer);
  gWitness->OnDriver(I, LinkKind::DpcdWrite, port, address, 0, count, buffer, s);
  return s;
}

// The driver's offset record as the model's binding declares it; copied
// field by field, so that each side is called through its own types.
SimGopI2cOffset ToModel(const GopI2cOffset* from) { return {from->offset, from->second}; }

template <unsigned I>
EFI_STATUS EFIAPI I2cRead(UINT32 port, UINT8 slave, GopI2cOffset* offset, UINT32 count, UINT8* buffer) {
  SimGopI2cOffset record{};
  if (offset != nullptr) record = ToModel(offset);
  EFI_STATUS s = SimI2cInterface(I)->read(port, slave, offset != nullptr ? &record : nullptr, count, buffer);
  gWitness->OnDriver(I, LinkKind::I2cRead, port, slave, record.offset, count, buffer, s);
  return s;
}

template <unsigned I>
EFI_STATUS EFIAPI I2cWrite(UINT32 port, UINT8 slave, GopI2cOffset* offset, UINT32 count, UINT8* buffer) {
  SimGopI2cOffset record{};
  if (offset != nullptr) record = ToModel(offset);
  EFI_STATUS s = SimI2cInterface(I)->write(port, slave, offset != nullptr ? &record : nullptr, count, buffer);
  gWitness->OnDriver(I, LinkKind::I2cWrite, port, slave, record.offset, count, buffer, s);
  return s;
}

GopNativeProtocol gNative[kSimMaxHandles] = {
    {nullptr, NativeRead<0>, NativeWrite<0>},
    {nullptr, NativeRead<1>, NativeWrite<1>},
    {nullptr, NativeRead<2>, NativeWrite<2>},
    {nullptr, NativeRead<3>, NativeWrite<3>},
};

GopI2cProtocol gI2c[kSimMaxHandles] = {
    {nullptr, I2cRead<0>, I2cWrite<0>},
    {nullptr, I2cRead<1>, I2cWrite<1>},
    {nullptr, I2cRead<2>, I2cWrite<2>},
    {nullptr, I2cRead<3>, I2cWrite<3>},
};

// SimInstall binds the model's indices; its installation goes here, not into
// the double, whose handles carry the witness's records instead.
EFI_STATUS EFIAPI AcceptInstall(EFI_HANDLE* handle, EFI_GUID*, EFI_INTERFACE_TYPE, VOID*) {
  static int token;
  *handle = &token;
  return EFI_SUCCESS;
}

}  // namespace

Witness::Witness(dbl::UefiDouble& uefi, SimConverter* const* converters, unsigned count)
    : converters_(converters), count_(count) {
  EFI_BOOT_SERVICES binder{};
  binder.InstallProtocolInterface = AcceptInstall;
  EFI_HANDLE bound[kSimMaxHandles] = {};
  if (count > 0 && EFI_ERROR(SimInstall(&binder, converters, count, bound))) Violate("SimInstall failed");
  for (unsigned i = 0; i < count && i < kSimMaxHandles; i++) {
    handles_[i] = uefi.Install(kSimGopNativeGuid, &gNative[i]);
    uefi.Install(kSimGopI2cGuid, &gI2c[i], handles_[i]);
  }

  EFI_SYSTEM_TABLE* st = uefi.SystemTable();
  gBoot = st->BootServices;
  gConOut = st->ConOut;
  EFI_GUID shellGuid = EFI_SHELL_PROTOCOL_GUID;
  void* shell = nullptr;
  if (EFI_ERROR(gBoot->LocateProtocol(&shellGuid, nullptr, &shell))) Violate("the double has no shell");
  gShell = static_cast<EFI_SHELL_PROTOCOL*>(shell);

  gOriginal = {gBoot->LocateHandleBuffer, gBoot->OpenProtocol,   gBoot->CloseProtocol,
               gBoot->Stall,              gBoot->SetWatchdogTimer, gBoot->AllocatePool,   gBoot->FreePool,
               gBoot->LocateProtocol,     gConOut->OutputString, gShell->OpenFileByName,
               gShell->GetFileInfo,       gShell->GetFileSize,   gShell->DeleteFile,
               gShell->WriteFile,         gShell->CloseFile,     gShell->ReadFile,
               gShell->SetFilePosition};
  gWitness = this;
  gBoot->LocateHandleBuffer = LocateHandleBuffer;
  gBoot->OpenProtocol = OpenProtocol;
  gBoot->CloseProtocol = CloseProtocol;
  gBoot->Stall = Stall;
  gBoot->SetWatchdogTimer = SetWatchdogTimer;
  gBoot->AllocatePool = AllocatePool;
  gBoot->FreePool = FreePool;
  gBoot->LocateProtocol = LocateProtocol;
  gConOut->OutputString = OutputString;
  gShell->OpenFileByName = OpenFileByName;
  gShell->GetFileInfo = GetFileInfo;
  gShell->GetFileSize = GetFileSize;
  gShell->DeleteFile = DeleteFile;
  gShell->WriteFile = WriteFile;
  gShell->CloseFile = CloseFile;
  gShell->ReadFile = ReadFile;
  gShell->SetFilePosition = SetFilePosition;
}

Witness::~Witness() {
  gBoot->LocateHandleBuffer = gOriginal.locateHandleBuffer;
  gBoot->OpenProtocol = gOriginal.openProtocol;
  gBoot->CloseProtocol = gOriginal.closeProtocol;
  gBoot->Stall = gOriginal.stall;
  gBoot->SetWatchdogTimer = gOriginal.setWatchdogTimer;
  gBoot->AllocatePool = gOriginal.allocatePool;
  gBoot->FreePool = gOriginal.freePool;
  gBoot->LocateProtocol = gOriginal.locateProtocol;
  gConOut->OutputString = gOriginal.outputString;
  gShell->OpenFileByName = gOriginal.openFileByName;
  gShell->GetFileInfo = gOriginal.getFileInfo;
  gShell->GetFileSize = gOriginal.getFileSize;
  gShell->DeleteFile = gOriginal.deleteFile;
  gShell->WriteFile = gOriginal.writeFile;
  gShell->CloseFile = gOriginal.closeFile;
  gShell->ReadFile = gOriginal.readFile;
  gShell->SetFilePosition = gOriginal.setFilePosition;
  gWitness = nullptr;
}

}  // namespace soak
