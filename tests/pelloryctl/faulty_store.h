// A variable store in front of libefivar's that fails on purpose: the next
// read, write or delete of one variable answers an errno as the kernel would, or
// a read of one, after it was written, shows its last byte changed. Each
// fault fires once. StandIn puts it in place for every test.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "pelloryctl/variables.h"

class FaultyStore final : public VarStore {
 public:
  void Install() { real_ = std::exchange(gVarStore, this); }
  void Remove() { gVarStore = real_; }

  void FailGet(const std::string& name, int error) { fail_get_ = {name, error}; }
  void FailSet(const std::string& name, int error) { fail_set_ = {name, error}; }
  void FailDelete(const std::string& name, int error) { fail_delete_ = {name, error}; }
  void CorruptRead(const std::string& name) {
    corrupt_read_ = name;
    corrupt_armed_ = false;
  }

  Outcome Get(const efi_guid_t& guid, const std::string& name, std::vector<uint8_t>* data, size_t limit,
              bool* present) override;
  Outcome Set(const efi_guid_t& guid, const std::string& name, const std::vector<uint8_t>& data) override;
  Outcome Delete(const efi_guid_t& guid, const std::string& name) override;
  Outcome Names(const efi_guid_t& guid, std::vector<std::string>* names) override {
    return real_->Names(guid, names);
  }

 private:
  struct Fault {
    std::string name;
    int error = 0;
  };
  VarStore* real_ = nullptr;
  Fault fail_get_, fail_set_, fail_delete_;
  std::string corrupt_read_;
  bool corrupt_armed_ = false;  // the variable was written since
};
