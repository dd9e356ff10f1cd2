// Boot services and the console of the double. Every entry is an EFIAPI
// function, as firmware's are, that forwards to the live instance; the
// services the program does not use answer EFI_UNSUPPORTED, so a stray
// call shows as a failing status rather than a jump through null.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/double/uefi_double_state.h"

namespace dbl::detail {
namespace {

// Stubs whose parameter lists are deduced from the table entry they fill.
template <typename... A>
EFI_STATUS EFIAPI Unsupported(A...) {
  return EFI_UNSUPPORTED;
}

template <typename... A>
EFI_STATUS EFIAPI Succeed(A...) {
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI UnsupportedVariadic(EFI_HANDLE*, ...) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI UnsupportedVariadicByValue(EFI_HANDLE, ...) { return EFI_UNSUPPORTED; }

EFI_TPL EFIAPI RaiseTpl(EFI_TPL) { return TPL_APPLICATION; }
VOID EFIAPI RestoreTpl(EFI_TPL) {}
VOID EFIAPI CopyMem(VOID* to, VOID* from, UINTN length) { std::memmove(to, from, length); }
VOID EFIAPI SetMem(VOID* buffer, UINTN size, UINT8 value) { std::memset(buffer, value, size); }

// --- Handle database -------------------------------------------------------

EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE* handle, EFI_GUID* guid,
                                           EFI_INTERFACE_TYPE type, VOID* iface) {
  State& d = Live();
  if (auto fault = d.Enter(Service::InstallProtocolInterface)) return *fault;
  if (handle == nullptr || guid == nullptr || type != EFI_NATIVE_INTERFACE)
    return EFI_INVALID_PARAMETER;
  EFI_HANDLE target = *handle == nullptr ? d.NewHandle() : *handle;
  HandleEntry* entry = d.FindHandle(target);
  if (entry == nullptr || entry->Find(*guid) != nullptr) return EFI_INVALID_PARAMETER;
  entry->protocols.emplace_back(*guid, iface);
  *handle = target;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE type, EFI_GUID* guid, VOID*,
                                     UINTN* count, EFI_HANDLE** buffer) {
  State& d = Live();
  if (auto fault = d.Enter(Service::LocateHandleBuffer)) return *fault;
  if (count == nullptr || buffer == nullptr) return EFI_INVALID_PARAMETER;
  // Cleared before the search, as EDK2 does, so a failed lookup leaves no
  // stale list behind.
  *count = 0;
  *buffer = nullptr;
  if (type == ByRegisterNotify) return EFI_UNSUPPORTED;
  if (type != AllHandles && (type != ByProtocol || guid == nullptr)) return EFI_INVALID_PARAMETER;
  std::vector<EFI_HANDLE> found;
  for (const auto& h : d.handles)
    if (type == AllHandles || h->Find(*guid) != nullptr) found.push_back(h.get());
  if (found.empty()) return EFI_NOT_FOUND;
  void* list = d.PoolTake(EfiBootServicesData, found.size() * sizeof(EFI_HANDLE));
  if (list == nullptr) return EFI_OUT_OF_RESOURCES;
  std::memcpy(list, found.data(), found.size() * sizeof(EFI_HANDLE));
  *count = found.size();
  *buffer = static_cast<EFI_HANDLE*>(list);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI OpenProtocol(EFI_HANDLE handle, EFI_GUID* guid, VOID** iface,
                               EFI_HANDLE agent, EFI_HANDLE controller, UINT32 attributes) {
  State& d = Live();
  if (auto fault = d.Enter(Service::OpenProtocol)) return *fault;
  const bool test = attributes == EFI_OPEN_PROTOCOL_TEST_PROTOCOL;
  if (guid == nullptr || (!test && iface == nullptr)) return EFI_INVALID_PARAMETER;
  HandleEntry* entry = d.FindHandle(handle);
  if (entry == nullptr) return EFI_INVALID_PARAMETER;
  switch (attributes) {
    case EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL:
    case EFI_OPEN_PROTOCOL_GET_PROTOCOL:
    case EFI_OPEN_PROTOCOL_TEST_PROTOCOL:
      break;
    case EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER:
    case EFI_OPEN_PROTOCOL_BY_DRIVER:
    case EFI_OPEN_PROTOCOL_EXCLUSIVE:
    case EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE:
      return EFI_UNSUPPORTED;  // the driver model is not part of the double
    default:
      return EFI_INVALID_PARAMETER;
  }
  void* found = entry->Find(*guid);
  if (!test) *iface = found;
  if (found == nullptr) return EFI_UNSUPPORTED;
  // As in EDK2, the agent is not checked here; CloseProtocol checks it.
  if (!test) d.opens.push_back({handle, *guid, agent, controller});
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CloseProtocol(EFI_HANDLE handle, EFI_GUID* guid, EFI_HANDLE agent,
                                EFI_HANDLE controller) {
  State& d = Live();
  if (auto fault = d.Enter(Service::CloseProtocol)) return *fault;
  if (guid == nullptr) return EFI_INVALID_PARAMETER;
  HandleEntry* entry = d.FindHandle(handle);
  if (entry == nullptr || d.FindHandle(agent) == nullptr) return EFI_INVALID_PARAMETER;
  if (controller != nullptr && d.FindHandle(controller) == nullptr) return EFI_INVALID_PARAMETER;
  if (entry->Find(*guid) == nullptr) return EFI_NOT_FOUND;
  // EDK2 removes every open of this agent and controller at once.
  const auto removed = std::erase_if(d.opens, [&](const OpenEntry& o) {
    return o.handle == handle && SameGuid(o.guid, *guid) && o.agent == agent &&
           o.controller == controller;
  });
  return removed == 0 ? EFI_NOT_FOUND : EFI_SUCCESS;
}

EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE handle, EFI_GUID* guid, VOID** iface) {
  State& d = Live();
  if (auto fault = d.Enter(Service::HandleProtocol)) return *fault;
  if (guid == nullptr || iface == nullptr) return EFI_INVALID_PARAMETER;
  HandleEntry* entry = d.FindHandle(handle);
  if (entry == nullptr) return EFI_INVALID_PARAMETER;
  *iface = entry->Find(*guid);
  return *iface == nullptr ? EFI_UNSUPPORTED : EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateProtocol(EFI_GUID* guid, VOID* registration, VOID** iface) {
  State& d = Live();
  if (auto fault = d.Enter(Service::LocateProtocol)) return *fault;
  if (iface == nullptr) return EFI_INVALID_PARAMETER;
  *iface = nullptr;
  if (guid == nullptr) return EFI_NOT_FOUND;
  if (registration != nullptr) return EFI_UNSUPPORTED;  // notifications are not modelled
  *iface = d.FirstInterface(*guid);
  return *iface == nullptr ? EFI_NOT_FOUND : EFI_SUCCESS;
}

// --- Clock and pool --------------------------------------------------------

EFI_STATUS EFIAPI Stall(UINTN micros) {
  State& d = Live();
  if (auto fault = d.Enter(Service::Stall)) return *fault;
  d.micros += micros;
  ++d.stallCalls;
  ++d.stallsByLength[micros];
  if (d.watchdogSeconds != 0 && d.micros >= d.watchdogArmedAt + d.watchdogSeconds * 1000000)
    d.watchdogFired = true;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetWatchdogTimer(UINTN seconds, UINT64, UINTN dataSize, CHAR16* data) {
  State& d = Live();
  if (auto fault = d.Enter(Service::SetWatchdogTimer)) return *fault;
  if (dataSize != 0 && data == nullptr) return EFI_INVALID_PARAMETER;
  d.watchdogSeconds = seconds;
  d.watchdogArmedAt = d.micros;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID** buffer) {
  State& d = Live();
  if (auto fault = d.Enter(Service::AllocatePool)) return *fault;
  const auto kind = static_cast<unsigned>(type);
  if (buffer == nullptr || kind >= EfiMaxMemoryType || kind == EfiConventionalMemory)
    return EFI_INVALID_PARAMETER;
  void* block = d.PoolTake(type, size);
  if (block == nullptr) return EFI_OUT_OF_RESOURCES;
  *buffer = block;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FreePool(VOID* buffer) {
  State& d = Live();
  if (auto fault = d.Enter(Service::FreePool)) return *fault;
  if (!d.PoolGive(buffer)) {
    ADD_FAILURE() << "FreePool of " << buffer
                  << ", which the pool did not hand out or has already taken back";
    return EFI_INVALID_PARAMETER;
  }
  return EFI_SUCCESS;
}

// --- Console -----------------------------------------------------------------

EFI_STATUS EFIAPI OutputString(SIMPLE_TEXT_OUTPUT_INTERFACE* self, CHAR16* text) {
  State& d = Live();
  if (auto fault = d.Enter(Service::OutputString)) return *fault;
  if (self != &d.conOut) {
    ADD_FAILURE() << "OutputString called with a This that is not the console";
    return EFI_INVALID_PARAMETER;
  }
  if (text == nullptr) return EFI_INVALID_PARAMETER;
  std::u16string line;
  for (const CHAR16* c = text; *c != 0; ++c) line.push_back(static_cast<char16_t>(*c));
  d.output.push_back(std::move(line));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI QueryMode(SIMPLE_TEXT_OUTPUT_INTERFACE*, UINTN mode, UINTN* columns,
                            UINTN* rows) {
  if (mode != 0) return EFI_UNSUPPORTED;
  if (columns != nullptr) *columns = 80;
  if (rows != nullptr) *rows = 25;
  return EFI_SUCCESS;
}

// The first typed key whose time has come, once.
EFI_STATUS EFIAPI ReadKeyStroke(SIMPLE_INPUT_INTERFACE* self, EFI_INPUT_KEY* key) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ReadKeyStroke)) return *fault;
  if (self != &d.conIn || key == nullptr) return EFI_INVALID_PARAMETER;
  if (d.keys.empty() || d.keys.front().at > d.micros) return EFI_NOT_READY;
  key->ScanCode = 0;
  key->UnicodeChar = d.keys.front().character;
  d.keys.pop_front();
  return EFI_SUCCESS;
}

}  // namespace

void FillConsole(State& d) {
  d.conOutMode.MaxMode = 1;
  d.conOutMode.CursorVisible = TRUE;
  SIMPLE_TEXT_OUTPUT_INTERFACE& out = d.conOut;
  out.Reset = Succeed;
  out.OutputString = OutputString;
  out.TestString = Succeed;
  out.QueryMode = QueryMode;
  out.SetMode = Succeed;
  out.SetAttribute = Succeed;
  out.ClearScreen = Succeed;
  out.SetCursorPosition = Succeed;
  out.EnableCursor = Succeed;
  out.Mode = &d.conOutMode;
  d.conIn.Reset = Succeed;
  d.conIn.ReadKeyStroke = ReadKeyStroke;
}

void FillBootServices(State& d) {
  EFI_BOOT_SERVICES& b = d.boot;
  b.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  b.Hdr.Revision = EFI_BOOT_SERVICES_REVISION;
  b.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  b.RaiseTPL = RaiseTpl;
  b.RestoreTPL = RestoreTpl;
  b.AllocatePages = Unsupported;
  b.FreePages = Unsupported;
  b.GetMemoryMap = Unsupported;
  b.AllocatePool = AllocatePool;
  b.FreePool = FreePool;
  b.CreateEvent = Unsupported;
  b.SetTimer = Unsupported;
  b.WaitForEvent = Unsupported;
  b.SignalEvent = Unsupported;
  b.CloseEvent = Unsupported;
  b.CheckEvent = Unsupported;
  b.InstallProtocolInterface = InstallProtocolInterface;
  b.ReinstallProtocolInterface = Unsupported;
  b.UninstallProtocolInterface = Unsupported;
  b.HandleProtocol = HandleProtocol;
  b.PCHandleProtocol = Unsupported;
  b.RegisterProtocolNotify = Unsupported;
  b.LocateHandle = Unsupported;
  b.LocateDevicePath = Unsupported;
  b.InstallConfigurationTable = Unsupported;
  b.LoadImage = Unsupported;
  b.StartImage = Unsupported;
  b.Exit = Unsupported;
  b.UnloadImage = Unsupported;
  b.ExitBootServices = Unsupported;
  b.GetNextMonotonicCount = Unsupported;
  b.Stall = Stall;
  b.SetWatchdogTimer = SetWatchdogTimer;
  b.ConnectController = Unsupported;
  b.DisconnectController = Unsupported;
  b.OpenProtocol = OpenProtocol;
  b.CloseProtocol = CloseProtocol;
  b.OpenProtocolInformation = Unsupported;
  b.ProtocolsPerHandle = Unsupported;
  b.LocateHandleBuffer = LocateHandleBuffer;
  b.LocateProtocol = LocateProtocol;
  b.InstallMultipleProtocolInterfaces = UnsupportedVariadic;
  b.UninstallMultipleProtocolInterfaces = UnsupportedVariadicByValue;
  b.CalculateCrc32 = Unsupported;
  b.CopyMem = CopyMem;
  b.SetMem = SetMem;
  b.CreateEventEx = Unsupported;
}

}  // namespace dbl::detail
