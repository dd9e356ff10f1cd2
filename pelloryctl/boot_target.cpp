#include "pelloryctl/boot_target.h"

#include <dirent.h>

#include <algorithm>
#include <cstring>

#include "pelloryctl/efivar_c.h"
#include "pelloryctl/image_signature.h"
#include "pelloryctl/load_option.h"
#include "pelloryctl/machine.h"
#include "pelloryctl/pe_image.h"
#include "pelloryctl/system_paths.h"
#include "pelloryctl/trust.h"
#include "pelloryctl/variables.h"

namespace {

constexpr size_t kLoaderLimit = 64u << 20;

// The load option shim reads as its second stage: the path in UCS-2,
// ended by a NUL, as the distributions' firmware updaters pass theirs.
std::vector<uint8_t> Ucs2(const std::string& path) {
  std::vector<uint8_t> text;
  for (char c : path) text.insert(text.end(), {uint8_t(c), 0});
  text.insert(text.end(), {0, 0});
  return text;
}

// The ESP path as this process reaches the file (\ becomes /).
std::string OnEsp(const Esp& esp, const std::string& path) {
  std::string local = path;
  std::replace(local.begin(), local.end(), '\\', '/');
  return SystemPath(esp.mount_point + local);
}

bool IsShim(const Esp& esp, const std::string& path) {
  std::vector<uint8_t> bytes;
  PeLayout layout;
  std::string sbat;
  if (!ReadWholeFile(OnEsp(esp, path), &bytes, kLoaderLimit) || !ReadPeLayout(bytes, &layout) ||
      !SectionText(bytes, layout, ".sbat", &sbat))
    return false;
  return sbat.rfind("shim,", 0) == 0 || sbat.find("\nshim,") != std::string::npos;
}

// The file of a load option's device path when its HD() node is esp's
// partition: "" otherwise.
std::string FileOnEsp(const std::vector<uint8_t>& option, const Esp& esp) {
  std::vector<uint8_t> copy = option;
  auto* load = reinterpret_cast<efi_load_option*>(copy.data());
  const ssize_t size = ssize_t(copy.size());
  if (copy.size() < 8 || !efi_loadopt_is_valid(load, size)) return "";
  const_efidp node = efi_loadopt_path(load, size);
  bool ours = false;
  std::string file;
  while (node) {
    if (efidp_type(node) == EFIDP_MEDIA_TYPE && efidp_subtype(node) == EFIDP_MEDIA_HD)
      ours = memcmp(reinterpret_cast<const efidp_hd*>(node)->signature, esp.unique_guid, 16) == 0;
    if (efidp_type(node) == EFIDP_MEDIA_TYPE && efidp_subtype(node) == EFIDP_MEDIA_FILE) {
      const auto* name = reinterpret_cast<const uint8_t*>(node) + 4;
      for (ssize_t at = 0; at + 1 < efidp_node_size(node) - 4 && name[at] | name[at + 1]; at += 2)
        file += name[at + 1] || name[at] > 0x7E ? '?' : char(name[at]);
    }
    if (efidp_next_node(node, &node) <= 0) break;  // 0 after the end node
  }
  return ours ? file : "";
}

}  // namespace

Outcome FindShim(const Esp& esp, std::string* path, bool* found) {
  *found = false;
  std::vector<uint8_t> current, option;
  if (Outcome read = VarGet(efi_guid_global, "BootCurrent", &current, 16); !read)
    return Fail("BootCurrent can not be read", read.error);
  if (current.size() == 2) {
    const std::string entry = BootName(unsigned(current[0] | current[1] << 8));
    if (Outcome read = VarGet(efi_guid_global, entry, &option, 65536); !read) return Fail(entry + " can not be read", read.error);
    const std::string file = FileOnEsp(option, esp);
    if (!file.empty() && IsShim(esp, file)) {
      *path = file, *found = true;
      return Done();
    }
  }
  std::vector<std::string> folders;
  if (DIR* dir = opendir(OnEsp(esp, "\\EFI").c_str())) {
    while (const dirent* each = readdir(dir))
      if (each->d_name[0] != '.') folders.push_back(each->d_name);
    closedir(dir);
  }
  std::sort(folders.begin(), folders.end());
  for (const std::string& folder : folders) {
    const std::string file = "\\EFI\\" + folder + "\\shimx64.efi";
    if (IsShim(esp, file)) {
      *path = file, *found = true;
      return Done();
    }
  }
  return Done();
}

namespace {

// The image's signature and who trusts it, under this machine's Secure
// Boot; *secure false (and nothing read) when it is off. Fails for an
// unsigned image, one that does not read, and one no key trusts.
Outcome Judge(const std::vector<uint8_t>& image, const std::string& name, bool* secure, ImageSignature* signature,
              TrustVerdict* verdict) {
  if (Outcome known = SecureBootOn(secure); !known) return known;
  if (!*secure) return Done();
  if (Outcome read = ReadImageSignature(image, signature); !read) return Fail(name + " " + read.reason);
  if (!signature->present)
    return Fail(name + " is not signed, and Secure Boot is on: the firmware would refuse to start it");
  TrustLists lists;
  if (Outcome read = ReadTrustLists(&lists); !read) return read;
  *verdict = JudgeSignature(*signature, lists);
  if (verdict->by == TrustedBy::None) return Fail(name + " " + verdict->refusal);
  return Done();
}

}  // namespace

Outcome ChooseBootTarget(const std::vector<uint8_t>& image, const std::string& name, const Esp& esp,
                         const std::string& esp_path, BootTarget* target) {
  *target = {esp_path, {}, ""};
  bool secure = false;
  ImageSignature signature;
  TrustVerdict verdict;
  if (Outcome judged = Judge(image, name, &secure, &signature, &verdict); !judged) return judged;
  if (!secure || verdict.by == TrustedBy::Db) return Done();
  std::string shim;
  bool found = false;
  if (Outcome looked = FindShim(esp, &shim, &found); !looked) return looked;
  if (!found)
    return Fail(name + " is signed by " + signature.signer +
                ", which only MOK trusts, and no shim is on " + esp.mount_point +
                " to start it through (neither the entry this system booted from nor \\EFI\\*\\shimx64.efi): "
                "the firmware would refuse it");
  *target = {shim, Ucs2(esp_path), "through shim: MOK trusts " + verdict.who};
  return Done();
}

Outcome CheckFirmwareLoads(const std::vector<uint8_t>& image, const std::string& name) {
  bool secure = false;
  ImageSignature signature;
  TrustVerdict verdict;
  if (Outcome judged = Judge(image, name, &secure, &signature, &verdict); !judged) return judged;
  if (secure && verdict.by != TrustedBy::Db)
    return Fail(name + " is signed by " + signature.signer +
                ", which only MOK trusts: the firmware loads a driver itself, never through shim, and would "
                "refuse it");
  return Done();
}
