#include "pelloryctl/load_option.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "pelloryctl/efivar_c.h"
#include "pelloryctl/variables.h"

namespace {

// Option####: the kind, then four upper-case hexadecimal digits.
bool OptionNumber(const OurImage& image, const std::string& name, unsigned* number) {
  const size_t prefix = strlen(image.kind);
  if (name.size() != prefix + 4 || name.compare(0, prefix, image.kind) != 0) return false;
  unsigned value = 0;
  for (size_t i = prefix; i < name.size(); ++i) {
    char c = name[i];
    unsigned digit = c >= '0' && c <= '9' ? unsigned(c - '0') : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10) : 16;
    if (digit == 16) return false;
    value = value * 16 + digit;
  }
  *number = value;
  return true;
}

// Every number an option of the image's kind uses.
Outcome UsedNumbers(const OurImage& image, std::set<unsigned>* numbers) {
  std::vector<std::string> names;
  if (Outcome listed = VarNames(efi_guid_global, &names); !listed) return listed;
  for (const auto& name : names)
    if (unsigned n = 0; OptionNumber(image, name, &n)) numbers->insert(n);
  return Done();
}

Outcome ReadOrder(const OurImage& image, std::vector<unsigned>* numbers) {
  std::vector<uint8_t> order;
  if (Outcome read = VarGet(efi_guid_global, image.order, &order, 65536); !read)
    return Fail(std::string(image.order) + " can not be read", read.error);
  *numbers = OrderNumbers(order);
  return Done();
}

}  // namespace

Outcome MakeLoadOption(const Esp& esp, const OurImage& image, const std::string& file,
                       const std::vector<uint8_t>& data, std::vector<uint8_t>* option) {
  const Outcome refused = Fail(std::string(image.entry) + "'s load option can not be built");
  uint8_t path[512];
  uint8_t signature[16];
  for (int i = 0; i < 16; ++i) signature[i] = esp.unique_guid[i];
  // libefiboot takes them writable.
  std::string file_text = file, description = image.description;
  std::vector<uint8_t> data_copy = data;
  ssize_t hd = efidp_make_hd(path, sizeof path, esp.partition, esp.start, esp.size, signature,
                             EFIDP_HD_FORMAT_GPT, EFIDP_HD_SIGNATURE_GUID);
  if (hd <= 0) return refused;
  ssize_t name = efidp_make_file(path + hd, ssize_t(sizeof path) - hd, file_text.data());
  if (name <= 0) return refused;
  ssize_t end = efidp_make_end_entire(path + hd + name, ssize_t(sizeof path) - hd - name);
  if (end <= 0) return refused;
  auto* text = reinterpret_cast<unsigned char*>(description.data());
  uint8_t* extra = data_copy.empty() ? nullptr : data_copy.data();
  ssize_t size = efi_loadopt_create(nullptr, 0, kLoadOptionActive, reinterpret_cast<efidp>(path),
                                    hd + name + end, text, extra, data_copy.size());
  if (size <= 0) return refused;
  option->assign(size_t(size), 0);
  if (efi_loadopt_create(option->data(), size, kLoadOptionActive, reinterpret_cast<efidp>(path),
                         hd + name + end, text, extra, data_copy.size()) != size)
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

std::string LoadOptionPath(const std::vector<uint8_t>& option) {
  std::vector<uint8_t> copy = option;  // libefiboot takes it writable
  auto* opt = reinterpret_cast<efi_load_option*>(copy.data());
  const ssize_t size = ssize_t(copy.size());
  char path[1024] = {};
  if (copy.empty() || !efi_loadopt_is_valid(opt, size) ||
      efidp_format_device_path(path, sizeof path, efi_loadopt_path(opt, size), efi_loadopt_pathlen(opt, size)) < 0)
    return "";
  return path;
}

std::string OptionName(const OurImage& image, unsigned number) {
  char name[16];
  snprintf(name, sizeof name, "%s%04X", image.kind, number & 0xFFFF);
  return name;
}

Outcome FindOptions(const OurImage& image, std::vector<unsigned>* numbers) {
  numbers->clear();
  std::set<unsigned> used;
  if (Outcome listed = UsedNumbers(image, &used); !listed) return listed;
  std::u16string ours;
  for (const char* c = image.description; *c != 0; ++c) ours += char16_t(*c);
  for (unsigned n : used) {
    std::vector<uint8_t> option;
    std::u16string description;
    if (VarGet(efi_guid_global, OptionName(image, n), &option, 65536) && LoadOptionDescription(option, &description) &&
        description == ours)
      numbers->push_back(n);
  }
  return Done();
}

Outcome FindOption(const OurImage& image, unsigned* number, bool* found) {
  *found = false;
  std::vector<unsigned> numbers;
  if (Outcome listed = FindOptions(image, &numbers); !listed) return listed;
  *found = !numbers.empty();
  if (*found) *number = numbers.front();
  return Done();
}

std::vector<unsigned> OrderNumbers(const std::vector<uint8_t>& order) {
  std::vector<unsigned> numbers;
  for (size_t at = 0; at + 1 < order.size(); at += 2) numbers.push_back(unsigned(order[at] | order[at + 1] << 8));
  return numbers;
}

Outcome BootOrder(std::set<unsigned>* numbers) {
  std::vector<unsigned> listed;
  if (Outcome read = ReadOrder(kProgram, &listed); !read) return read;
  numbers->insert(listed.begin(), listed.end());
  return Done();
}

Outcome FreeOptionNumber(const OurImage& image, unsigned* number) {
  std::set<unsigned> used;
  if (Outcome listed = UsedNumbers(image, &used); !listed) return listed;
  // A number the order still lists, with no option behind it, is not
  // free: an option made there would take someone else's place in it (for
  // the program, it would run at every boot).
  std::vector<unsigned> listed;
  if (Outcome read = ReadOrder(image, &listed); !read) return read;
  used.insert(listed.begin(), listed.end());
  for (unsigned n = 0; n <= 0xFFFF; ++n)
    if (!used.count(n)) {
      *number = n;
      return Done();
    }
  return Fail(std::string("every ") + image.kind + "#### number is taken", ENOSPC);
}
