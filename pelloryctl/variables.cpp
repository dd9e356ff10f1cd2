#include "pelloryctl/variables.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

class Libefivar final : public VarStore {
 public:
  VarStatus Get(const efi_guid_t& guid, const std::string& name, std::vector<uint8_t>* data, size_t limit,
                int* error) override {
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
    return VarStatus::Ok;
  }

  int Set(const efi_guid_t& guid, const std::string& name, const std::vector<uint8_t>& data) override {
    std::vector<uint8_t> copy = data;  // libefivar takes a non-const pointer
    uint8_t none = 0;
    errno = 0;
    if (efi_set_variable(guid, name.c_str(), copy.empty() ? &none : copy.data(), copy.size(),
                         kVariableAttributes, 0644) < 0)
      return errno ? errno : EIO;
    return 0;
  }

  int Delete(const efi_guid_t& guid, const std::string& name) override {
    errno = 0;
    if (efi_del_variable(guid, name.c_str()) < 0 && errno != ENOENT) return errno ? errno : EIO;
    return 0;
  }

  bool Names(const efi_guid_t& guid, std::vector<std::string>* names) override {
    efi_guid_t* each_guid = nullptr;
    char* each_name = nullptr;
    int rc = 0;
    while ((rc = efi_get_next_variable_name(&each_guid, &each_name)) > 0)
      if (memcmp(each_guid, &guid, sizeof guid) == 0) names->push_back(each_name);
    return rc == 0;
  }
};

Libefivar gLibefivar;
VarStore* gStore = &gLibefivar;

}  // namespace

VarStore* UseVarStore(VarStore* store) {
  VarStore* before = gStore;
  gStore = store;
  return before;
}

VarStatus VarGet(const efi_guid_t& guid, const std::string& name, std::vector<uint8_t>* data,
                 size_t limit, int* error) {
  return gStore->Get(guid, name, data, limit, error);
}

Outcome VarSet(const efi_guid_t& guid, const std::string& name, const std::vector<uint8_t>& data) {
  int error = gStore->Set(guid, name, data);
  if (error == ENOSPC) return Fail("not enough room in the firmware's variable store", error);
  if (error) return Fail(name + " can not be written (" + strerror(error) + ")", error);
  return Done();
}

int VarDelete(const efi_guid_t& guid, const std::string& name) { return gStore->Delete(guid, name); }

bool VarNames(const efi_guid_t& guid, std::vector<std::string>* names) { return gStore->Names(guid, names); }

Outcome VarSave(const efi_guid_t& guid, const std::string& name, SavedVar* saved) {
  saved->guid = guid;
  saved->name = name;
  int error = 0;
  VarStatus status = VarGet(guid, name, &saved->data, 65536, &error);
  saved->existed = status == VarStatus::Ok;
  if (status == VarStatus::Failed) return Fail("the firmware's variables can not be read", error);
  return Done();
}

Outcome VarRestore(const SavedVar& saved) {
  // Delete first, so a value of another length comes back exactly.
  if (int error = VarDelete(saved.guid, saved.name))
    return Fail(saved.name + " can not be removed (" + strerror(error) + ")", error);
  if (!saved.existed) return Done();
  return VarSet(saved.guid, saved.name, saved.data);
}
