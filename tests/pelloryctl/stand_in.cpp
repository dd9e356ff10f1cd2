#include "tests/pelloryctl/stand_in.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "pelloryctl/commands.h"
#include "pelloryctl/program_copy.h"
#include "pelloryctl/system_paths.h"
#include "pelloryctl/variables.h"

namespace fs = std::filesystem;

namespace {

constexpr char kEspType[] = "c12a7328-f81f-11d2-ba4b-00a0c93ec93b";

void SetImmutable(const std::string& path, bool on) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  unsigned flags = 0;
  // A folder whose file system has no such flags (ENOTTY) stays as it is:
  // libefivar copes with both, and so must pelloryctl.
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~unsigned(FS_IMMUTABLE_FL);
    (void)ioctl(fd, FS_IOC_SETFLAGS, &flags);
  }
  close(fd);
}

// Every variable gone, so each test starts from an empty store and the
// folder can be removed at the end.
void ClearVars(const std::string& vars) {
  for (const auto& entry : fs::directory_iterator(vars)) {
    SetImmutable(entry.path(), false);
    fs::remove(entry.path());
  }
}

void Put(Bytes* b, size_t at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) (*b)[at + size_t(i)] = uint8_t(value >> (8 * i));
}

// The CRC-32 the GPT's header and entry array carry.
uint32_t Crc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

void PutGuid(Bytes* b, size_t at, const char* text) {
  efi_guid_t guid;
  ASSERT_EQ(efi_str_to_guid(text, &guid), 0) << text;
  memcpy(b->data() + at, &guid, sizeof guid);
}

void RemoveTree(const std::string& dir) {
  std::error_code ignored;
  for (const auto& entry : fs::recursive_directory_iterator(dir, ignored))
    if (entry.is_regular_file()) SetImmutable(entry.path(), false);
  fs::remove_all(dir, ignored);
}

}  // namespace

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes ReadFile(const std::string& path) {
  Bytes bytes;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return bytes;
  int c;
  while ((c = fgetc(f)) != EOF) bytes.push_back(uint8_t(c));
  fclose(f);
  return bytes;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  if (!bytes.empty()) {
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  fclose(f);
}

void StandIn::SetUp() {
  vars_ = getenv("EFIVARFS_PATH");
  store_.Install();
  ASSERT_EQ(vars_.back(), '/');
  ClearVars(vars_);
  char root[] = "/tmp/pelloryctl-root-XXXXXX";
  ASSERT_NE(mkdtemp(root), nullptr);
  root_ = root;
  chmod(root, 0755);  // a test that drops root still walks it
  setenv("PELLORYCTL_ROOT", root, 1);
  esp_ = root_ + "/boot/efi";
  fs::create_directories(root_ + "/sys/firmware/efi");
  fs::create_directories(esp_);
  std::string disk = root_ + "/sys/devices/virtual/block/sda";
  WriteFile(disk + "/sda1/partition", Text("1\n"));
  WriteFile(disk + "/sda1/start", Text(std::to_string(kEspStart) + "\n"));
  WriteFile(disk + "/removable", Text("0\n"));
  fs::create_directories(root_ + "/sys/dev/block");
  fs::create_symlink("../../devices/virtual/block/sda/sda1", root_ + "/sys/dev/block/8:1");
  WriteMounts(true);
  WriteDisk(kEspType);
}

void StandIn::TearDown() {
  store_.Remove();
  gCopyReader = ReadWholeFile;
  ClearVars(vars_);
  RemoveTree(root_);
}

void StandIn::WriteMounts(bool efivarfs, const std::string& efivarfs_options,
                          const std::string& esp_options) {
  std::string table = "21 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda1 rw\n";
  if (efivarfs)
    table += "27 22 0:24 / /sys/firmware/efi/efivars " + efivarfs_options +
             ",nosuid,nodev,noexec,relatime shared:8 - efivarfs efivarfs rw\n";
  table += "31 21 8:1 / /boot/efi " + esp_options +
           ",relatime shared:9 - vfat /dev/sda1 rw,fmask=0077,dmask=0077\n";
  WriteFile(root_ + "/proc/self/mountinfo", Text(table));
}

void StandIn::WriteDisk(const char* type_guid, uint64_t block) {
  // The same partition in bytes on either disk: only its LBAs change.
  const uint64_t start = kEspStart * 512 / block, blocks = kEspBlocks * 512 / block;
  const uint64_t disk_blocks = start + blocks + 64;
  Bytes entries(128 * 128, 0);
  PutGuid(&entries, 0, type_guid);
  PutGuid(&entries, 16, kEspGuid);
  Put(&entries, 32, start, 8);
  Put(&entries, 40, start + blocks - 1, 8);
  const size_t header = block, first_usable = 2 + entries.size() / block;
  Bytes disk(2 * block + entries.size(), 0);
  // The protective MBR: one partition of type 0xEE over the whole disk.
  disk[446 + 4] = 0xEE;
  Put(&disk, 446 + 8, 1, 4);
  Put(&disk, 446 + 12, disk_blocks - 1, 4);
  disk[510] = 0x55, disk[511] = 0xAA;
  memcpy(disk.data() + header, "EFI PART", 8);
  Put(&disk, header + 8, 0x00010000, 4);
  Put(&disk, header + 12, 92, 4);
  Put(&disk, header + 24, 1, 8);
  Put(&disk, header + 32, disk_blocks - 1, 8);
  Put(&disk, header + 40, first_usable, 8);
  Put(&disk, header + 48, start + blocks, 8);
  PutGuid(&disk, header + 56, "0a0b0c0d-1111-2222-3333-444455556666");
  Put(&disk, header + 72, 2, 8);
  Put(&disk, header + 80, 128, 4);
  Put(&disk, header + 84, 128, 4);
  Put(&disk, header + 88, Crc32(entries.data(), entries.size()), 4);
  Put(&disk, header + 16, Crc32(disk.data() + header, 92), 4);
  std::copy(entries.begin(), entries.end(), disk.begin() + long(2 * block));
  // As long as the disk the table describes; the rest reads as zeros.
  WriteFile(root_ + "/dev/sda", disk);
  fs::resize_file(root_ + "/dev/sda", disk_blocks * block);
  WriteFile(root_ + "/sys/devices/virtual/block/sda/queue/logical_block_size",
            Text(std::to_string(block) + "\n"));
}

void StandIn::PutVar(const char* guid, const std::string& name, const Bytes& data,
                     uint32_t attributes) {
  Bytes file(4, 0);
  Put(&file, 0, attributes, 4);
  file.insert(file.end(), data.begin(), data.end());
  std::string path = vars_ + name + "-" + guid;
  SetImmutable(path, false);
  WriteFile(path, file);
  if (strcmp(guid, kPellory) == 0) SetImmutable(path, true);
}

bool StandIn::GetVar(const char* guid, const std::string& name, Bytes* data) const {
  std::string path = vars_ + name + "-" + guid;
  if (access(path.c_str(), F_OK) != 0) return false;
  Bytes file = ReadFile(path);
  EXPECT_GE(file.size(), 4u) << path;
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), Bytes({7, 0, 0, 0})) << name << " attributes";
  data->assign(file.begin() + 4, file.end());
  return true;
}

bool StandIn::HasVar(const char* guid, const std::string& name) const {
  Bytes ignored;
  return GetVar(guid, name, &ignored);
}

std::string StandIn::Var(const char* guid, const std::string& name) const {
  Bytes data;
  if (!GetVar(guid, name, &data)) return "<absent>";
  return std::string(data.begin(), data.end());
}

Snapshot StandIn::Take() const {
  Snapshot shot;
  for (const auto& entry : fs::directory_iterator(vars_))
    shot["var " + entry.path().filename().string()] = ReadFile(entry.path());
  for (const auto& entry : fs::recursive_directory_iterator(esp_)) {
    std::string name = "esp " + entry.path().string().substr(esp_.size());
    shot[name] = entry.is_directory() ? Text("<dir>") : ReadFile(entry.path());
  }
  // Like an initramfs, the stand-in has no /var until something makes it.
  if (fs::exists(root_ + "/var")) shot["file /var"] = Text("<dir>");
  std::error_code none;
  for (const auto& entry : fs::recursive_directory_iterator(root_ + "/var", none))
    shot["file " + entry.path().string().substr(root_.size())] = entry.is_directory() ? Text("<dir>") : ReadFile(entry.path());
  return shot;
}

CtlRun StandIn::Ctl(std::vector<std::string> args) {
  args.insert(args.begin(), "pelloryctl");
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  CtlRun run;
  run.status = PelloryctlMain(int(args.size()), argv.data(), out, err);
  for (auto [file, text] : {std::pair{out, &run.out}, std::pair{err, &run.err}}) {
    rewind(file);
    int c;
    while ((c = fgetc(file)) != EOF) *text += char(c);
    fclose(file);
  }
  return run;
}

void StandIn::ExpectRefused(const std::vector<std::string>& args, const std::string& says) {
  Snapshot before = Take();
  CtlRun run = Ctl(args);
  EXPECT_EQ(run.status, 3) << says;
  EXPECT_EQ(run.out, "") << says;
  EXPECT_EQ(run.err.rfind("pelloryctl: ", 0), 0u) << run.err;
  EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  EXPECT_EQ(Changed(before, Take()), std::vector<std::string>{}) << says;
}

void PrintTo(const StepFault& fault, std::ostream* out) { *out << fault.name; }

Bytes LoadOption(const std::string& description, const std::string& file,
                 const char* partition_guid) {
  uint8_t path[512];
  efi_guid_t signature;
  if (efi_str_to_guid(partition_guid, &signature) != 0) return {};
  ssize_t hd = efidp_make_hd(path, sizeof path, 1, kEspStart, kEspBlocks,
                             reinterpret_cast<uint8_t*>(&signature), EFIDP_HD_FORMAT_GPT,
                             EFIDP_HD_SIGNATURE_GUID);
  std::string name = file;
  ssize_t leaf = efidp_make_file(path + hd, ssize_t(sizeof path) - hd, name.data());
  ssize_t end = efidp_make_end_entire(path + hd + leaf, ssize_t(sizeof path) - hd - leaf);
  std::string text = description;
  auto* desc = reinterpret_cast<unsigned char*>(text.data());
  ssize_t size = efi_loadopt_create(nullptr, 0, 1, reinterpret_cast<efidp>(path), hd + leaf + end,
                                    desc, nullptr, 0);
  Bytes option(size_t(size > 0 ? size : 0), 0);
  efi_loadopt_create(option.data(), size, 1, reinterpret_cast<efidp>(path), hd + leaf + end, desc,
                     nullptr, 0);
  return option;
}

std::string DescribeOption(const Bytes& option) {
  Bytes copy = option;
  auto* opt = reinterpret_cast<efi_load_option*>(copy.data());
  ssize_t size = ssize_t(copy.size());
  if (!efi_loadopt_is_valid(opt, size)) return "<not a load option>";
  char path[1024] = {};
  if (efidp_format_device_path(path, sizeof path, efi_loadopt_path(opt, size),
                               efi_loadopt_pathlen(opt, size)) < 0)
    return "<no device path>";
  char attributes[16];
  snprintf(attributes, sizeof attributes, "%08x ", efi_loadopt_attrs(opt));
  return attributes + std::string(reinterpret_cast<const char*>(efi_loadopt_desc(opt, size))) +
         " " + path;
}

std::string EfiImage(const char* name) { return std::string(PELLORYCTL_EFI_DIR) + "/" + name; }

std::vector<std::string> Changed(const Snapshot& before, const Snapshot& after) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : after)
    if (!before.count(name) || before.at(name) != bytes) names.push_back(name);
  for (const auto& [name, bytes] : before)
    if (!after.count(name)) names.push_back(name + " (removed)");
  return names;
}

uint32_t PeOffset(const Bytes& b) { return uint32_t(b[0x3C] | b[0x3D] << 8 | b[0x3E] << 16 | b[0x3F] << 24); }

std::string Patched(const std::string& dir, const std::string& image, const std::function<void(Bytes*)>& change) {
  Bytes bytes = ReadFile(image);
  change(&bytes);
  std::string path = dir + "/patched.efi";
  WriteFile(path, bytes);
  return path;
}

std::string Signed(const std::string& dir, const std::string& image) {
  std::string command = "cd " + dir +
                        " && openssl req -new -x509 -newkey rsa:2048 -nodes -subj /CN=pelloryctl-test"
                        " -keyout key.pem -out cert.pem -days 1 >/dev/null 2>&1"
                        " && sbsign --key key.pem --cert cert.pem --output signed.efi " +
                        image + " >/dev/null 2>&1";
  EXPECT_EQ(system(command.c_str()), 0) << command;
  return dir + "/signed.efi";
}

Bytes Guid(const char* text) {
  efi_guid_t guid;
  EXPECT_EQ(efi_str_to_guid(text, &guid), 0);
  const auto* b = reinterpret_cast<const uint8_t*>(&guid);
  return Bytes(b, b + 16);
}

Bytes SignatureList(const char* type, const Bytes& value) {
  Bytes list = Guid(type);
  const uint32_t each = uint32_t(16 + value.size()), size = 28 + each;
  for (uint32_t field : {size, 0u, each})
    for (int i = 0; i < 4; ++i) list.push_back(uint8_t(field >> (8 * i)));
  Bytes owner = Guid(kShim);
  list.insert(list.end(), owner.begin(), owner.end());
  list.insert(list.end(), value.begin(), value.end());
  return list;
}

Outcome ReadCorrupted(const std::string& path, Bytes* bytes, size_t limit) {
  Outcome read = ReadWholeFile(path, bytes, limit);
  if (read && !bytes->empty()) bytes->back() ^= 0x01;
  return read;
}
