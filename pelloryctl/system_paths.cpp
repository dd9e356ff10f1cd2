#include "pelloryctl/system_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

bool WriteSynced(const std::string& path, const std::vector<uint8_t>& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) break;
    done += size_t(wrote);
  }
  bool ok = done == bytes.size() && fsync(fd) == 0;
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

std::string SystemPath(const std::string& path) {
  const char* root = getenv("PELLORYCTL_ROOT");
  return root ? std::string(root) + path : path;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, size_t limit) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes->clear();
  uint8_t chunk[65536];
  bool ok = true;
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 || bytes->size() + size_t(got) > limit) { ok = false; break; }
    if (got == 0) break;
    bytes->insert(bytes->end(), chunk, chunk + got);
  }
  close(fd);
  return ok;
}

bool ReadLine(const std::string& path, std::string* line) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes, 4096)) return false;
  line->assign(bytes.begin(), bytes.end());
  size_t end = line->find('\n');
  if (end != std::string::npos) line->resize(end);
  return !line->empty();
}

bool MakeDir(const std::string& dir, bool* made) {
  if (mkdir(dir.c_str(), 0755) == 0) return *made = true;
  struct stat st = {};
  return errno == EEXIST && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

ReplaceStep ReplaceFile(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string path = dir + "/" + name, temporary = path + ".new";
  if (!WriteSynced(temporary, bytes)) {
    unlink(temporary.c_str());
    return ReplaceStep::Write;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return ReplaceStep::Rename;
  }
  return SyncDir(dir) ? ReplaceStep::Done : ReplaceStep::SyncDir;
}
