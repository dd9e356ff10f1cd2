#include "pelloryctl/program_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pelloryctl/sha256.h"
#include "pelloryctl/system_paths.h"

namespace {

bool MakeDir(const std::string& dir, bool* made) {
  if (mkdir(dir.c_str(), 0755) == 0) return *made = true;
  struct stat st = {};
  return errno == EEXIST && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteSynced(const std::string& path, const std::vector<uint8_t>& image) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < image.size()) {
    ssize_t wrote = write(fd, image.data() + done, image.size() - done);
    if (wrote <= 0) break;
    done += size_t(wrote);
  }
  bool ok = done == image.size() && fsync(fd) == 0;
  return close(fd) == 0 && ok;
}

bool SyncDir(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

}  // namespace

std::string CopyProgram(const std::string& esp_root, const std::vector<uint8_t>& image,
                        CopyUndo* undo) {
  undo->efi_dir = esp_root + "/EFI";
  undo->pellory_dir = undo->efi_dir + "/Pellory";
  undo->file = undo->pellory_dir + "/pellory.efi";
  if (!MakeDir(undo->efi_dir, &undo->made_efi_dir) ||
      !MakeDir(undo->pellory_dir, &undo->made_pellory_dir))
    return "the folder \\EFI\\Pellory can not be made on the ESP";
  undo->made_file = access(undo->file.c_str(), F_OK) != 0;
  std::string temporary = undo->pellory_dir + "/pellory.efi.new";
  if (!WriteSynced(temporary, image)) {
    unlink(temporary.c_str());
    return "the program can not be written to \\EFI\\Pellory on the ESP";
  }
  if (rename(temporary.c_str(), undo->file.c_str()) != 0) {
    unlink(temporary.c_str());
    return "the program can not be renamed to \\EFI\\Pellory\\pellory.efi";
  }
  if (!SyncDir(undo->pellory_dir)) return "the folder \\EFI\\Pellory can not be synced";
  std::vector<uint8_t> back;
  if (!ReadWholeFile(undo->file, &back, image.size() + 1) ||
      Sha256(back.data(), back.size()) != Sha256(image.data(), image.size()))
    return "the copy \\EFI\\Pellory\\pellory.efi reads back different from the program";
  return "";
}

void UndoCopy(const CopyUndo& undo) {
  if (undo.made_file) unlink(undo.file.c_str());
  if (undo.made_pellory_dir) rmdir(undo.pellory_dir.c_str());
  if (undo.made_efi_dir) rmdir(undo.efi_dir.c_str());
}

std::string RemoveProgram(const std::string& esp_root) {
  std::string dir = esp_root + "/EFI/Pellory";
  if (unlink((dir + "/pellory.efi").c_str()) != 0 && errno != ENOENT)
    return "\\EFI\\Pellory\\pellory.efi can not be removed from the ESP";
  if (rmdir(dir.c_str()) != 0 && errno != ENOENT && errno != ENOTEMPTY && errno != EEXIST)
    return "the folder \\EFI\\Pellory can not be removed from the ESP";
  return "";
}
