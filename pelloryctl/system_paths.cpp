#include "pelloryctl/system_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

Outcome WriteSynced(const std::string& path, const std::vector<uint8_t>& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(path + " can not be written", errno);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) break;
    done += size_t(wrote);
  }
  const bool ok = done == bytes.size() && fsync(fd) == 0;
  if (close(fd) != 0 || !ok) return Fail(path + " can not be written", errno);
  return Done();
}

Outcome SyncDir(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool ok = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (!ok) return Fail("the folder " + dir + " can not be synced", errno);
  return Done();
}

}  // namespace

std::string SystemPath(const std::string& path) {
  const char* root = getenv("PELLORYCTL_ROOT");
  return root ? std::string(root) + path : path;
}

Outcome ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, size_t limit) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail(path + " can not be read", errno);
  bytes->clear();
  uint8_t chunk[65536];
  ssize_t got = 0;
  while ((got = read(fd, chunk, sizeof chunk)) > 0 && bytes->size() + size_t(got) <= limit)
    bytes->insert(bytes->end(), chunk, chunk + got);
  const int error = got < 0 ? errno : EFBIG;
  close(fd);
  if (got != 0) return Fail(path + " can not be read", error);
  return Done();
}

Outcome ReadLine(const std::string& path, std::string* line) {
  std::vector<uint8_t> bytes;
  if (Outcome read = ReadWholeFile(path, &bytes, 4096); !read) return read;
  line->assign(bytes.begin(), bytes.end());
  size_t end = line->find('\n');
  if (end != std::string::npos) line->resize(end);
  if (line->empty()) return Fail(path + " is empty");
  return Done();
}

Outcome MakeDir(const std::string& dir, bool* made) {
  *made = mkdir(dir.c_str(), 0755) == 0;
  struct stat st = {};
  if (*made || (errno == EEXIST && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) return Done();
  return Fail("the folder " + dir + " can not be made", errno);
}

Outcome ReplaceFile(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes,
                    const ReplaceSays& says) {
  const std::string path = dir + "/" + name, temporary = path + ".new";
  const Outcome written = WriteSynced(temporary, bytes);
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return Fail(written ? says.rename : says.write);
  }
  if (!SyncDir(dir)) return Fail(says.sync);
  return Done();
}
