#include "platform/variables.h"

#include "platform/services.h"

namespace {

EFI_RUNTIME_SERVICES* Runtime() { return SystemTable()->RuntimeServices; }

// The firmware names variables in UCS-2.
struct WideName {
  CHAR16 text[32];
  explicit WideName(const char* name) : text{} {
    for (UINTN i = 0; name[i] != 0 && i + 1 < sizeof text / sizeof text[0]; i++)
      text[i] = CHAR16(name[i]);
  }
};

}  // namespace

EFI_STATUS VariableRead(const char* name, char* bytes, UINTN* size) {
  if (Runtime() == nullptr) return EFI_UNSUPPORTED;
  EFI_GUID guid = kPelloryVariableGuid;
  return Runtime()->GetVariable(WideName(name).text, &guid, nullptr, size, bytes);
}

EFI_STATUS VariableWrite(const char* name, const char* bytes, UINTN size, UINT32 attributes) {
  if (Runtime() == nullptr) return EFI_UNSUPPORTED;
  EFI_GUID guid = kPelloryVariableGuid;
  return Runtime()->SetVariable(WideName(name).text, &guid, attributes, size,
                                const_cast<char*>(bytes));
}

// No data deletes a variable whatever attributes it was made with.
EFI_STATUS VariableDelete(const char* name) {
  if (Runtime() == nullptr) return EFI_UNSUPPORTED;
  EFI_GUID guid = kPelloryVariableGuid;
  return Runtime()->SetVariable(WideName(name).text, &guid, 0, 0, nullptr);
}

void ResetMachine(EFI_RESET_TYPE type) {
  if (Runtime() != nullptr) (void)Runtime()->ResetSystem(type, EFI_SUCCESS, 0, nullptr);
}
