#include "tests/pelloryctl/faulty_store.h"

namespace {

// A fault fires once, on the first call that names its variable.
template <typename Fault>
int Injected(Fault* fault, const std::string& name) {
  if (fault->name.empty() || name != fault->name) return 0;
  fault->name.clear();
  return fault->error;
}

}  // namespace

VarStatus FaultyStore::Get(const efi_guid_t& guid, const std::string& name, std::vector<uint8_t>* data,
                           size_t limit, int* error) {
  const VarStatus status = real_->Get(guid, name, data, limit, error);
  if (status == VarStatus::Ok && corrupt_armed_ && name == corrupt_read_ && !data->empty()) {
    data->back() ^= 0x01;
    corrupt_armed_ = false;
  }
  return status;
}

int FaultyStore::Set(const efi_guid_t& guid, const std::string& name, const std::vector<uint8_t>& data) {
  if (int fault = Injected(&fail_set_, name)) return fault;
  const int error = real_->Set(guid, name, data);
  if (error == 0 && name == corrupt_read_) corrupt_armed_ = true;
  return error;
}

int FaultyStore::Delete(const efi_guid_t& guid, const std::string& name) {
  if (int fault = Injected(&fail_delete_, name)) return fault;
  return real_->Delete(guid, name);
}
