#include "pelloryctl/system_paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

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
