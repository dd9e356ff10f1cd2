#include "pelloryctl/esp.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pelloryctl/efivar_c.h"
#include "pelloryctl/system_paths.h"

namespace {

// The ESP's GPT type, as libblkid writes a partition's type.
constexpr char kEspType[] = "c12a7328-f81f-11d2-ba4b-00a0c93ec93b";

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

// The partition's GPT entry, as libblkid reads the disk's partition table
// (its CRCs checked, the backup used when the first copy is damaged):
// the entry must be the one sysfs describes, of the ESP's type.
Outcome ReadGptEntry(const std::string& disk, uint64_t block, Esp* esp, uint64_t sysfs_start_512) {
  blkid_probe probe = blkid_new_probe_from_filename(SystemPath("/dev/" + disk).c_str());
  if (!probe) return Fail("is on /dev/" + disk + ", which can not be opened", errno);
  // PTTYPE is gpt, or PMBR for a protective MBR whose GPT failed its CRCs.
  const char* value = nullptr;
  if (blkid_probe_set_sectorsize(probe, unsigned(block)) == 0 && blkid_probe_enable_superblocks(probe, 0) == 0 &&
      blkid_probe_enable_partitions(probe, 1) == 0 && blkid_do_safeprobe(probe) == 0)
    (void)blkid_probe_lookup_value(probe, "PTTYPE", &value, nullptr);
  const std::string kind = value ? value : "";  // the next probe frees value
  blkid_partition entry = nullptr;
  if (kind == "gpt")
    if (blkid_partlist partitions = blkid_probe_get_partitions(probe))
      entry = blkid_partlist_get_partition_by_partno(partitions, int(esp->partition));
  Outcome read = Done();
  if (kind == "PMBR") {
    // A protective MBR whose GPT libblkid refused: its header or its entries fail their CRC.
    read = Fail("is on /dev/" + disk + ", whose GPT header or entries are damaged");
  } else if (kind != "gpt") {
    read = Fail("is on /dev/" + disk + ", which has no GPT");
  } else if (!entry) {
    read = Fail("has no entry in the GPT of /dev/" + disk);
  } else {
    const char* type = blkid_partition_get_type_string(entry);
    const char* unique = blkid_partition_get_uuid(entry);
    const uint64_t first_512 = uint64_t(blkid_partition_get_start(entry)), size_512 = uint64_t(blkid_partition_get_size(entry));
    efi_guid_t guid;
    if (!type || strcasecmp(type, kEspType) != 0) {
      read = Fail("is not an EFI System Partition (its GPT type is another)");
    } else if (first_512 != sysfs_start_512 || size_512 == 0 || !unique || efi_str_to_guid(unique, &guid) != 0) {
      read = Fail("has a GPT entry that does not match the kernel's partition");
    } else {
      esp->start = first_512 / (block / 512);
      esp->size = size_512 / (block / 512);
      memcpy(esp->unique_guid, &guid, 16);
    }
  }
  blkid_free_probe(probe);
  return read;
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
