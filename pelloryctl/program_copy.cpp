#include "pelloryctl/program_copy.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hash/sha256.h"
#include "pelloryctl/system_paths.h"

namespace {

bool SameDigest(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  uint8_t da[kSha256Size], db[kSha256Size];
  Sha256(a.data(), a.size(), da);
  Sha256(b.data(), b.size(), db);
  return memcmp(da, db, kSha256Size) == 0;
}

constexpr size_t kCopyLimit = 64u << 20;

// The copy under a temporary name, synced, renamed over the old one, and
// the folder synced, so the name the entry points at never holds half a file.
Outcome Replace(const std::string& dir, const OurImage& image, const std::vector<uint8_t>& bytes) {
  return ReplaceFile(dir, image.file, bytes,
                     {std::string(image.what) + " can not be written to \\EFI\\Pellory on the ESP",
                      std::string(image.what) + " can not be renamed to " + EspPath(image),
                      "the folder \\EFI\\Pellory can not be synced"});
}

}  // namespace

FileReader gCopyReader = ReadWholeFile;

Outcome CopyToEsp(const std::string& esp_root, const OurImage& image, const std::vector<uint8_t>& bytes,
                  CopyUndo* undo) {
  undo->image = image;
  undo->efi_dir = esp_root + "/EFI";
  undo->pellory_dir = undo->efi_dir + "/Pellory";
  undo->file = undo->pellory_dir + "/" + image.file;
  if (!MakeDir(undo->efi_dir, &undo->made_efi_dir) ||
      !MakeDir(undo->pellory_dir, &undo->made_pellory_dir))
    return Fail("the folder \\EFI\\Pellory can not be made on the ESP");
  undo->made_file = access(undo->file.c_str(), F_OK) != 0;
  if (!undo->made_file && !ReadWholeFile(undo->file, &undo->old_image, kCopyLimit))
    return Fail("the earlier copy " + EspPath(image) + " can not be read");
  undo->replaced = true;
  if (Outcome replaced = Replace(undo->pellory_dir, image, bytes); !replaced) return replaced;
  std::vector<uint8_t> back;
  if (!gCopyReader(undo->file, &back, bytes.size() + 1) || !SameDigest(back, bytes))
    return Fail("the copy " + EspPath(image) + " reads back different from " + image.what);
  return Done();
}

void UndoCopy(const CopyUndo& undo) {
  if (undo.replaced && undo.made_file) unlink(undo.file.c_str());
  if (undo.replaced && !undo.made_file) (void)Replace(undo.pellory_dir, undo.image, undo.old_image);
  if (undo.made_pellory_dir) rmdir(undo.pellory_dir.c_str());
  if (undo.made_efi_dir) rmdir(undo.efi_dir.c_str());
}

Outcome RemoveFromEsp(const std::string& esp_root, const OurImage& image, bool* removed) {
  std::string dir = esp_root + "/EFI/Pellory";
  *removed = unlink((dir + "/" + image.file).c_str()) == 0;
  if (!*removed && errno != ENOENT) return Fail(EspPath(image) + " can not be removed from the ESP", errno);
  if (rmdir(dir.c_str()) != 0 && errno != ENOENT && errno != ENOTEMPTY && errno != EEXIST)
    return Fail("the folder \\EFI\\Pellory can not be removed from the ESP", errno);
  return Done();
}
