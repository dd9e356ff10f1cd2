// The firmware's variable store and its reset, as the runtime services
// serve them: one store of name and vendor GUID to data and attributes,
// with room that can run out and a store that can be write-protected.
// ResetSystem does not return on a real machine: the double records it,
// returns, and fails the test on any later service call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/double/uefi_double_state.h"

namespace dbl::detail {
namespace {

constexpr uint32_t kKnownAttributes = EFI_VARIABLE_NON_VOLATILE |
                                      EFI_VARIABLE_BOOTSERVICE_ACCESS |
                                      EFI_VARIABLE_RUNTIME_ACCESS;

std::u16string NameOf(const CHAR16* name) {
  std::u16string text;
  for (const CHAR16* c = name; *c != 0; ++c) text.push_back(static_cast<char16_t>(*c));
  return text;
}

size_t StoreBytes(const State& d) {
  size_t bytes = 0;
  for (const auto& [key, v] : d.variables) bytes += v.data.size();
  return bytes;
}

EFI_STATUS EFIAPI GetVariable(CHAR16* name, EFI_GUID* guid, UINT32* attributes, UINTN* size,
                              VOID* data) {
  State& d = Live();
  if (auto fault = d.Enter(Service::GetVariable)) return *fault;
  if (name == nullptr || guid == nullptr || size == nullptr) return EFI_INVALID_PARAMETER;
  const auto found = d.variables.find({NameOf(name), GuidKey(*guid)});
  if (found == d.variables.end()) return EFI_NOT_FOUND;
  const Variable& v = found->second;
  if (*size < v.data.size()) {
    *size = v.data.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  if (data == nullptr) return EFI_INVALID_PARAMETER;
  std::memcpy(data, v.data.data(), v.data.size());
  *size = v.data.size();
  if (attributes != nullptr) *attributes = v.attributes;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetVariable(CHAR16* name, EFI_GUID* guid, UINT32 attributes, UINTN size,
                              VOID* data) {
  State& d = Live();
  if (auto fault = d.Enter(Service::SetVariable)) return *fault;
  if (name == nullptr || *name == 0 || guid == nullptr) return EFI_INVALID_PARAMETER;
  if (size != 0 && data == nullptr) return EFI_INVALID_PARAMETER;
  if ((attributes & ~kKnownAttributes) != 0) return EFI_UNSUPPORTED;
  // Runtime access needs boot-service access, as the UEFI rules require.
  if ((attributes & EFI_VARIABLE_RUNTIME_ACCESS) != 0 &&
      (attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0)
    return EFI_INVALID_PARAMETER;
  if (d.variablesReadOnly) return EFI_WRITE_PROTECTED;
  const VariableKey key{NameOf(name), GuidKey(*guid)};
  const auto found = d.variables.find(key);
  const bool deletion = size == 0 || attributes == 0;
  if (deletion) {
    if (found == d.variables.end()) return EFI_NOT_FOUND;
    d.variables.erase(found);
    d.variableWrites.push_back({key.first, *guid, "", 0});
    return EFI_SUCCESS;
  }
  // An existing variable keeps its attributes (EDK2 refuses a change).
  if (found != d.variables.end() && found->second.attributes != attributes)
    return EFI_INVALID_PARAMETER;
  const size_t old = found == d.variables.end() ? 0 : found->second.data.size();
  if (StoreBytes(d) - old + size > d.variableRoom) return EFI_OUT_OF_RESOURCES;
  Variable& v = d.variables[key];
  v.data.assign(static_cast<const char*>(data), size);
  v.attributes = attributes;
  d.variableWrites.push_back({key.first, *guid, v.data, attributes});
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ResetSystem(EFI_RESET_TYPE type, EFI_STATUS, UINTN, CHAR16*) {
  State& d = Live();
  if (auto fault = d.Enter(Service::ResetSystem)) return *fault;
  d.reset = type;
  return EFI_SUCCESS;
}

}  // namespace

std::array<uint8_t, 16> GuidKey(const EFI_GUID& guid) {
  std::array<uint8_t, 16> key{};
  std::memcpy(key.data(), &guid, sizeof guid);
  return key;
}

void FillVariables(State& d) {
  d.runtime.GetVariable = GetVariable;
  d.runtime.SetVariable = SetVariable;
  d.runtime.ResetSystem = ResetSystem;
}

}  // namespace dbl::detail

namespace dbl {

void UefiDouble::PutVariable(const std::u16string& name, const EFI_GUID& guid,
                             const std::string& data, uint32_t attributes) {
  impl_->variables[{name, detail::GuidKey(guid)}] = {data, attributes};
}

bool UefiDouble::HasVariable(const std::u16string& name, const EFI_GUID& guid) const {
  return impl_->variables.count({name, detail::GuidKey(guid)}) != 0;
}

std::string UefiDouble::VariableData(const std::u16string& name, const EFI_GUID& guid) const {
  const auto found = impl_->variables.find({name, detail::GuidKey(guid)});
  return found == impl_->variables.end() ? std::string() : found->second.data;
}

uint32_t UefiDouble::VariableAttributes(const std::u16string& name, const EFI_GUID& guid) const {
  const auto found = impl_->variables.find({name, detail::GuidKey(guid)});
  return found == impl_->variables.end() ? 0 : found->second.attributes;
}

const std::vector<VariableWrite>& UefiDouble::VariableWrites() const {
  return impl_->variableWrites;
}

void UefiDouble::SetVariableRoom(size_t bytes) { impl_->variableRoom = bytes; }
void UefiDouble::SetVariablesReadOnly(bool readOnly) { impl_->variablesReadOnly = readOnly; }

std::optional<EFI_RESET_TYPE> UefiDouble::Reset() const { return impl_->reset; }

}  // namespace dbl
