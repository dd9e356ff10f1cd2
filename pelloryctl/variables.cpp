#include "pelloryctl/variables.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

std::string gFailWriteName;
int gFailWriteError = 0;
std::string gCorruptReadName;

int InjectedWriteFault(const std::string& name) {
  if (gFailWriteName.empty() || name != gFailWriteName) return 0;
  gFailWriteName.clear();
  return gFailWriteError;
}

}  // namespace

void VarsFailWrite(const std::string& name, int error) {
  gFailWriteName = name;
  gFailWriteError = error;
}
void VarsCorruptRead(const std::string& name) { gCorruptReadName = name; }
void VarsClearFaults() {
  gFailWriteName.clear();
  gCorruptReadName.clear();
}

VarStatus VarGet(const efi_guid_t& guid, const std::string& name, std::vector<uint8_t>* data,
                 size_t limit, int* error) {
  uint8_t* bytes = nullptr;
  size_t size = 0;
  uint32_t attributes = 0;
  errno = 0;
  if (efi_get_variable(guid, name.c_str(), &bytes, &size, &attributes) < 0) {
    *error = errno;
    return errno == ENOENT ? VarStatus::Absent : VarStatus::Failed;
  }
  bool fits = size <= limit;
  if (fits) data->assign(bytes, bytes + size);
  free(bytes);
  if (!fits) {
    *error = EFBIG;
    return VarStatus::Failed;
  }
  if (name == gCorruptReadName && !data->empty()) data->back() ^= 0x01;
  return VarStatus::Ok;
}

int VarSet(const efi_guid_t& guid, const std::string& name, const std::vector<uint8_t>& data) {
  if (int fault = InjectedWriteFault(name)) return fault;
  std::vector<uint8_t> copy = data;  // libefivar takes a non-const pointer
  uint8_t none = 0;
  errno = 0;
  if (efi_set_variable(guid, name.c_str(), copy.empty() ? &none : copy.data(), copy.size(),
                       kVariableAttributes, 0644) < 0)
    return errno ? errno : EIO;
  return 0;
}

int VarDelete(const efi_guid_t& guid, const std::string& name) {
  if (int fault = InjectedWriteFault(name)) return fault;
  errno = 0;
  if (efi_del_variable(guid, name.c_str()) < 0 && errno != ENOENT) return errno ? errno : EIO;
  return 0;
}

bool VarSave(const efi_guid_t& guid, const std::string& name, SavedVar* saved) {
  saved->guid = guid;
  saved->name = name;
  int error = 0;
  VarStatus status = VarGet(guid, name, &saved->data, 65536, &error);
  saved->existed = status == VarStatus::Ok;
  return status != VarStatus::Failed;
}

int VarRestore(const SavedVar& saved) {
  // Delete first, so a value of another length comes back exactly.
  int error = VarDelete(saved.guid, saved.name);
  if (error || !saved.existed) return error;
  return VarSet(saved.guid, saved.name, saved.data);
}

bool VarNames(const efi_guid_t& guid, std::vector<std::string>* names) {
  efi_guid_t* each_guid = nullptr;
  char* each_name = nullptr;
  int rc = 0;
  while ((rc = efi_get_next_variable_name(&each_guid, &each_name)) > 0)
    if (memcmp(each_guid, &guid, sizeof guid) == 0) names->push_back(each_name);
  return rc == 0;
}
