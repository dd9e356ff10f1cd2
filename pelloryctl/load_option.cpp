#include "pelloryctl/load_option.h"


#include <cerrno>
#include <cstdio>
#include <set>

#include "pelloryctl/efivar_c.h"
#include "pelloryctl/variables.h"

Outcome MakeLoadOption(const Esp& esp, const std::string& file, const std::vector<uint8_t>& data,
                       std::vector<uint8_t>* option) {
  const Outcome refused = Fail("the boot entry's load option can not be built");
  uint8_t path[512];
  uint8_t signature[16];
  for (int i = 0; i < 16; ++i) signature[i] = esp.unique_guid[i];
  std::string name_text = file;  // libefiboot takes a non-const pointer
  std::vector<uint8_t> data_copy = data;
  ssize_t hd = efidp_make_hd(path, sizeof path, esp.partition, esp.start, esp.size, signature,
                             EFIDP_HD_FORMAT_GPT, EFIDP_HD_SIGNATURE_GUID);
  if (hd <= 0) return refused;
  ssize_t name = efidp_make_file(path + hd, ssize_t(sizeof path) - hd, name_text.data());
  if (name <= 0) return refused;
  ssize_t end = efidp_make_end_entire(path + hd + name, ssize_t(sizeof path) - hd - name);
  if (end <= 0) return refused;
  unsigned char description[] = "Pellory firmware update";
  uint8_t* extra = data_copy.empty() ? nullptr : data_copy.data();
  ssize_t size = efi_loadopt_create(nullptr, 0, kLoadOptionActive, reinterpret_cast<efidp>(path),
                                    hd + name + end, description, extra, data_copy.size());
  if (size <= 0) return refused;
  option->assign(size_t(size), 0);
  if (efi_loadopt_create(option->data(), size, kLoadOptionActive, reinterpret_cast<efidp>(path),
                         hd + name + end, description, extra, data_copy.size()) != size)
    return refused;
  return Done();
}

bool LoadOptionDescription(const std::vector<uint8_t>& option, std::u16string* description) {
  // Attributes (4), FilePathListLength (2), then the NUL-terminated UCS-2
  // description, then the path list, which must fit in what is left.
  if (option.size() < 8) return false;
  size_t path_length = size_t(option[4] | option[5] << 8);
  description->clear();
  for (size_t at = 6; at + 1 < option.size(); at += 2) {
    char16_t c = char16_t(option[at] | option[at + 1] << 8);
    if (c == 0) return option.size() - (at + 2) >= path_length;
    *description += c;
  }
  return false;
}

std::string BootName(unsigned number) {
  char name[16];
  snprintf(name, sizeof name, "Boot%04X", number & 0xFFFF);
  return name;
}

bool BootNumber(const std::string& name, unsigned* number) {
  if (name.size() != 8 || name.compare(0, 4, "Boot") != 0) return false;
  unsigned value = 0;
  for (size_t i = 4; i < 8; ++i) {
    char c = name[i];
    unsigned digit = c >= '0' && c <= '9' ? unsigned(c - '0') : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10) : 16;
    if (digit == 16) return false;
    value = value * 16 + digit;
  }
  *number = value;
  return true;
}

Outcome FindOurEntry(unsigned* number, bool* found) {
  *found = false;
  std::vector<std::string> names;
  if (Outcome listed = VarNames(efi_guid_global, &names); !listed) return listed;
  std::set<unsigned> numbers;
  for (const auto& name : names)
    if (unsigned n = 0; BootNumber(name, &n)) numbers.insert(n);
  const std::u16string ours = u"Pellory firmware update";
  for (unsigned n : numbers) {
    std::vector<uint8_t> option;
    std::u16string description;
    if (VarGet(efi_guid_global, BootName(n), &option, 65536) && LoadOptionDescription(option, &description) &&
        description == ours) {
      *number = n;
      *found = true;
      return Done();
    }
  }
  return Done();
}

Outcome BootOrder(std::set<unsigned>* numbers) {
  std::vector<uint8_t> order;
  if (Outcome read = VarGet(efi_guid_global, "BootOrder", &order, 65536); !read)
    return Fail("BootOrder can not be read", read.error);
  for (size_t at = 0; at + 1 < order.size(); at += 2) numbers->insert(unsigned(order[at] | order[at + 1] << 8));
  return Done();
}

Outcome FreeBootNumber(unsigned* number) {
  std::vector<std::string> names;
  if (Outcome listed = VarNames(efi_guid_global, &names); !listed) return listed;
  std::set<unsigned> used;
  for (const auto& name : names)
    if (unsigned n = 0; BootNumber(name, &n)) used.insert(n);
  // A number BootOrder still lists, with no entry behind it, is not free:
  // an entry made there would be in BootOrder and run at every boot.
  if (Outcome listed = BootOrder(&used); !listed) return listed;
  for (unsigned n = 0; n <= 0xFFFF; ++n)
    if (!used.count(n)) {
      *number = n;
      return Done();
    }
  return Fail("every Boot#### number is taken", ENOSPC);
}
