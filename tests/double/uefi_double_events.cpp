// Events the program makes and checks, and LocateDevicePath, for a network
// start's waits and its card. Events are plain records: the double's HTTP
// signals them; timers are not modelled.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/double/uefi_double_state.h"

namespace dbl::detail {

EventEntry* FindEvent(State& d, EFI_EVENT event) {
  auto it = d.events.find(event);
  return it == d.events.end() ? nullptr : it->second.get();
}

void Signal(State& d, EFI_EVENT event) {
  if (EventEntry* e = FindEvent(d, event)) e->signaled = true;
}

namespace {

// --- Events ----------------------------------------------------------------------

EFI_STATUS EFIAPI CreateEvent(UINT32 type, EFI_TPL, EFI_EVENT_NOTIFY notify, VOID*, EFI_EVENT* event) {
  State& d = Live();
  if (auto fault = d.Enter(Service::CreateEvent)) return *fault;
  if (event == nullptr) return EFI_INVALID_PARAMETER;
  if ((type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) != 0 && notify == nullptr) return EFI_INVALID_PARAMETER;
  if ((type & EVT_TIMER) != 0) return EFI_UNSUPPORTED;  // timers are not modelled
  auto entry = std::make_unique<EventEntry>(EventEntry{type});
  *event = entry.get();
  d.events.emplace(entry.get(), std::move(entry));
  return EFI_SUCCESS;
}

// As the standard says: a notify-signal event cannot be checked.
EFI_STATUS EFIAPI CheckEvent(EFI_EVENT event) {
  State& d = Live();
  if (auto fault = d.Enter(Service::CheckEvent)) return *fault;
  EventEntry* e = FindEvent(d, event);
  if (e == nullptr || (e->type & EVT_NOTIFY_SIGNAL) != 0) return EFI_INVALID_PARAMETER;
  if (!e->signaled) return EFI_NOT_READY;
  e->signaled = false;
  return EFI_SUCCESS;
}

bool Holds(const State& d, EFI_EVENT event) {
  for (const auto& c : d.httpChildren)
    for (const PendingToken& p : c->pending)
      if (p.token->Event == event) return true;
  return false;
}

EFI_STATUS EFIAPI CloseEvent(EFI_EVENT event) {
  State& d = Live();
  if (auto fault = d.Enter(Service::CloseEvent)) return *fault;
  if (FindEvent(d, event) == nullptr) {
    ADD_FAILURE() << "CloseEvent of an event the double did not make or has already closed";
    return EFI_INVALID_PARAMETER;
  }
  if (Holds(d, event)) ADD_FAILURE() << "CloseEvent of an event a pending HTTP token still holds";
  d.events.erase(event);
  return EFI_SUCCESS;
}

// --- Device paths --------------------------------------------------------------

size_t PathSize(const uint8_t* path) {
  size_t size = 0;
  while (path[size] != END_DEVICE_PATH_TYPE) size += path[size + 2] | path[size + 3] << 8;
  return size;
}

// The handle carrying `guid` whose path is the longest whole-node prefix
// of *path; *path moves past that prefix.
EFI_STATUS EFIAPI LocateDevicePath(EFI_GUID* guid, EFI_DEVICE_PATH_PROTOCOL** path, EFI_HANDLE* device) {
  State& d = Live();
  if (auto fault = d.Enter(Service::LocateDevicePath)) return *fault;
  if (guid == nullptr || path == nullptr || *path == nullptr || device == nullptr) return EFI_INVALID_PARAMETER;
  const auto* source = reinterpret_cast<const uint8_t*>(*path);
  const size_t sourceSize = PathSize(source);
  size_t best = 0;
  EFI_HANDLE found = nullptr;
  for (const auto& h : d.handles) {
    const auto* own = static_cast<const uint8_t*>(h->Find(kDevicePathGuid));
    if (own == nullptr || h->Find(*guid) == nullptr) continue;
    const size_t size = PathSize(own);
    if (size > sourceSize || std::memcmp(own, source, size) != 0) continue;
    if (found == nullptr || size > best) best = size, found = h.get();
  }
  if (found == nullptr) return EFI_NOT_FOUND;
  *device = found;
  *path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL*>(const_cast<uint8_t*>(source + best));
  return EFI_SUCCESS;
}

}  // namespace

void FillEvents(State& d) {
  d.boot.CreateEvent = CreateEvent;
  d.boot.CheckEvent = CheckEvent;
  d.boot.CloseEvent = CloseEvent;
  d.boot.LocateDevicePath = LocateDevicePath;
}

}  // namespace dbl::detail
