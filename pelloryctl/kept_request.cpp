#include "pelloryctl/kept_request.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "pelloryctl/system_paths.h"

namespace {

constexpr char kImageKey[] = "image";

std::string KeptPath() { return SystemPath(kKeptFolder) + "/" + kKeptName; }

}  // namespace

std::vector<uint8_t> KeptText(const std::string& request_text, const std::string& image) {
  std::string text = request_text + kImageKey + "=" + image + "\n";
  return {text.begin(), text.end()};
}

Outcome KeepRequest(const std::vector<uint8_t>& text, KeepUndo* undo) {
  // A machine that runs from an initramfs may have no /var at all.
  for (const char* folder : {"/var", "/var/lib", kKeptFolder}) {
    bool made = false;
    if (!MakeDir(SystemPath(folder), &made))
      return Fail(std::string("the folder ") + folder + " can not be made");
    if (made) undo->made_folders.push_back(SystemPath(folder));
  }
  undo->existed = access(KeptPath().c_str(), F_OK) == 0;
  if (undo->existed && !ReadWholeFile(KeptPath(), &undo->old_text, kTextLimit + 256))
    return Fail(std::string("the earlier ") + kKeptFolder + "/" + kKeptName + " can not be read");
  undo->replaced = true;
  const std::string failed = std::string(kKeptFolder) + "/" + kKeptName + " can not be written";
  return ReplaceFile(SystemPath(kKeptFolder), kKeptName, text, {failed, failed, failed});
}

void UndoKeep(const KeepUndo& undo) {
  if (undo.replaced && undo.existed) (void)ReplaceFile(SystemPath(kKeptFolder), kKeptName, undo.old_text, {});
  if (undo.replaced && !undo.existed) unlink(KeptPath().c_str());
  for (auto folder = undo.made_folders.rbegin(); folder != undo.made_folders.rend(); ++folder) rmdir(folder->c_str());
}

Outcome ReadKeptRequest(KeptRequest* kept) {
  std::vector<uint8_t> bytes;
  if (Outcome read = ReadWholeFile(KeptPath(), &bytes, kTextLimit + 256); !read) return read;
  const std::string text(bytes.begin(), bytes.end());
  // The image line is the last; what stands before it is the request.
  const std::string tag = std::string("\n") + kImageKey + "=";
  const size_t at = text.rfind(tag);
  const Outcome unknown = Fail(std::string(kKeptFolder) + "/" + kKeptName + " is not one pelloryctl wrote");
  if (at == std::string::npos || text.back() != '\n') return unknown;
  kept->image = text.substr(at + tag.size(), text.size() - at - tag.size() - 1);
  uint8_t major, minor;
  const text::Span version = {kept->image.data(), std::min(kept->image.size(), contract::kImageVersionLength)};
  if (kept->image.find('\n') != std::string::npos || !contract::ParseImageVersion(version, &major, &minor) ||
      !ParseRequest(text.substr(0, at + 1), &kept->request))
    return unknown;
  return Done();
}

Outcome RemoveKeptRequest(bool* removed) {
  *removed = unlink(KeptPath().c_str()) == 0;
  if (!*removed && errno != ENOENT)
    return Fail(std::string(kKeptFolder) + "/" + kKeptName + " can not be removed", errno);
  const std::string folder = SystemPath(kKeptFolder);
  if (rmdir(folder.c_str()) != 0 && errno != ENOENT && errno != ENOTEMPTY && errno != EEXIST)
    return Fail(std::string("the folder ") + kKeptFolder + " can not be removed", errno);
  return Done();
}
