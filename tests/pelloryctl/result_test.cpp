// `pelloryctl result`, `cancel` and `clean`, each state read from the
// variables the program and schedule leave.
#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "pelloryctl/variables.h"

#include "tests/pelloryctl/stand_in.h"

namespace {

std::string Record(const std::string& request, const std::string& outcome) {
  return "format=1\nrequest=" + request +
         "\nstart=boot\ntime=2026-12-09T05:01:02\nmachine_serial=BENCH,0042\n"
         "machine_uuid=12345678-9ABC-DEF0-1122-334455667788\nport=0\nvendor_block=0x500\n"
         "converter_oui=0A1B2C\nbootloader=2.0.1\nfirmware_before=0x07_0x22\n"
         "image=07_23 sha256:d1c23f383fb67ae1\noutcome=" + outcome + "\n";
}

const std::string kRequest = "format=1\nid=fleet-7\nafter=return\n";

class Result : public StandIn {
 protected:
  void SetUp() override {
    StandIn::SetUp();
    PutVar(kGlobal, "BootOrder", {0, 0});
    PutVar(kGlobal, "Boot0003", LoadOption("Pellory firmware update", "\\EFI\\Pellory\\pellory.efi"));
  }
};

TEST_F(Result, EachStateWithItsExitStatus) {
  struct Case {
    const char* request;  // nullptr: absent
    std::string record;   // empty: absent
    const char* state;
    int status;
    const char* says;
  } cases[] = {
      {nullptr, "", "none", 3, "State: none\n"},
      {kRequest.c_str(), "", "pending", 2, "Request fleet-7 has not run yet."},
      // An older run's record beside a new request: still pending.
      {kRequest.c_str(), Record("fleet-6", "successful"), "pending", 2, "Request fleet-7"},
      {nullptr, Record("fleet-7", "started"), "interrupted", 1, "cut short"},
      {nullptr, Record("fleet-7", "successful"), "successful", 0, "Shut the machine down"},
      {nullptr, Record("fleet-7", "failed"), "failed", 1, "Outcome: failed\n"},
      {nullptr, Record("fleet-7", "current"), "current", 0,
       "The converter already runs the image's firmware (0x07_0x22): nothing was written.\n"},
      {nullptr, Record("fleet-7", "identified"), "identified", 0,
       "The converter runs firmware 0x07_0x22; the program carries 07_23 sha256:d1c23f383fb67ae1.\n"},
      {nullptr, Record("fleet-7", "stopped: 3Cannot get ACK. Update failed"), "stopped", 1,
       "Outcome: stopped: 3Cannot get ACK. Update failed\n"},
      {nullptr, Record("", "successful"), "successful", 0, "Request: \n"},  // a shell run
  };
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    if (c.request) PutVar(kPellory, "PelloryRequest", Text(c.request));
    if (!c.record.empty()) PutVar(kPellory, "PelloryResult", Text(c.record));
    for (bool json : {false, true}) {
      CtlRun run = json ? Ctl({"result", "--json"}) : Ctl({"result"});
      EXPECT_EQ(run.status, c.status) << c.state << run.err;
      EXPECT_EQ(run.err, "") << c.state;
      std::string head = json ? "{\"state\":\"" + std::string(c.state) + "\"" : "State: " + std::string(c.state) + "\n";
      EXPECT_EQ(run.out.rfind(head, 0), 0u) << run.out;
      if (!json) {
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
      }
    }
  }
}

TEST_F(Result, JsonHoldsEveryFieldOfTheRecordInItsOrder) {
  PutVar(kPellory, "PelloryResult", Text(Record("fleet-7", "stopped: say \"no\" \\ twice")));
  CtlRun run = Ctl({"result", "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "{\"state\":\"stopped\",\"format\":\"1\",\"request\":\"fleet-7\",\"start\":\"boot\","
            "\"time\":\"2026-12-09T05:01:02\",\"machine_serial\":\"BENCH,0042\","
            "\"machine_uuid\":\"12345678-9ABC-DEF0-1122-334455667788\",\"port\":\"0\","
            "\"vendor_block\":\"0x500\",\"converter_oui\":\"0A1B2C\",\"bootloader\":\"2.0.1\","
            "\"firmware_before\":\"0x07_0x22\",\"image\":\"07_23 sha256:d1c23f383fb67ae1\","
            "\"outcome\":\"stopped: say \\\"no\\\" \\\\ twice\"}\n");
  // A newer request than the record's: the record is history.
  PutVar(kPellory, "PelloryRequest", Text("format=1\nid=fleet-8\n"));
  EXPECT_EQ(Ctl({"result", "--json"}).out, "{\"state\":\"pending\",\"pending_request\":\"fleet-8\"}\n");
}

// The kept request gives the target and tells whether the run switched the
// machine off, only when it is of the request that is pending or recorded.
TEST_F(Result, TargetAndPowerOffComeFromTheKeptRequestOfThisRun) {
  const std::string image = "\nimage=07_24 sha256:0123456789abcdef\n";  // not the record's 07_23
  const struct Case {
    std::string kept;  // empty: none
    const char* request;
    const char* outcome;
    const char* target;  // nullptr: no target
    const char* power;   // power_off_needed; nullptr: not told
    const char* says;
  } cases[] = {
      {"format=1\nid=fleet-7\nafter=shutdown" + image, nullptr, "successful", "07_24", "false",
       "The program switched the machine off after the update"},
      {"format=1\nid=fleet-7\nafter=reboot" + image, nullptr, "successful", "07_24", "true", "a reboot is not enough"},
      {"format=1\nid=fleet-7\nafter=return" + image, nullptr, "successful", "07_24", "true", "a reboot is not enough"},
      {"format=1\nid=fleet-6\nafter=shutdown" + image, nullptr, "successful", nullptr, "true", "a reboot is not enough"},
      {"", nullptr, "successful", nullptr, "true", "a reboot is not enough"},
      {"format=1\nid=fleet-7\nafter=shutdown\n", nullptr, "successful", nullptr, "true", "a reboot is not enough"},
      {"format=1\nid=fleet-7\nafter=shutdown\nimage=07-24\n", nullptr, "successful", nullptr, "true",
       "a reboot is not enough"},
      {"format=1\nid=fleet-7\nafter=shutdown" + image, nullptr, "failed", "07_24", nullptr, "Outcome: failed"},
      {"format=1\nid=fleet-8\nafter=shutdown\nmode=identify" + image, "format=1\nid=fleet-8\n", "successful",
       "07_24", nullptr, "has not run yet"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(root_ + "/var/lib/pellory/request");
    if (!c.kept.empty()) WriteFile(root_ + "/var/lib/pellory/request", Text(c.kept));
    if (c.request) PutVar(kPellory, "PelloryRequest", Text(c.request));
    PutVar(kPellory, "PelloryResult", Text(Record("fleet-7", c.outcome)));
    CtlRun json = Ctl({"result", "--json"}), text = Ctl({"result"});
    const std::string state = c.request ? "pending" : c.outcome;
    const std::string head = "{\"state\":\"" + state + "\"" + (c.target ? ",\"target\":\"" + std::string(c.target) + "\"" : "");
    const std::string tail = c.power ? ",\"power_off_needed\":" + std::string(c.power) + "}\n" : "\"}\n";
    EXPECT_EQ(json.out.rfind(head + (c.request ? ",\"pending_request\":" : ",\"format\":\"1\""), 0), 0u) << json.out;
    EXPECT_EQ(json.out.substr(json.out.size() - std::min(json.out.size(), tail.size())), tail) << json.out;
    EXPECT_NE(text.out.find(c.says), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("Target: ") != std::string::npos, c.target != nullptr) << text.out;
    EXPECT_EQ(json.status, c.outcome == std::string("failed") ? 1 : c.request ? 2 : 0);
    EXPECT_TRUE(VarDelete(kPelloryGuid, "PelloryRequest"));
  }
}

TEST_F(Result, PendingTellsWhetherBootNextStillNamesOurEntry) {
  PutVar(kPellory, "PelloryRequest", Text(kRequest));
  PutVar(kGlobal, "BootNext", {3, 0});
  EXPECT_NE(Ctl({"result"}).out.find("BootNext names the Pellory entry: reboot"), std::string::npos);
  PutVar(kGlobal, "BootNext", {0, 0});
  EXPECT_NE(Ctl({"result"}).out.find("the firmware did not start the program"), std::string::npos);
}

TEST_F(Result, ARecordOrRequestThatIsNotOneIsAnError) {
  const std::string bad[] = {Record("fleet-7", "finished"), Record("fleet 7", "failed"),
                             Record("fleet-7", "failed").substr(1), "format=1\r\nrequest=\n",
                             Record("fleet-7", "failed") + std::string(1024, 'x') + "\n"};
  for (const std::string& text : bad) {
    PutVar(kPellory, "PelloryResult", Text(text));
    CtlRun run = Ctl({"result", "--json"});
    EXPECT_EQ(run.status, 3) << text;
    EXPECT_EQ(run.err.rfind("pelloryctl: PelloryResult ", 0), 0u) << run.err;
    std::string message;  // the line's text, as a JSON string holds it
    for (char c : run.err.substr(12, run.err.size() - 13)) message += c == '"' ? "\\\"" : std::string(1, c);
    EXPECT_EQ(run.out, "{\"state\":\"error\",\"error\":\"" + message + "\"}\n");
  }
  // 1024 bytes is a record, 1025 is not.
  // (76: right after "machine_serial=")
  std::string serial(1024 - Record("fleet-7", "failed").size(), 'S');
  std::string longest = Record("fleet-7", "failed").replace(76, 0, serial);
  ASSERT_EQ(longest.size(), 1024u);
  PutVar(kPellory, "PelloryResult", Text(longest));
  EXPECT_EQ(Ctl({"result"}).status, 1);
  PutVar(kPellory, "PelloryResult", Text(longest.replace(76, 0, "S")));
  EXPECT_EQ(Ctl({"result"}).err, "pelloryctl: PelloryResult is longer than 1024 bytes\n");
  PutVar(kPellory, "PelloryResult", Text(Record("fleet-7", "failed")));
  PutVar(kPellory, "PelloryRequest", Text("format=2\nid=fleet-7\n"));
  EXPECT_EQ(Ctl({"result"}).err, "pelloryctl: PelloryRequest is of an unknown format \"2\"\n");
}

// The program refuses a request that names a key twice, so result can not
// call it pending: it is a request nobody will run.
TEST_F(Result, ARequestThatNamesAKeyTwiceIsNotRead) {
  const std::pair<std::string, const char*> cases[] = {
      {"format=1\nformat=1\nid=fleet-7\n", "format"},
      {"format=1\nid=fleet-7\nid=fleet-7\n", "id"},
      {"format=1\nid=fleet-7\nafter=return\nafter=reboot\n", "after"},
      {"format=1\nid=fleet-7\nmode=identify\nmode=identify\n", "mode"},
      {"format=1\nallow=any\nid=fleet-7\nallow=same\n", "allow"},
  };
  PutVar(kGlobal, "BootNext", {3, 0});
  for (const auto& [request, key] : cases) {
    PutVar(kPellory, "PelloryRequest", Text(request));
    const std::string why = std::string("PelloryRequest names \"") + key + "\" twice";
    CtlRun text = Ctl({"result"}), json = Ctl({"result", "--json"});
    EXPECT_EQ(text.status, 3) << key;
    EXPECT_EQ(text.out, "") << key;
    EXPECT_EQ(text.err, "pelloryctl: " + why + "\n") << key;
    EXPECT_EQ(json.status, 3) << key;
    EXPECT_EQ(json.out.rfind("{\"state\":\"error\",", 0), 0u) << json.out;
  }
}

// Reading needs no write: result works on efivarfs mounted read-only,
// while cancel, which removes variables, is refused there.
TEST_F(Result, ReadsARequestAndARecordFromAReadOnlyEfivarfs) {
  WriteMounts(true, "ro");
  PutVar(kPellory, "PelloryRequest", Text(kRequest));
  CtlRun pending = Ctl({"result"});
  EXPECT_EQ(pending.status, 2) << pending.err;
  EXPECT_EQ(pending.out.rfind("State: pending\n", 0), 0u) << pending.out;
  EXPECT_TRUE(VarDelete(kPelloryGuid, "PelloryRequest"));
  PutVar(kPellory, "PelloryResult", Text(Record("fleet-7", "successful")));
  CtlRun done = Ctl({"result", "--json"});
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(done.out.rfind("{\"state\":\"successful\",", 0), 0u) << done.out;
  CtlRun cancel = Ctl({"cancel"});
  EXPECT_EQ(cancel.status, 3);
  EXPECT_EQ(cancel.err.rfind("pelloryctl: efivarfs is mounted read-only", 0), 0u) << cancel.err;
}

// The firmware may drop our entry (a firmware update, a reset of its
// settings): BootNext then names someone else's entry, and stays.
TEST_F(Result, CancelLeavesBootNextWhenOurEntryIsGone) {
  for (const Bytes& next : {Bytes{0, 0}, Bytes{5, 0}}) {
    EXPECT_TRUE(VarDelete(efi_guid_global, "Boot0003"));
    PutVar(kGlobal, "Boot0000", LoadOption("debian", "\\EFI\\debian\\shimx64.efi"));
    PutVar(kGlobal, "Boot0005", LoadOption("windows", "\\EFI\\Microsoft\\Boot\\bootmgfw.efi"));
    PutVar(kGlobal, "BootNext", next);
    PutVar(kPellory, "PelloryRequest", Text(kRequest));
    CtlRun run = Ctl({"cancel"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Removed PelloryRequest.\n");
    EXPECT_FALSE(HasVar(kPellory, "PelloryRequest"));
    Bytes after;
    EXPECT_TRUE(GetVar(kGlobal, "BootNext", &after));
    EXPECT_EQ(after, next);
  }
}

TEST_F(Result, CancelTakesTheRequestAndOnlyOurBootNext) {
  const std::string kept = root_ + "/var/lib/pellory/request";
  PutVar(kPellory, "PelloryRequest", Text(kRequest));
  PutVar(kGlobal, "BootNext", {0, 0});  // the OS's own choice
  WriteFile(kept, Text(kRequest + "image=07_23 sha256:d1c23f383fb67ae1\n"));
  CtlRun first = Ctl({"cancel"});
  ASSERT_EQ(first.status, 0);
  EXPECT_EQ(first.out, "Removed PelloryRequest.\nRemoved /var/lib/pellory/request.\n");
  EXPECT_FALSE(HasVar(kPellory, "PelloryRequest"));
  EXPECT_TRUE(HasVar(kGlobal, "BootNext"));
  EXPECT_FALSE(std::filesystem::exists(kept));
  PutVar(kPellory, "PelloryRequest", Text(kRequest));
  PutVar(kGlobal, "BootNext", {3, 0});
  CtlRun run = Ctl({"cancel"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Removed PelloryRequest.\nRemoved BootNext (it named Boot0003).\n");
  EXPECT_FALSE(HasVar(kGlobal, "BootNext"));
  EXPECT_TRUE(HasVar(kGlobal, "Boot0003"));
  EXPECT_EQ(Ctl({"result"}).status, 3);  // none
  // No request left to take back: the run happened, and what it was asked
  // stays for result.
  WriteFile(kept, Text(kRequest + "image=07_23 sha256:d1c23f383fb67ae1\n"));
  EXPECT_EQ(Ctl({"cancel"}).out, "Removed PelloryRequest.\n");
  EXPECT_TRUE(std::filesystem::exists(kept));
}

// A request the kernel can not read: result says so, and cancel still
// takes it back, with what schedule kept of it.
TEST_F(Result, ARequestThatCanNotBeRead) {
  PutVar(kPellory, "PelloryRequest", Text(kRequest));
  WriteFile(root_ + "/var/lib/pellory/request", Text(kRequest + "image=07_23 sha256:d1c23f383fb67ae1\n"));
  store_.FailGet("PelloryRequest", EIO);
  CtlRun result = Ctl({"result"});
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.err, "pelloryctl: PelloryRequest can not be read\n");
  store_.FailGet("PelloryRequest", EIO);
  EXPECT_EQ(Ctl({"cancel"}).out, "Removed PelloryRequest.\nRemoved /var/lib/pellory/request.\n");
}

TEST_F(Result, CleanLeavesNothingOfOursAndEverythingElse) {
  ASSERT_EQ(Ctl({"schedule", EfiImage("pellory-testimage.efi")}).status, 0);
  PutVar(kPellory, "PelloryResult", Text(Record("fleet-7", "successful")));
  WriteFile(esp_ + "/EFI/Pellory/log.txt", Text("successful"));
  // Without its ESP, clean refuses before it removes anything.
  Snapshot before = Take();
  CtlRun refused = Ctl({"clean", "--esp", "/mnt"});
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(refused.err, "pelloryctl: /mnt is not a mount point\n");
  EXPECT_EQ(Take(), before);
  CtlRun run = Ctl({"clean", "--esp", "/boot/efi/"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(HasVar(kGlobal, "Boot0003"));
  EXPECT_FALSE(HasVar(kPellory, "PelloryRequest"));
  EXPECT_FALSE(HasVar(kPellory, "PelloryResult"));
  EXPECT_FALSE(HasVar(kGlobal, "BootNext"));
  EXPECT_TRUE(HasVar(kGlobal, "BootOrder"));
  EXPECT_FALSE(std::filesystem::exists(esp_ + "/EFI/Pellory/pellory.efi"));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/var/lib/pellory"));
  EXPECT_NE(run.out.find("Removed /var/lib/pellory/request.\n"), std::string::npos) << run.out;
  EXPECT_EQ(ReadFile(esp_ + "/EFI/Pellory/log.txt"), Text("successful"));  // the program's own files stay
  EXPECT_EQ(Ctl({"clean"}).status, 0);  // twice is fine
}

}  // namespace
