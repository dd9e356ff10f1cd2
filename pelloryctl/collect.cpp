// `pelloryctl collect DIR`: the records a line's boot server received (one
// file per run, the bytes of the run's PelloryResult) as one CSV with the
// fleet playbook's columns, so that a factory line and a fleet rollout give
// the same report.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "pelloryctl/commands.h"
#include "pelloryctl/request_text.h"
#include "text/text.h"

namespace {

struct Row {
  std::string file;
  Record record;
};

// A file's first bytes, one more than a record may hold so that a longer
// file is told apart.
Outcome ReadRecordFile(const std::string& path, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return Fail(std::string("can not be opened: ") + strerror(errno), errno);
  char bytes[kTextLimit + 1];
  size_t used = 0;
  for (;;) {
    ssize_t got = read(fd, bytes + used, sizeof bytes - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int error = errno;
      close(fd);
      return Fail(std::string("can not be read: ") + strerror(error), error);
    }
    used += size_t(got);
    if (got == 0 || used == sizeof bytes) break;
  }
  close(fd);
  text->assign(bytes, used);
  return Done();
}

// RFC 4180, by the text layer's one writer of a CSV field.
std::string CsvField(const std::string& value) {
  std::string quoted(2 * value.size() + 2, '\0');
  text::Writer<char> field = text::WriterOn(quoted.data(), quoted.size());
  text::PutCsvField(&field, value.c_str());
  quoted.resize(field.used);
  return quoted;
}

// The playbook's row for a record: host, state, action, target, the
// record's fields after format, running, power_off_needed. No reading
// reaches the server, so running stays empty. The file's name stands
// for the host: it is the PC's MAC address and the run's start time.
void PrintRow(const Row& row, FILE* out) {
  const std::string state = RecordState(row.record.Get("outcome"));
  const char* action = state == "successful" ? "updated" : state == "current" ? "none"
                       : state == "identified"  ? "identified" : "";
  const std::string target = row.record.Get("image").substr(0, contract::kImageVersionLength);
  std::string line = CsvField(row.file) + "," + state + "," + action + "," + CsvField(target);
  for (size_t i = 1; i < row.record.fields.size(); ++i) line += "," + CsvField(row.record.fields[i].second);
  // Nothing on the server says the run switched the machine off itself,
  // so a successful run needs the power-off, as `result` says without a
  // kept request.
  line += state == "successful" ? ",,true" : ",,";
  fprintf(out, "%s\r\n", line.c_str());
}

}  // namespace

int Collect(const std::string& dir, FILE* out, FILE* err) {
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) {
    fprintf(err, "pelloryctl: %s can not be read: %s\n", dir.c_str(), strerror(errno));
    return kExitNone;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(folder))
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  closedir(folder);
  std::sort(names.begin(), names.end());

  std::vector<Row> rows;
  bool skipped = false;
  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    struct stat about;
    // Folders and other non-files are no records; a web server's own
    // hidden files (partial uploads) neither.
    if (lstat(path.c_str(), &about) != 0 || !S_ISREG(about.st_mode)) continue;
    std::string text;
    Row row = {name, {}};
    Outcome read = ReadRecordFile(path, &text);
    if (read) read = ParseRecord(text, &row.record);
    if (!read) {
      fprintf(err, "pelloryctl: %s %s: skipped\n", name.c_str(), read.reason.c_str());
      skipped = true;
      continue;
    }
    rows.push_back(row);
  }
  // By the run's time (the firmware's clock, so ISO text sorts as time);
  // runs of one second by file name.
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return a.record.Get("time") < b.record.Get("time");
  });

  std::string header = "host,state,action,target";
  for (size_t i = 1; i < contract::kRecordKeyCount; ++i) header += std::string(",") + contract::kRecordKeys[i];
  fprintf(out, "%s,running,power_off_needed\r\n", header.c_str());
  for (const Row& row : rows) PrintRow(row, out);
  return skipped ? kExitFailed : kExitSuccessful;
}
