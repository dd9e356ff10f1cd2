#include "platform/variables.h"

#include "platform/services.h"

namespace {

EFI_RUNTIME_SERVICES* Runtime() { return SystemTable()->RuntimeServices; }

}  // namespace

EFI_STATUS VariableRead(const char16_t* name, char* bytes, UINTN* size) {
  if (Runtime() == nullptr) return EFI_UNSUPPORTED;
  EFI_GUID guid = kPelloryVariableGuid;
  return Runtime()->GetVariable(Wide(name), &guid, nullptr, size, bytes);
}

EFI_STATUS VariableWrite(const char16_t* name, const char* bytes, UINTN size) {
  if (Runtime() == nullptr) return EFI_UNSUPPORTED;
  EFI_GUID guid = kPelloryVariableGuid;
  return Runtime()->SetVariable(Wide(name), &guid, kPelloryVariableAttributes, size,
                                const_cast<char*>(bytes));
}

// No data deletes a variable whatever attributes it was made with.
EFI_STATUS VariableDelete(const char16_t* name) {
  if (Runtime() == nullptr) return EFI_UNSUPPORTED;
  EFI_GUID guid = kPelloryVariableGuid;
  return Runtime()->SetVariable(Wide(name), &guid, 0, 0, nullptr);
}

void ResetMachine(EFI_RESET_TYPE type) {
  if (Runtime() != nullptr) (void)Runtime()->ResetSystem(type, EFI_SUCCESS, 0, nullptr);
}
