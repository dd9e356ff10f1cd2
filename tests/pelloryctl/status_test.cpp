// `pelloryctl status`, and `result` judging a successful run by what the
// identification driver read at this boot.
#include <cerrno>

#include "pelloryctl/variables.h"
#include "tests/pelloryctl/stand_in.h"

namespace {

const std::string kDescription = "Pellory converter identification";
const std::string kEntryPath =
    "HD(1,GPT,5b3b1a2e-4f0c-4d8a-9e21-7c6d5e4f3a2b,0x800,0x10000)/File(\\EFI\\Pellory\\pellory-identify.efi)";

std::string Reading(const std::string& state, const std::string& firmware, const std::string& oui = "0A1B2C") {
  return "format=1\nstate=" + state + "\ntime=2026-12-08T12:00:00\nport=0\nvendor_block=0x500\nconverter_oui=" + oui +
         "\nbootloader=2.0.1\nfirmware=" + firmware + "\n";
}
const std::string kNone = "format=1\nstate=none\ntime=2026-12-08T12:00:00\nport=\nvendor_block=\nconverter_oui=\n"
                          "bootloader=\nfirmware=\n";

class Status : public StandIn {
 protected:
  // The driver writes its reading volatile: boot and runtime access only.
  void PutReading(const std::string& text) { PutVar(kPellory, "PelloryConverter", Text(text), 6); }
  void InstallDriver(bool ordered) {
    PutVar(kGlobal, "Driver0002", LoadOption(kDescription, "\\EFI\\Pellory\\pellory-identify.efi"));
    PutVar(kGlobal, "DriverOrder", ordered ? Bytes{1, 0, 2, 0} : Bytes{1, 0});
  }
};

TEST_F(Status, EachStateInTextAndJson) {
  const std::string values = "\"format\":\"1\",\"time\":\"2026-12-08T12:00:00\",\"port\":\"0\",\"vendor_block\":\"0x500\","
                             "\"converter_oui\":\"0A1B2C\",\"bootloader\":\"2.0.1\",";
  std::string escaped;  // as a JSON string holds it
  for (char c : kEntryPath) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  const std::string driver = "\"driver\":\"Driver0002 " + escaped + "\"}\n";
  const struct Case {
    const char* name;
    std::string reading;  // empty: none this boot
    int driver;           // 0: not installed, 1: installed, 2: installed but not in DriverOrder
    int status;
    std::string text, json;
  } cases[] = {
      {"seen", Reading("seen", "0x07_0x22"), 1, 0,
       "State: seen\nThe identification driver read the converter at this boot.\nRead at: 2026-12-08T12:00:00\n"
       "Port: 0\nVendor block: 0x500\nConverter OUI: 0A1B2C\nBootloader: 2.0.1\nFirmware: 0x07_0x22\n"
       "Driver: Driver0002 " + kEntryPath + "\n",
       "{\"state\":\"seen\"," + values + "\"firmware\":\"0x07_0x22\"," + driver},
      {"unreadable", Reading("unreadable", ""), 1, 1,
       "State: unreadable\nA read of the converter failed at this boot; what it could not read is empty.\n"
       "Read at: 2026-12-08T12:00:00\nPort: 0\nVendor block: 0x500\nConverter OUI: 0A1B2C\nBootloader: 2.0.1\n"
       "Firmware: (not read)\nDriver: Driver0002 " + kEntryPath + "\n",
       "{\"state\":\"unreadable\"," + values + "\"firmware\":\"\"," + driver},
      {"none", kNone, 0, 1,
       "State: none\nThe graphics driver offered neither of its two protocols at this boot: the driver reached no "
       "converter.\nRead at: 2026-12-08T12:00:00\nPort: (not read)\nVendor block: (not read)\nConverter OUI: (not read)\n"
       "Bootloader: (not read)\nFirmware: (not read)\nDriver: not installed\n",
       "{\"state\":\"none\",\"format\":\"1\",\"time\":\"2026-12-08T12:00:00\",\"port\":\"\",\"vendor_block\":\"\","
       "\"converter_oui\":\"\",\"bootloader\":\"\",\"firmware\":\"\",\"driver\":\"\"}\n"},
      {"absent, no driver", "", 0, 3,
       "State: absent\nNo reading at this boot: the identification driver is not installed (pelloryctl driver "
       "install).\nDriver: not installed\n",
       "{\"state\":\"absent\",\"driver\":\"\"}\n"},
      {"absent, driver installed", "", 1, 3,
       "State: absent\nNo reading at this boot, though the driver is installed: if it was installed before this boot, "
       "the firmware did not load it (some firmware ignores Driver####).\nDriver: Driver0002 " + kEntryPath + "\n",
       "{\"state\":\"absent\"," + driver},
      {"absent, driver not in DriverOrder", "", 2, 3,
       "State: absent\nNo reading at this boot: the driver's entry is not in DriverOrder, so the firmware does not "
       "load it (pelloryctl driver install puts it back).\nDriver: Driver0002 " + kEntryPath + "\n",
       "{\"state\":\"absent\"," + driver},
  };
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    // Reading needs no write: efivarfs read-only is fine.
    WriteMounts(true, "ro");
    if (!c.reading.empty()) PutReading(c.reading);
    if (c.driver > 0) InstallDriver(c.driver == 1);
    CtlRun text = Ctl({"status"}), json = Ctl({"status", "--json"});
    EXPECT_EQ(text.status, c.status) << c.name << ": " << text.err;
    EXPECT_EQ(json.status, c.status) << c.name << ": " << json.err;
    EXPECT_EQ(text.out, c.text) << c.name;
    EXPECT_EQ(json.out, c.json) << c.name;
    EXPECT_EQ(text.err + json.err, "") << c.name;
  }
}

// A PelloryConverter that is not a reading is an error, never a guess.
TEST_F(Status, AVariableThatIsNotAReadingIsAnError) {
  const std::string seen = Reading("seen", "0x07_0x22");
  const std::pair<std::string, std::string> cases[] = {
      {seen.substr(0, seen.size() - 1), "does not end in a line feed"},
      {"format=2" + seen.substr(8), "is of an unknown format"},
      {Reading("read", "0x07_0x22"), "has an unknown state"},
      {seen.substr(0, seen.find("firmware=")), "does not hold every key of a reading"},
      {seen + "firmware=0x07_0x23\n", "holds more than the keys of a reading"},
      {Reading("seen", "0x07_0x22").replace(seen.find("port="), 7, "dport=0\n"), "does not hold the keys of a reading in their order"},
      {Reading("seen", "0x07\x01_0x22"), "holds a character that is not printable ASCII"},
      {"", "is empty"},
      {Reading("seen", "0x07_0x22", std::string(1024, 'A')), "is longer than 1024 bytes"},
  };
  for (const auto& [text, why] : cases) {
    PutReading(text);
    CtlRun run = Ctl({"status"}), json = Ctl({"status", "--json"});
    EXPECT_EQ(run.status, 3) << why;
    EXPECT_EQ(run.out, "") << why;
    EXPECT_EQ(run.err, "pelloryctl: PelloryConverter " + why + "\n");
    EXPECT_EQ(json.status, 3) << why;
    EXPECT_EQ(json.out, "{\"state\":\"error\",\"error\":\"PelloryConverter " + why + "\"}\n");
    // result judges by it: it refuses it too.
    EXPECT_EQ(Ctl({"result"}).err, "pelloryctl: PelloryConverter " + why + "\n");
  }
  // 1024 bytes is a reading, 1025 is not.
  const std::string longest = Reading("seen", "0x07_0x22", std::string(1024 - seen.size() + 6, 'A'));
  ASSERT_EQ(longest.size(), 1024u);
  PutReading(longest);
  EXPECT_EQ(Ctl({"status"}).status, 0);
  store_.FailGet("PelloryConverter", EIO);
  EXPECT_EQ(Ctl({"status"}).err, "pelloryctl: PelloryConverter can not be read\n");
}

std::string Record(const std::string& outcome) {
  return "format=1\nrequest=fleet-7\nstart=boot\ntime=2026-12-09T05:01:02\nmachine_serial=BENCH-0042\n"
         "machine_uuid=12345678-9ABC-DEF0-1122-334455667788\nport=0\nvendor_block=0x500\n"
         "converter_oui=0A1B2C\nbootloader=2.0.1\nfirmware_before=0x07_0x22\n"
         "image=07_23 sha256:d1c23f383fb67ae1\noutcome=" + outcome + "\n";
}

// After a successful run the reading at this boot decides: the converter
// still runs another version (a reboot, or a shutdown that did not cut its
// power) or runs the one written. A reading that did not see the converter
// decides nothing, and the kept request's after= rule stays.
TEST_F(Status, ResultJudgesTheRunByTheReading) {
  const struct Case {
    const char* name;
    std::string reading;  // empty: none
    const char* after;    // the kept request's
    const char* running;  // "running" in the JSON; nullptr: not there
    const char* power;    // power_off_needed
    const char* says;
  } cases[] = {
      {"runs the target", Reading("seen", "0x07_0x23"), "return", "0x07_0x23", "false",
       "The converter runs the new firmware (07_23) since this power-on.\n"},
      {"still the old one", Reading("seen", "0x07_0x22"), "return", "0x07_0x22", "true", "a reboot is not enough"},
      {"the old one after a shutdown", Reading("seen", "0x07_0x22"), "shutdown", "0x07_0x22", "true",
       "a reboot is not enough"},
      {"a newer one", Reading("seen", "0x07_0x24"), "shutdown", "0x07_0x24", "true", "a reboot is not enough"},
      {"the major's byte alone differs", Reading("seen", "0x17_0x23"), "return", "0x17_0x23", "true",
       "a reboot is not enough"},
      {"unreadable, with the target", Reading("unreadable", "0x07_0x23", ""), "return", "0x07_0x23", "true",
       "a reboot is not enough"},
      {"unreadable, after a shutdown", Reading("unreadable", "0x07_0x22", ""), "shutdown", "0x07_0x22", "false",
       "The program switched the machine off"},
      {"none", kNone, "return", "", "true", "a reboot is not enough"},
      {"no reading", "", "return", nullptr, "true", "a reboot is not enough"},
      {"no reading after a shutdown", "", "shutdown", nullptr, "false", "The program switched the machine off"},
  };
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    PutVar(kPellory, "PelloryResult", Text(Record("successful")));
    WriteFile(root_ + "/var/lib/pellory/request",
              Text("format=1\nid=fleet-7\nafter=" + std::string(c.after) + "\nimage=07_23 sha256:d1c23f383fb67ae1\n"));
    if (!c.reading.empty()) PutReading(c.reading);
    CtlRun json = Ctl({"result", "--json"}), text = Ctl({"result"});
    EXPECT_EQ(json.status, 0) << c.name << ": " << json.err;
    const std::string tail = (c.running ? ",\"running\":\"" + std::string(c.running) + "\"" : std::string()) +
                             ",\"power_off_needed\":" + c.power + "}\n";
    EXPECT_EQ(json.out.substr(json.out.size() - std::min(json.out.size(), tail.size())), tail) << c.name << ": " << json.out;
    EXPECT_NE(json.out.find(",\"outcome\":\"successful\"" + tail), std::string::npos) << c.name << ": " << json.out;
    EXPECT_NE(text.out.find(c.says), std::string::npos) << c.name << ": " << text.out;
    const bool shows = c.running && *c.running;
    EXPECT_EQ(text.out.find("Running: " + std::string(shows ? c.running : "") +
                            " (the identification driver's reading at this boot)\n") != std::string::npos,
              shows)
        << c.name << ": " << text.out;
  }
}

// Other states carry the reading's firmware too, and it decides nothing.
TEST_F(Status, ResultCarriesTheRunningVersionInEveryState) {
  PutReading(Reading("seen", "0x07_0x23"));
  PutVar(kPellory, "PelloryResult", Text(Record("current")));
  CtlRun run = Ctl({"result", "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string tail = ",\"outcome\":\"current\",\"running\":\"0x07_0x23\"}\n";
  EXPECT_EQ(run.out.substr(run.out.size() - std::min(run.out.size(), tail.size())), tail) << run.out;
  EXPECT_TRUE(VarDelete(kPelloryGuid, "PelloryResult"));
  PutVar(kPellory, "PelloryRequest", Text("format=1\nid=fleet-8\n"));
  EXPECT_EQ(Ctl({"result", "--json"}).out, "{\"state\":\"pending\",\"pending_request\":\"fleet-8\",\"running\":\"0x07_0x23\"}\n");
}

}  // namespace
