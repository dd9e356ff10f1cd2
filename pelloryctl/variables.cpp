#include "pelloryctl/variables.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

class Libefivar final : public VarStore {
 public:
  Outcome Get(const efi_guid_t& guid, const std::string& name, std::vector<uint8_t>* data, size_t limit,
              bool* present) override {
    uint8_t* bytes = nullptr;
    size_t size = 0;
    uint32_t attributes = 0;
    data->clear();
    errno = 0;
    const bool read = efi_get_variable(guid, name.c_str(), &bytes, &size, &attributes) >= 0;
    *present = read || errno != ENOENT;
    if (!read) return *present ? NotRead(name, errno) : Done();
    const bool fits = size <= limit;
    if (fits) data->assign(bytes, bytes + size);
    free(bytes);
    if (!fits) return Fail(name + " is longer than " + std::to_string(limit) + " bytes", EFBIG);
    return Done();
  }

  Outcome Set(const efi_guid_t& guid, const std::string& name, const std::vector<uint8_t>& data) override {
    std::vector<uint8_t> copy = data;  // libefivar takes a non-const pointer
    uint8_t none = 0;
    errno = 0;
    if (efi_set_variable(guid, name.c_str(), copy.empty() ? &none : copy.data(), copy.size(),
                         kVariableAttributes, 0644) < 0)
      return NotWritten(name, errno ? errno : EIO);
    return Done();
  }

  Outcome Delete(const efi_guid_t& guid, const std::string& name) override {
    errno = 0;
    if (efi_del_variable(guid, name.c_str()) < 0 && errno != ENOENT) return NotRemoved(name, errno ? errno : EIO);
    return Done();
  }

  Outcome Names(const efi_guid_t& guid, std::vector<std::string>* names) override {
    efi_guid_t* each_guid = nullptr;
    char* each_name = nullptr;
    int rc = 0;
    errno = 0;
    while ((rc = efi_get_next_variable_name(&each_guid, &each_name)) > 0)
      if (memcmp(each_guid, &guid, sizeof guid) == 0) names->push_back(each_name);
    if (rc != 0) return Fail("the firmware's variables can not be listed", errno);
    return Done();
  }
};

Libefivar gLibefivar;

}  // namespace

VarStore* gVarStore = &gLibefivar;

Outcome NotRead(const std::string& what, int error) { return Fail(what + " can not be read", error); }

Outcome NotWritten(const std::string& what, int error) {
  if (error == ENOSPC) return Fail("not enough room in the firmware's variable store", error);
  return Fail(what + " can not be written (" + strerror(error) + ")", error);
}

Outcome NotRemoved(const std::string& what, int error) {
  return Fail(what + " can not be removed (" + strerror(error) + ")", error);
}

Outcome VarGet(const efi_guid_t& guid, const std::string& name, std::vector<uint8_t>* data, size_t limit,
               bool* present) {
  bool there = false;
  return gVarStore->Get(guid, name, data, limit, present ? present : &there);
}

Outcome VarSet(const efi_guid_t& guid, const std::string& name, const std::vector<uint8_t>& data) {
  return gVarStore->Set(guid, name, data);
}

Outcome VarDelete(const efi_guid_t& guid, const std::string& name) { return gVarStore->Delete(guid, name); }

Outcome VarNames(const efi_guid_t& guid, std::vector<std::string>* names) { return gVarStore->Names(guid, names); }

Outcome VarSave(const efi_guid_t& guid, const std::string& name, SavedVar* saved) {
  saved->guid = guid;
  saved->name = name;
  Outcome read = VarGet(guid, name, &saved->data, 65536, &saved->existed);
  if (!read) return Fail("the firmware's variables can not be read", read.error);
  return Done();
}

Outcome VarRestore(const SavedVar& saved) {
  // Delete first, so a value of another length comes back exactly.
  if (Outcome gone = VarDelete(saved.guid, saved.name); !gone) return gone;
  if (!saved.existed) return Done();
  return VarSet(saved.guid, saved.name, saved.data);
}

void PutBack(const SavedVar& saved, Outcome* all) {
  if (Outcome put = VarRestore(saved); !put && *all) *all = Fail("not every change could be taken back", put.error);
}
