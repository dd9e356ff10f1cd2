// Events the program makes and checks, and LocateDevicePath, for a network
// start's waits and its card. Events are plain records: the double's HTTP
// signals them; timers are not modelled.
#include <gtest/gtest.h>

#include <algorithm>
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

EFI_STATUS MakeEvent(State& d, UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify, VOID* context,
                     const EFI_GUID* group, EFI_EVENT* event) {
  if (event == nullptr) return EFI_INVALID_PARAMETER;
  if ((type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) != 0 && notify == nullptr) return EFI_INVALID_PARAMETER;
  // A notification runs at TPL_CALLBACK or TPL_NOTIFY, as the standard allows.
  if (notify != nullptr && tpl != TPL_CALLBACK && tpl != TPL_NOTIFY) return EFI_INVALID_PARAMETER;
  if ((type & EVT_TIMER) != 0) return EFI_UNSUPPORTED;  // timers are not modelled
  auto entry = std::make_unique<EventEntry>();
  entry->type = type;
  entry->notify = notify;
  entry->context = context;
  if (group != nullptr) entry->group = GuidKey(*group);
  entry->made = ++d.eventsMade;
  *event = entry.get();
  d.events.emplace(entry.get(), std::move(entry));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CreateEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify, VOID* context, EFI_EVENT* event) {
  State& d = Live();
  if (auto fault = d.Enter(Service::CreateEvent)) return *fault;
  return MakeEvent(d, type, tpl, notify, context, nullptr, event);
}

// A group's events are signalled together; only notify-signal events
// belong in one.
EFI_STATUS EFIAPI CreateEventEx(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify, const VOID* context,
                                const EFI_GUID* group, EFI_EVENT* event) {
  State& d = Live();
  if (auto fault = d.Enter(Service::CreateEventEx)) return *fault;
  if (group != nullptr && type != EVT_NOTIFY_SIGNAL) return EFI_INVALID_PARAMETER;
  return MakeEvent(d, type, tpl, notify, const_cast<VOID*>(context), group, event);
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
  d.boot.CreateEventEx = CreateEventEx;
  d.boot.CheckEvent = CheckEvent;
  d.boot.CloseEvent = CloseEvent;
  d.boot.LocateDevicePath = LocateDevicePath;
}

}  // namespace dbl::detail

namespace dbl {

// The group's events as they are now, oldest first; one that an earlier
// notification closed is skipped, as the firmware would no longer hold it.
int UefiDouble::SignalEventGroup(const EFI_GUID& group) {
  const auto key = detail::GuidKey(group);
  std::vector<std::pair<uint64_t, EFI_EVENT>> members;
  for (const auto& [handle, e] : impl_->events)
    if (e->group == key) members.emplace_back(e->made, handle);
  std::sort(members.begin(), members.end());
  int ran = 0;
  for (const auto& [made, handle] : members) {
    detail::EventEntry* e = detail::FindEvent(*impl_, handle);
    if (e == nullptr || e->made != made) continue;
    e->notify(handle, e->context);
    ran++;
  }
  return ran;
}

int UefiDouble::EventsInGroup(const EFI_GUID& group) const {
  const auto key = detail::GuidKey(group);
  int n = 0;
  for (const auto& [handle, e] : impl_->events) n += e->group == key;
  return n;
}

}  // namespace dbl
