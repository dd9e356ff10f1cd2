// `pelloryctl collect`: a boot server's folder of records as one CSV with
// the fleet playbook's columns.
#include <filesystem>
#include <fstream>

#include "tests/pelloryctl/stand_in.h"

namespace {

namespace fs = std::filesystem;

std::string Record(const std::string& time, const std::string& serial, const std::string& outcome) {
  return "format=1\nrequest=\nstart=network\ntime=" + time + "\nmachine_serial=" + serial +
         "\nmachine_uuid=12345678-9ABC-DEF0-1122-334455667788\nport=0\nvendor_block=0x500\n"
         "converter_oui=0A1B2C\nbootloader=2.0.1\nfirmware_before=0x07_0x22\n"
         "image=07_23 sha256:d1c23f383fb67ae1\noutcome=" + outcome + "\n";
}

std::string Row(const std::string& file, const std::string& state, const std::string& action,
                const std::string& time, const std::string& serial, const std::string& outcome,
                const std::string& power_off) {
  return file + "," + state + "," + action + ",07_23,,network," + time + "," + serial +
         ",12345678-9ABC-DEF0-1122-334455667788,0,0x500,0A1B2C,2.0.1,0x07_0x22,"
         "07_23 sha256:d1c23f383fb67ae1," + outcome + ",," + power_off + "\r\n";
}

// The playbook report's header line, as its README shows it.
std::string PlaybookHeader() {
  std::ifstream readme(PELLORYCTL_SOURCE_DIR "/deploy/ansible/README.md");
  for (std::string line; std::getline(readme, line);)
    if (line.rfind("host,", 0) == 0) return line;
  return "";
}

class Collect : public StandIn {
 protected:
  void SetUp() override {
    StandIn::SetUp();
    dir_ = root_ + "/srv/line3/pellory-results";
    fs::create_directories(dir_);
  }
  void Put(const std::string& name, const std::string& text) { WriteFile(dir_ + "/" + name, Text(text)); }
  std::string dir_;
};

// Every kind of file a server's folder may hold: records of each state in
// no particular order (one with a comma and a quote, one with a quote
// alone, one stopped with its message), files that are no record (skipped, each named once), and what
// is no file at all (passed over in silence).
TEST_F(Collect, OneRowPerRecordByTimeAndEveryUnreadableFileNamed) {
  Put("525400123457-20261210T061500.txt", Record("2026-12-10T06:15:00", "PC-7", "started"));
  Put("525400123456-20261210T060000.txt", Record("2026-12-10T06:00:00", "BENCH,\"42\"", "successful"));
  Put("525400123458-unknown-time.txt", Record("", "PC-8", "stopped: 3Cannot get ACK, Update failed"));
  Put("525400123459-20261210T060500.txt", Record("2026-12-10T06:05:00", "LINE\"3", "current"));
  Put("52540012345a-20261210T060500.txt", Record("2026-12-10T06:05:00", "PC-10", "failed"));
  Put("empty.txt", "");
  Put("half.txt", Record("2026-12-10T06:20:00", "PC-11", "successful").substr(0, 60));
  Put("long.txt", std::string(1100, 'a') + "\n");
  Put("other.html", "<html></html>\n");
  Put(".partial-upload", "format=1\n");
  fs::create_directories(dir_ + "/older");
  Put("older/525400123450-20261201T000000.txt", Record("2026-12-01T00:00:00", "PC-0", "successful"));

  CtlRun run = Ctl({"collect", dir_});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            PlaybookHeader() + "\r\n" +
                Row("525400123458-unknown-time.txt", "stopped", "", "", "PC-8",
                    "\"stopped: 3Cannot get ACK, Update failed\"", "") +
                Row("525400123456-20261210T060000.txt", "successful", "updated", "2026-12-10T06:00:00",
                    "\"BENCH,\"\"42\"\"\"", "successful", "true") +
                Row("525400123459-20261210T060500.txt", "current", "none", "2026-12-10T06:05:00",
                    "\"LINE\"\"3\"", "current", "") +
                Row("52540012345a-20261210T060500.txt", "failed", "", "2026-12-10T06:05:00", "PC-10", "failed",
                    "") +
                Row("525400123457-20261210T061500.txt", "interrupted", "", "2026-12-10T06:15:00", "PC-7",
                    "started", ""));
  EXPECT_EQ(run.err,
            "pelloryctl: empty.txt is empty: skipped\n"
            "pelloryctl: half.txt does not end in a line feed: skipped\n"
            "pelloryctl: long.txt is longer than 1024 bytes: skipped\n"
            "pelloryctl: other.html has a line that is not key=value: skipped\n");
}

TEST_F(Collect, ExitStatusForAWholeFolderAnEmptyOneAndNoFolder) {
  struct Case {
    std::vector<std::string> records;
    std::string dir;
    int status;
    size_t rows;
    std::string err;
  } cases[] = {
      {{Record("2026-12-10T06:00:00", "PC-1", "identified"), Record("2026-12-10T06:00:01", "PC-2", "successful")},
       "", 0, 2, ""},
      {{}, "", 0, 0, ""},
      {{}, "/no/such/folder", 3, 0, "pelloryctl: /no/such/folder can not be read: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    for (size_t i = 0; i < c.records.size(); ++i) Put("r" + std::to_string(i) + ".txt", c.records[i]);
    CtlRun run = Ctl({"collect", c.dir.empty() ? dir_ : root_ + c.dir});
    EXPECT_EQ(run.status, c.status) << c.dir;
    if (c.status == 3) {
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err, "pelloryctl: " + root_ + c.err.substr(12));
      continue;
    }
    EXPECT_EQ(run.err, "");
    size_t lines = 0;
    for (size_t at = 0; (at = run.out.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
    EXPECT_EQ(lines, 1 + c.rows) << run.out;
    EXPECT_EQ(run.out.rfind(PlaybookHeader() + "\r\n", 0), 0u);
  }
}

}  // namespace
