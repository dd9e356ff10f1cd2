// The firmware's variables, through libefivar (efivarfs). libefivar clears
// and restores the immutable flag of a non-standard variable itself when it
// rewrites or deletes one, so nothing here calls FS_IOC_SETFLAGS.
#pragma once

#include "contract/contract.h"
#include "pelloryctl/efivar_c.h"
#include "pelloryctl/outcome.h"

#include <cstdint>
#include <string>
#include <vector>

// libefivar keeps the GUID's last eight bytes as a 16-bit word read in
// memory order and six bytes.
inline constexpr efi_guid_t kPelloryGuid = {
    contract::kVendorGuid.data1, contract::kVendorGuid.data2, contract::kVendorGuid.data3,
    uint16_t(contract::kVendorGuid.data4[0] | contract::kVendorGuid.data4[1] << 8),
    {contract::kVendorGuid.data4[2], contract::kVendorGuid.data4[3], contract::kVendorGuid.data4[4],
     contract::kVendorGuid.data4[5], contract::kVendorGuid.data4[6], contract::kVendorGuid.data4[7]}};
inline constexpr uint32_t kVariableAttributes = EFI_VARIABLE_NON_VOLATILE |
                                                EFI_VARIABLE_BOOTSERVICE_ACCESS |
                                                EFI_VARIABLE_RUNTIME_ACCESS;
inline constexpr const char* kRequestName = contract::kRequestVariable;
inline constexpr const char* kResultName = contract::kResultVariable;
inline constexpr char kBootNextName[] = "BootNext";

// One variable's value as it was, so a failed schedule can put it back.
struct SavedVar {
  efi_guid_t guid;
  std::string name;
  bool existed = false;
  std::vector<uint8_t> data;
};

// Where the firmware's variables are kept. The command's own store is
// libefivar's (efivarfs); pelloryctl's tests put one in front of it that
// fails on purpose (tests/pelloryctl/faulty_store.h), as tests/double does
// for the program's firmware. Each step fails with the line a user reads.
class VarStore {
 public:
  // *data empty when the variable is absent; *present false only then.
  // Fails when it can not be read or is longer than limit (EFBIG).
  virtual Outcome Get(const efi_guid_t& guid, const std::string& name, std::vector<uint8_t>* data,
                      size_t limit, bool* present) = 0;
  virtual Outcome Set(const efi_guid_t& guid, const std::string& name, const std::vector<uint8_t>& data) = 0;
  virtual Outcome Delete(const efi_guid_t& guid, const std::string& name) = 0;  // absent is fine
  // The names of every variable of guid, e.g. to find Boot#### entries.
  virtual Outcome Names(const efi_guid_t& guid, std::vector<std::string>* names) = 0;

 protected:
  ~VarStore() = default;
};
// The store the functions below use: libefivar's, unless a test puts its
// own in front.
extern VarStore* gVarStore;

// The lines a failed read, write (ENOSPC: the firmware's store is full) or
// removal of `what` reads as.
Outcome NotRead(const std::string& what, int error);
Outcome NotWritten(const std::string& what, int error);
Outcome NotRemoved(const std::string& what, int error);

Outcome VarGet(const efi_guid_t& guid, const std::string& name, std::vector<uint8_t>* data, size_t limit,
               bool* present = nullptr);
Outcome VarSet(const efi_guid_t& guid, const std::string& name, const std::vector<uint8_t>& data);
Outcome VarDelete(const efi_guid_t& guid, const std::string& name);
Outcome VarNames(const efi_guid_t& guid, std::vector<std::string>* names);
// A failed read of the value fails the save.
Outcome VarSave(const efi_guid_t& guid, const std::string& name, SavedVar* saved);
Outcome VarRestore(const SavedVar& saved);
// VarRestore for a command that takes back each of its changes even after
// one fails: the first failure turns *all into "not every change could be
// taken back".
void PutBack(const SavedVar& saved, Outcome* all);
