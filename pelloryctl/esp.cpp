#include "pelloryctl/esp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pelloryctl/crc32.h"
#include "pelloryctl/system_paths.h"

namespace {

// C12A7328-F81F-11D2-BA4B-00A0C93EC93B as the GPT stores it.
constexpr uint8_t kEspType[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                  0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};

uint64_t Le(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

// mountinfo writes space, tab, LF and backslash as \ooo.
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3') {
      out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start <= line.size()) {
    size_t end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

Outcome ReadNumber(const std::string& path, uint64_t* value) {
  std::string line;
  if (Outcome read = ReadLine(path, &line); !read) return read;
  char* end = nullptr;
  errno = 0;
  *value = strtoull(line.c_str(), &end, 10);
  if (errno != 0 || !end || *end != '\0') return Fail(path + " does not hold a number", errno);
  return Done();
}

Outcome ReadAt(int fd, uint64_t offset, uint8_t* buffer, size_t length) {
  if (pread(fd, buffer, length, off_t(offset)) != ssize_t(length)) return Fail("the disk can not be read", errno);
  return Done();
}

// The partition's GPT entry: checks the header's and the entries' CRC, and
// that the entry is the one sysfs describes.
Outcome ReadGptEntry(const std::string& disk, uint64_t block, Esp* esp, uint64_t sysfs_start_512) {
  int fd = open(SystemPath("/dev/" + disk).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail("is on /dev/" + disk + ", which can not be opened", errno);
  uint8_t header[512] = {};
  Outcome read;
  if (block < 512 || block > 4096 || !ReadAt(fd, block, header, 92) ||
      memcmp(header, "EFI PART", 8) != 0) {
    close(fd);
    return Fail("is on /dev/" + disk + ", which has no GPT");
  }
  uint32_t header_size = uint32_t(Le(header + 12, 4)), crc = uint32_t(Le(header + 16, 4));
  uint64_t entries_lba = Le(header + 72, 8);
  uint32_t count = uint32_t(Le(header + 80, 4)), entry_size = uint32_t(Le(header + 84, 4));
  std::vector<uint8_t> entries;
  if (header_size < 92 || header_size > 512 || !ReadAt(fd, block, header, header_size)) {
    read = Fail("is on /dev/" + disk + ", whose GPT header is damaged");
  } else {
    memset(header + 16, 0, 4);
    if (Crc32(header, header_size) != crc || entry_size < 128 || entry_size > 4096 ||
        count == 0 || count > 1024 || esp->partition > count) {
      read = Fail("is on /dev/" + disk + ", whose GPT header is damaged");
    } else {
      entries.resize(size_t(count) * entry_size);
      if (!ReadAt(fd, entries_lba * block, entries.data(), entries.size()) ||
          Crc32(entries.data(), entries.size()) != uint32_t(Le(header + 88, 4)))
        read = Fail("is on /dev/" + disk + ", whose GPT entries are damaged");
    }
  }
  close(fd);
  if (!read) return read;
  const uint8_t* entry = entries.data() + size_t(esp->partition - 1) * entry_size;
  if (memcmp(entry, kEspType, 16) != 0) return Fail("is not an EFI System Partition (its GPT type is another)");
  uint64_t first = Le(entry + 32, 8), last = Le(entry + 40, 8);
  if (first * (block / 512) != sysfs_start_512 || last < first)
    return Fail("has a GPT entry that does not match the kernel's partition");
  esp->start = first;
  esp->size = last - first + 1;
  memcpy(esp->unique_guid, entry + 16, 16);
  return Done();
}

// The partition behind major:minor in sysfs: its number, start, disk.
Outcome DescribePartition(const std::string& device, Esp* esp) {
  std::string link = SystemPath("/sys/dev/block/" + device);
  char resolved[PATH_MAX];
  if (!realpath(link.c_str(), resolved)) return Fail("its device " + device + " is not in sysfs");
  std::string part(resolved);
  uint64_t number = 0, start = 0, block = 512, removable = 0;
  if (!ReadNumber(part + "/partition", &number) || number == 0 || number > 1024)
    return Fail("is not on a disk partition");
  if (!ReadNumber(part + "/start", &start)) return Fail("its partition start can not be read");
  std::string disk_dir = part.substr(0, part.rfind('/'));
  std::string disk = disk_dir.substr(disk_dir.rfind('/') + 1);
  if (!ReadNumber(disk_dir + "/removable", &removable))
    return Fail("can not tell whether /dev/" + disk + " is removable");
  if (removable != 0) return Fail("is on /dev/" + disk + ", a removable disk");
  (void)ReadNumber(disk_dir + "/queue/logical_block_size", &block);
  if (block % 512 != 0) return Fail("is on /dev/" + disk + ", of an unknown block size");
  esp->partition = uint32_t(number);
  return ReadGptEntry(disk, block, esp, start);
}

// Looking inside a mount point mounts it when systemd mounts it on demand
// (an automount at /efi or /boot/efi); the table then shows the ESP itself.
void Reach(const std::string& dir) {
  struct stat st = {};
  (void)stat(SystemPath(dir + "/.").c_str(), &st);
}

}  // namespace

bool MountedReadOnly(const Mount& mount) {
  return mount.options == "ro" || mount.options.rfind("ro,", 0) == 0;
}

Outcome FindMount(const std::string& mount_point, Mount* mount) {
  std::vector<uint8_t> bytes;
  if (Outcome read = ReadWholeFile(SystemPath("/proc/self/mountinfo"), &bytes, 1 << 22); !read) return read;
  std::string text(bytes.begin(), bytes.end());
  bool found = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> w = Words(text.substr(start, end - start));
    start = end + 1;
    size_t dash = 6;
    while (dash < w.size() && w[dash] != "-") ++dash;
    if (dash + 2 >= w.size() || Unescape(w[4]) != mount_point) continue;
    *mount = {Unescape(w[4]), w[dash + 1], w[5], w[2], Unescape(w[3])};
    found = true;
  }
  if (!found) return Fail(mount_point + " is not a mount point");
  return Done();
}

Outcome FindEsp(const std::string& esp_dir, Esp* esp) {
  Mount mount;
  if (esp_dir.empty()) {
    Reach("/boot/efi");
    Reach("/efi");
    if (!FindMount("/boot/efi", &mount) && !FindMount("/efi", &mount))
      return Fail("no EFI System Partition is mounted at /boot/efi or /efi (name it with --esp DIR)");
  } else {
    Reach(esp_dir);
    std::string dir = esp_dir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (!FindMount(dir, &mount)) return Fail(esp_dir + " is not a mount point");
  }
  if (mount.root != "/")
    return Fail(mount.mount_point + " shows the folder " + mount.root +
                " of its partition, not the partition's root (a bind mount): name the ESP's own mount point");
  esp->mount_point = mount.mount_point;
  esp->read_only = MountedReadOnly(mount);
  Outcome described = DescribePartition(mount.device, esp);
  if (!described) return Fail(mount.mount_point + " " + described.reason, described.error);
  return Done();
}

Outcome FindWritableEsp(const std::string& esp_dir, Esp* esp) {
  if (Outcome found = FindEsp(esp_dir, esp); !found) return found;
  if (esp->read_only)
    return Fail("the EFI System Partition is mounted read-only at " + esp->mount_point + " (mount -o remount,rw " +
                esp->mount_point + ")");
  return Done();
}
