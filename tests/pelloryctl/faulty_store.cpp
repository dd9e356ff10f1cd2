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

Outcome FaultyStore::Get(const efi_guid_t& guid, const std::string& name, std::vector<uint8_t>* data, size_t limit,
                         bool* present) {
  if (int fault = Injected(&fail_get_, name)) {
    data->clear();
    *present = true;
    return NotRead(name, fault);
  }
  Outcome read = real_->Get(guid, name, data, limit, present);
  if (read && corrupt_armed_ && name == corrupt_read_ && !data->empty()) {
    data->back() ^= 0x01;
    corrupt_armed_ = false;
  }
  return read;
}

Outcome FaultyStore::Set(const efi_guid_t& guid, const std::string& name, const std::vector<uint8_t>& data) {
  if (int fault = Injected(&fail_set_, name)) return NotWritten(name, fault);
  // efivarfs replaces a variable whole at each write (one SetVariable); a
  // plain folder would keep the tail of a longer old value behind a
  // shorter new one, so the old one goes first.
  if (Outcome gone = real_->Delete(guid, name); !gone) return NotWritten(name, gone.error);
  Outcome set = real_->Set(guid, name, data);
  if (set && name == corrupt_read_) corrupt_armed_ = true;
  return set;
}

Outcome FaultyStore::Delete(const efi_guid_t& guid, const std::string& name) {
  if (int fault = Injected(&fail_delete_, name)) return NotRemoved(name, fault);
  return real_->Delete(guid, name);
}
