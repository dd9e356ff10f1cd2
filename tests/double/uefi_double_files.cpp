// What the shell's file functions and the volume's file protocol share: one
// tree of nodes, and the reads, writes, positions and information of an
// open file, whichever door opened it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "tests/double/uefi_double.h"
#include "tests/double/uefi_double_state.h"

namespace dbl::detail {
namespace {

constexpr size_t kInfoHeader = offsetof(EFI_FILE_INFO, FileName);

std::vector<std::u16string> Split(const std::u16string& path) {
  std::vector<std::u16string> names;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    names.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

}  // namespace

bool JoinPath(const std::u16string& base, const std::u16string& path, std::u16string* key) {
  std::vector<std::u16string> names;
  if (path.empty() || path[0] != u'\\') {
    for (const std::u16string& name : Split(base))
      if (!name.empty()) names.push_back(name);
  }
  for (const std::u16string& name : Split(path)) {
    if (name.empty() || name == u".") continue;
    if (name == u"..") {
      if (names.empty()) return false;
      names.pop_back();
      continue;
    }
    names.push_back(Fold(name));
  }
  key->clear();
  for (const std::u16string& name : names) {
    if (!key->empty()) key->push_back(u'\\');
    *key += name;
  }
  return true;
}

std::u16string LastName(const std::u16string& path) {
  size_t cut = path.find_last_of(u'\\');
  return cut == std::u16string::npos ? path : path.substr(cut + 1);
}

bool State::MakeParents(const std::u16string& key, bool create) {
  for (size_t cut = key.find(u'\\'); cut != std::u16string::npos; cut = key.find(u'\\', cut + 1)) {
    const std::u16string folder = key.substr(0, cut);
    auto it = files.find(folder);
    if (it == files.end()) {
      if (!create) return false;
      files[folder] = std::make_shared<FileNode>(FileNode{folder, LastName(folder), {}, true});
    } else if (!it->second->directory) {
      return false;
    }
  }
  return true;
}

void State::Unlist(const std::shared_ptr<FileNode>& node) {
  auto it = files.find(node->key);
  if (it != files.end() && it->second == node) files.erase(it);
}

EFI_STATUS FileWriteAt(State& d, OpenFile& f, UINTN* size, const void* buffer) {
  if (size == nullptr || (buffer == nullptr && *size != 0)) return EFI_INVALID_PARAMETER;
  if (f.node->directory) return EFI_ACCESS_DENIED;
  if (d.readOnly) return EFI_WRITE_PROTECTED;
  if (!f.writable) return EFI_ACCESS_DENIED;
  std::string& content = f.node->content;
  if (f.position > kFileLimit || *size > kFileLimit - f.position) return EFI_VOLUME_FULL;
  // A position past the end (after SetPosition) grows the file with zeros.
  if (f.position + *size > content.size()) content.resize(f.position + *size, '\0');
  if (*size != 0) std::memcpy(content.data() + f.position, buffer, *size);
  f.position += *size;
  return EFI_SUCCESS;
}

EFI_STATUS FileReadAt(OpenFile& f, UINTN* size, void* buffer) {
  if (size == nullptr || (buffer == nullptr && *size != 0)) return EFI_INVALID_PARAMETER;
  if (f.node->directory) return EFI_UNSUPPORTED;  // listings are not modelled
  const std::string& content = f.node->content;
  if (f.position > content.size()) return EFI_DEVICE_ERROR;
  const size_t n = std::min<size_t>(*size, content.size() - f.position);
  if (n != 0) std::memcpy(buffer, content.data() + f.position, n);
  f.position += n;
  *size = n;
  return EFI_SUCCESS;
}

EFI_STATUS FileSetPositionTo(OpenFile& f, UINT64 position) {
  if (f.node->directory) {
    if (position != 0) return EFI_UNSUPPORTED;  // a directory only rewinds
  } else if (position == ~UINT64{0}) {
    position = f.node->content.size();  // the end of the file
  }
  f.position = position;
  return EFI_SUCCESS;
}

std::vector<unsigned char> FileInfoOf(const FileNode& node) {
  const size_t nameBytes = (node.name.size() + 1) * sizeof(CHAR16);
  EFI_FILE_INFO header{};
  header.Size = kInfoHeader + nameBytes;
  header.FileSize = node.content.size();
  header.PhysicalSize = (header.FileSize + 511) / 512 * 512;  // whole sectors
  header.Attribute = node.directory ? EFI_FILE_DIRECTORY : EFI_FILE_ARCHIVE;
  // Never smaller than the structure, so reading any field stays in bounds.
  std::vector<unsigned char> raw(std::max<size_t>(header.Size, sizeof(EFI_FILE_INFO)));
  std::memcpy(raw.data(), &header, kInfoHeader);
  std::memcpy(raw.data() + kInfoHeader, node.name.c_str(), nameBytes);
  return raw;
}

EFI_STATUS FileSetInfoFrom(State& d, OpenFile& f, const EFI_FILE_INFO* info) {
  if (info == nullptr) return EFI_INVALID_PARAMETER;
  if (info->Size < kInfoHeader + sizeof(CHAR16)) return EFI_BAD_BUFFER_SIZE;
  if ((info->Attribute & ~EFI_FILE_VALID_ATTR) != 0) return EFI_INVALID_PARAMETER;
  FileNode& node = *f.node;
  std::u16string name;
  const auto* chars = reinterpret_cast<const unsigned char*>(info) + kInfoHeader;
  const size_t maxChars = (info->Size - kInfoHeader) / sizeof(CHAR16);
  for (size_t i = 0; i < maxChars; ++i) {
    char16_t c;
    std::memcpy(&c, chars + i * sizeof(CHAR16), sizeof c);
    if (c == 0) break;
    name.push_back(c);
  }
  if (Fold(name) != Fold(node.name)) {
    ADD_FAILURE() << "SetInfo renames a file; the double does not model renaming";
    return EFI_UNSUPPORTED;
  }
  const bool wantsDirectory = (info->Attribute & EFI_FILE_DIRECTORY) != 0;
  if (wantsDirectory != node.directory) return EFI_ACCESS_DENIED;
  if (info->FileSize == node.content.size()) return EFI_SUCCESS;
  if (d.readOnly) return EFI_WRITE_PROTECTED;
  if (node.directory || !f.writable) return EFI_ACCESS_DENIED;
  if (info->FileSize > kFileLimit) return EFI_VOLUME_FULL;
  node.content.resize(info->FileSize, '\0');
  return EFI_SUCCESS;
}

}  // namespace dbl::detail

// --- The test's side ------------------------------------------------------------

namespace dbl {

namespace {

// The folded key of a test's path, which must stay inside the volume.
std::u16string KeyOf(const std::string& path) {
  std::u16string key;
  if (!detail::JoinPath(u"", detail::Widen(path), &key) || key.empty())
    ADD_FAILURE() << "\"" << path << "\" is no path of a file on the volume";
  return key;
}

}  // namespace

namespace {

// The node at `path`, made with the folders on the way when missing; the
// same node when it exists, so a handle already open sees what replaces it.
detail::FileNode* Place(detail::State& d, const std::string& path, const char* what) {
  const std::u16string key = KeyOf(path);
  if (!d.MakeParents(key, true)) {
    ADD_FAILURE() << what << " \"" << path << "\" under a file";
    return nullptr;
  }
  auto& node = d.files[key];
  if (!node) node = std::make_shared<detail::FileNode>();
  node->key = key;
  node->name = detail::LastName(detail::Widen(path));
  return node.get();
}

}  // namespace

void UefiDouble::PutFile(const std::string& path, const std::string& content) {
  if (detail::FileNode* node = Place(*impl_, path, "PutFile")) {
    node->content = content;
    node->directory = false;
  }
}

void UefiDouble::MakeDirectory(const std::string& path) {
  if (detail::FileNode* node = Place(*impl_, path, "MakeDirectory")) {
    node->content.clear();
    node->directory = true;
  }
}

bool UefiDouble::HasFile(const std::string& path) const {
  return impl_->files.count(KeyOf(path)) != 0;
}

bool UefiDouble::IsDirectory(const std::string& path) const {
  auto it = impl_->files.find(KeyOf(path));
  return it != impl_->files.end() && it->second->directory;
}

std::string UefiDouble::FileContent(const std::string& path) const {
  auto it = impl_->files.find(KeyOf(path));
  if (it == impl_->files.end()) {
    ADD_FAILURE() << "FileContent of \"" << path << "\", which does not exist";
    return {};
  }
  return it->second->content;
}

int UefiDouble::OpenFiles() const {
  return static_cast<int>(impl_->openFiles.size() + impl_->volumeFiles.size());
}

void UefiDouble::SetReadOnly(bool readOnly) { impl_->readOnly = readOnly; }

}  // namespace dbl
