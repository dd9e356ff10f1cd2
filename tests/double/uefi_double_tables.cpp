// The firmware's clock (runtime services' GetTime) and its configuration
// tables, where SMBIOS is published. Variables and the reset are in
// uefi_double_variables.cpp; the rest of the runtime services answer
// EFI_UNSUPPORTED.
#include <sys/mman.h>

#include <gtest/gtest.h>

#include <cstring>

#include "tests/double/uefi_double.h"
#include "tests/double/uefi_double_state.h"

namespace dbl::detail {
namespace {

// Entry points and tables share one region below 4 GiB.
constexpr size_t kLowMemory = 64 * 1024;
constexpr size_t kTableOffset = 256;

template <typename... A>
EFI_STATUS EFIAPI Unsupported(A...) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI GetTime(EFI_TIME* time, EFI_TIME_CAPABILITIES* capabilities) {
  State& d = Live();
  if (auto fault = d.Enter(Service::GetTime)) return *fault;
  if (time == nullptr) return EFI_INVALID_PARAMETER;
  *time = d.time;
  if (capabilities != nullptr) *capabilities = {1, 1000000, FALSE};
  return EFI_SUCCESS;
}

uint8_t Checksum(const uint8_t* bytes, size_t length) {
  uint8_t sum = 0;
  for (size_t i = 0; i < length; i++) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(0x100 - sum);
}

void Put16(uint8_t* p, uint64_t v) { p[0] = static_cast<uint8_t>(v), p[1] = static_cast<uint8_t>(v >> 8); }
void Put32(uint8_t* p, uint64_t v) { Put16(p, v), Put16(p + 2, v >> 16); }
void Put64(uint8_t* p, uint64_t v) { Put32(p, v), Put32(p + 4, v >> 32); }

// The 2.1 entry point ("_SM_" ... "_DMI_") at `ep`.
void EntryPoint2(uint8_t* ep, uint64_t table, size_t length, uint16_t version) {
  std::memcpy(ep, "_SM_", 4);
  ep[5] = 0x1F;
  ep[6] = static_cast<uint8_t>(version >> 8), ep[7] = static_cast<uint8_t>(version);
  std::memcpy(ep + 0x10, "_DMI_", 5);
  Put16(ep + 0x16, length);
  Put32(ep + 0x18, table);
  Put16(ep + 0x1C, 2);
  ep[0x15] = Checksum(ep + 0x10, 0x0F);
  ep[4] = Checksum(ep, 0x1F);
}

// The 3.0 entry point ("_SM3_") at `ep`.
void EntryPoint3(uint8_t* ep, uint64_t table, size_t length, uint16_t version) {
  std::memcpy(ep, "_SM3_", 5);
  ep[6] = 0x18;
  ep[7] = static_cast<uint8_t>(version >> 8), ep[8] = static_cast<uint8_t>(version);
  ep[0x0A] = 1;
  Put32(ep + 0x0C, length);
  Put64(ep + 0x10, table);
  ep[5] = Checksum(ep, 0x18);
}

}  // namespace

void FillRuntime(State& d) {
  EFI_RUNTIME_SERVICES& r = d.runtime;
  r.Hdr.Signature = EFI_RUNTIME_SERVICES_SIGNATURE;
  r.Hdr.Revision = EFI_RUNTIME_SERVICES_REVISION;
  r.Hdr.HeaderSize = sizeof(EFI_RUNTIME_SERVICES);
  r.GetTime = GetTime;
  r.SetTime = Unsupported;
  r.GetWakeupTime = Unsupported;
  r.SetWakeupTime = Unsupported;
  r.SetVirtualAddressMap = Unsupported;
  r.ConvertPointer = Unsupported;
  r.GetVariable = Unsupported;
  r.GetNextVariableName = Unsupported;
  r.SetVariable = Unsupported;
  r.GetNextHighMonotonicCount = Unsupported;
  r.UpdateCapsule = Unsupported;
  r.QueryCapsuleCapabilities = Unsupported;
  r.QueryVariableInfo = Unsupported;
  d.time = {2026, 12, 8, 12, 0, 0, 0, 0, EFI_UNSPECIFIED_TIMEZONE, 0, 0};
}

void ReleaseTables(State& d) {
  if (d.lowMemory != nullptr) munmap(d.lowMemory, kLowMemory);
  d.lowMemory = nullptr;
}

}  // namespace dbl::detail

namespace dbl {

void UefiDouble::SetTime(const EFI_TIME& time) { impl_->time = time; }

void UefiDouble::SetSmbios(const std::vector<uint8_t>& structures, Smbios entry, uint16_t version) {
  detail::State& d = *impl_;
  if (structures.size() > detail::kLowMemory - detail::kTableOffset) {
    ADD_FAILURE() << "SMBIOS table too large for the double";
    return;
  }
  if (d.lowMemory == nullptr) {
    void* region = mmap(nullptr, detail::kLowMemory, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    ASSERT_NE(region, MAP_FAILED) << "no memory below 4 GiB for SMBIOS";
    d.lowMemory = static_cast<uint8_t*>(region);
  }
  std::memset(d.lowMemory, 0, detail::kLowMemory);
  uint8_t* table = d.lowMemory + detail::kTableOffset;
  std::memcpy(table, structures.data(), structures.size());
  const auto address = reinterpret_cast<uint64_t>(table);
  EFI_GUID guid2 = SMBIOS_TABLE_GUID, guid3 = SMBIOS3_TABLE_GUID;
  std::erase_if(d.configuration, [&](const EFI_CONFIGURATION_TABLE& t) {
    return detail::SameGuid(t.VendorGuid, guid2) || detail::SameGuid(t.VendorGuid, guid3);
  });
  if (entry != Smbios::V3) {
    detail::EntryPoint2(d.lowMemory, address, structures.size(), version);
    d.configuration.push_back({guid2, d.lowMemory});
  }
  if (entry != Smbios::V2) {
    detail::EntryPoint3(d.lowMemory + 0x40, address, structures.size(), version);
    d.configuration.push_back({guid3, d.lowMemory + 0x40});
  }
  d.system.NumberOfTableEntries = d.configuration.size();
  d.system.ConfigurationTable = d.configuration.data();
}

std::vector<uint8_t> UefiDouble::SystemInformation(const std::string& serial,
                                                   const std::vector<uint8_t>& uuid) {
  // Type 1, 0x1B bytes formatted: manufacturer (string 1), product (2),
  // version (0), serial (3 when given), UUID, wake-up type, SKU, family.
  std::vector<uint8_t> t(0x1B, 0);
  t[0] = 1, t[1] = 0x1B, t[3] = 0x01;
  t[4] = 1, t[5] = 2, t[7] = serial.empty() ? 0 : 3;
  for (size_t i = 0; i < uuid.size() && i < 16; i++) t[8 + i] = uuid[i];
  t[0x18] = 6;  // power switch
  for (const char* s : {"Pellory Labs", "Bench PC", serial.c_str()}) {
    if (*s == 0) continue;
    for (; *s != 0; s++) t.push_back(static_cast<uint8_t>(*s));
    t.push_back(0);
  }
  t.push_back(0);
  for (uint8_t b : {127, 4, 0x01, 0x00, 0, 0}) t.push_back(b);  // end of table
  return t;
}

}  // namespace dbl
