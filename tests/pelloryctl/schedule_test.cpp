// `pelloryctl schedule` on the stand-in machine: what it writes, what it
// never touches, and that a failure at any later step leaves the machine
// as it found it.
#include <cerrno>
#include <filesystem>
#include <functional>

#include "pelloryctl/program_copy.h"
#include "pelloryctl/variables.h"
#include "tests/pelloryctl/stand_in.h"

namespace {

const std::string kOurPath =
    "HD(1,GPT,5b3b1a2e-4f0c-4d8a-9e21-7c6d5e4f3a2b,0x800,0x10000)/File(\\EFI\\Pellory\\pellory.efi)";

std::string IdOf(const CtlRun& run) {
  size_t at = run.out.find("Request: ");
  if (at == std::string::npos) return "";
  at += 9;
  return run.out.substr(at, run.out.find(' ', at) - at);
}

// The image text the test program's record holds.
const std::string kImage = "07_23 sha256:d1c23f383fb67ae1";

class Schedule : public StandIn {
 protected:
  // An installed OS: its entry in BootOrder, and the program to schedule.
  void SetUp() override {
    StandIn::SetUp();
    PutVar(kGlobal, "BootOrder", {0, 0});
    PutVar(kGlobal, "Boot0000", LoadOption("debian", "\\EFI\\debian\\shimx64.efi"));
  }
  std::string program_ = EfiImage("pellory-testimage.efi");
};

TEST_F(Schedule, WritesExactlyTheCopyTheEntryTheRequestAndBootNextAndRemovesTheOldRecord) {
  PutVar(kPellory, "PelloryResult", Text("format=1\nrequest=old\n"));
  Snapshot before = Take();
  CtlRun run = Ctl({"schedule", program_, "--after", "reboot"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find("Boot0001 \"Pellory firmware update\""), std::string::npos) << run.out;
  EXPECT_EQ(run.out.substr(run.out.size() - 26), "Reboot to run the update.\n");
  std::string id = IdOf(run);
  EXPECT_EQ(Var(kPellory, "PelloryRequest"), "format=1\nid=" + id + "\nafter=reboot\n");
  EXPECT_EQ(ReadFile(root_ + "/var/lib/pellory/request"), Text(Var(kPellory, "PelloryRequest") + "image=" + kImage + "\n"));
  EXPECT_EQ(Var(kGlobal, "BootNext"), std::string("\x01\x00", 2));
  Bytes entry;
  ASSERT_TRUE(GetVar(kGlobal, "Boot0001", &entry));
  EXPECT_EQ(DescribeOption(entry), "00000001 Pellory firmware update " + kOurPath);
  EXPECT_EQ(ReadFile(esp_ + "/EFI/Pellory/pellory.efi"), ReadFile(program_));
  EXPECT_EQ(Changed(before, Take()),
            (std::vector<std::string>{"esp /EFI", "esp /EFI/Pellory", "esp /EFI/Pellory/pellory.efi",
                                      "file /var", "file /var/lib", "file /var/lib/pellory",
                                      "file /var/lib/pellory/request",
                                      "var Boot0001-" + std::string(kGlobal),
                                      "var BootNext-" + std::string(kGlobal),
                                      "var PelloryRequest-" + std::string(kPellory),
                                      "var PelloryResult-" + std::string(kPellory) + " (removed)"}));

  // Again: the same entry, a fresh id, the default after=return.
  CtlRun again = Ctl({"schedule", program_});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(IdOf(again), id);
  EXPECT_EQ(Var(kPellory, "PelloryRequest"), "format=1\nid=" + IdOf(again) + "\nafter=return\n");
  EXPECT_FALSE(HasVar(kGlobal, "Boot0002"));
  EXPECT_EQ(Var(kGlobal, "BootNext"), std::string("\x01\x00", 2));
}

TEST_F(Schedule, WritesWhatItIsAskedForIntoTheRequestAndKeepsIt) {
  const struct Case {
    std::vector<std::string> options;
    std::string lines;  // of the request, after its id
    std::string asked;  // as the Request: line shows it
  } cases[] = {
      {{}, "after=return\n", "after=return"},
      {{"--identify", "--after", "shutdown"}, "after=shutdown\nmode=identify\n", "after=shutdown, mode=identify"},
      {{"--allow", "same"}, "after=return\nallow=same\n", "after=return, allow=same"},
      {{"--after", "reboot", "--allow", "older"}, "after=reboot\nallow=older\n", "after=reboot, allow=older"},
      {{"--allow", "any"}, "after=return\nallow=any\n", "after=return, allow=any"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"schedule", program_};
    args.insert(args.end(), c.options.begin(), c.options.end());
    CtlRun run = Ctl(args);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string id = IdOf(run), request = "format=1\nid=" + id + "\n" + c.lines;
    EXPECT_EQ(Var(kPellory, "PelloryRequest"), request) << c.asked;
    EXPECT_EQ(ReadFile(root_ + "/var/lib/pellory/request"), Text(request + "image=" + kImage + "\n")) << c.asked;
    EXPECT_EQ(run.out.rfind("Request: " + id + " (" + c.asked + ")\nImage: " + kImage + " (Pellory 0.4)\nEntry: ", 0), 0u)
        << run.out;
    const bool identify = c.options.size() > 0 && c.options[0] == "--identify";
    EXPECT_NE(run.out.find(identify ? "Reboot to read the converter's versions (nothing is written).\n"
                                    : "Reboot to run the update.\n"),
              std::string::npos)
        << run.out;
  }
  // What the request can not hold is a usage error, and nothing is changed.
  Snapshot before = Take();
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"--allow", "newer"}, "--allow takes same, older or any"},
      {{"--allow"}, "--allow takes same, older or any"},
      {{"--identify", "--allow", "any"}, "--allow has no meaning with --identify"},
      {{"--after", "later"}, "--after takes return, reboot or shutdown"},
      {{"--after"}, "--after takes return, reboot or shutdown"},
  };
  for (const auto& [options, says] : refused) {
    std::vector<std::string> args = {"schedule", program_};
    args.insert(args.end(), options.begin(), options.end());
    CtlRun run = Ctl(args);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err.rfind("pelloryctl: " + says + "\nusage: pelloryctl schedule PROGRAM.efi [--identify]", 0), 0u)
        << run.err;
  }
  EXPECT_EQ(Changed(before, Take()), std::vector<std::string>{});
}

TEST_F(Schedule, NeverTakesANumberThatBootOrderStillLists) {
  PutVar(kGlobal, "BootOrder", {0, 0, 1, 0, 2, 0});  // 0001 and 0002 were removed, not unlisted
  CtlRun run = Ctl({"schedule", program_});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Var(kGlobal, "BootNext"), std::string("\x03\x00", 2));
  EXPECT_TRUE(HasVar(kGlobal, "Boot0003"));
  EXPECT_EQ(Var(kGlobal, "BootOrder"), std::string("\x00\x00\x01\x00\x02\x00", 6));
}

TEST_F(Schedule, NeverTouchesAnEntryThatIsNotExactlyOursAndRewritesOursInPlace) {
  const char* near[] = {"Pellory firmware update2", "pellory firmware update",
                        "Pellory firmware updat", " Pellory firmware update"};
  for (int i = 0; i < 4; ++i)
    PutVar(kGlobal, "Boot000" + std::to_string(i + 1), LoadOption(near[i], "\\EFI\\Pellory\\pellory.efi"));
  // Ours, from a schedule on an ESP that has since been replaced.
  PutVar(kGlobal, "Boot0007", LoadOption("Pellory firmware update", "\\EFI\\Pellory\\pellory.efi",
                                         "11111111-2222-3333-4444-555555555555"));
  Snapshot before = Take();
  CtlRun run = Ctl({"schedule", program_});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Var(kGlobal, "BootNext"), std::string("\x07\x00", 2));
  Bytes entry;
  ASSERT_TRUE(GetVar(kGlobal, "Boot0007", &entry));
  EXPECT_EQ(DescribeOption(entry), "00000001 Pellory firmware update " + kOurPath);
  Snapshot after = Take();
  for (const auto& [name, bytes] : before) {
    if (name.rfind("var Boot000", 0) == 0 && name.rfind("var Boot0007", 0) != 0) {
      EXPECT_EQ(after.at(name), bytes) << name;
    }
  }
  EXPECT_EQ(after.at("var BootOrder-" + std::string(kGlobal)), before.at("var BootOrder-" + std::string(kGlobal)));

  // clean takes ours away and leaves the near ones.
  ASSERT_EQ(Ctl({"clean"}).status, 0);
  Snapshot cleaned = Take();
  EXPECT_FALSE(HasVar(kGlobal, "Boot0007"));
  EXPECT_FALSE(HasVar(kGlobal, "BootNext"));
  for (int i = 1; i <= 4; ++i) {
    std::string name = "var Boot000" + std::to_string(i) + "-" + kGlobal;
    EXPECT_EQ(cleaned.at(name), before.at(name)) << name;
  }
  EXPECT_FALSE(cleaned.count("esp /EFI/Pellory/pellory.efi"));
}

// Where and how the machine mounts its ESP: the copy lands in that folder
// and the entry's HD() node names the partition in the disk's own blocks.
TEST_F(Schedule, FindsTheEspAsTheMachineMountsIt) {
  const std::string efivarfs = "27 22 0:24 / /sys/firmware/efi/efivars rw,relatime shared:8 - efivarfs efivarfs rw\n";
  const std::string vfat = " rw,relatime shared:9 - vfat /dev/sda1 rw,fmask=0077,dmask=0077\n";
  const struct Case {
    const char* name;
    uint64_t block;       // the disk's logical block size
    std::string mounts;   // the ESP's lines of mountinfo
    std::string esp_dir;  // --esp, or "" for none; the copy lands here
    const char* hd;       // the HD() node's start and size
  } cases[] = {
      {"512-byte sectors", 512, "31 21 8:1 / /boot/efi" + vfat, "", "0x800,0x10000"},
      // GPT header at byte 4096; sysfs start 2048 (512-byte units) is LBA 256.
      {"4096-byte sectors", 4096, "31 21 8:1 / /boot/efi" + vfat, "", "0x100,0x2000"},
      // systemd's automount is listed first; the vfat mounted over it is the ESP.
      {"behind an automount", 512,
       "30 21 0:40 / /boot/efi rw,relatime shared:10 - autofs systemd-1 rw,fd=44,pgrp=1,timeout=120,"
       "minproto=5,maxproto=5,direct,pipe_ino=1234\n31 30 8:1 / /boot/efi" + vfat,
       "", "0x800,0x10000"},
      {"a space inside", 512, "31 21 8:1 / /boot/my\\040esp" + vfat, "/boot/my esp", "0x800,0x10000"},
      {"a space at the end", 512, "31 21 8:1 / /srv/esp\\040" + vfat, "/srv/esp ", "0x800,0x10000"},
  };
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    WriteDisk("c12a7328-f81f-11d2-ba4b-00a0c93ec93b", c.block);
    WriteFile(root_ + "/proc/self/mountinfo", Text(efivarfs + c.mounts));
    const std::string dir = c.esp_dir.empty() ? "/boot/efi" : c.esp_dir;
    std::filesystem::create_directories(root_ + dir);
    std::vector<std::string> args = {"schedule", program_};
    if (!c.esp_dir.empty()) args.insert(args.end(), {"--esp", c.esp_dir});
    CtlRun run = Ctl(args);
    ASSERT_EQ(run.status, 0) << c.name << ": " << run.err;
    EXPECT_NE(run.out.find(" on " + dir + " (BootNext"), std::string::npos) << c.name << ": " << run.out;
    EXPECT_EQ(ReadFile(root_ + dir + "/EFI/Pellory/pellory.efi"), ReadFile(program_)) << c.name;
    Bytes entry;
    ASSERT_TRUE(GetVar(kGlobal, "Boot0001", &entry)) << c.name;
    EXPECT_EQ(DescribeOption(entry), "00000001 Pellory firmware update HD(1,GPT,5b3b1a2e-4f0c-4d8a-9e21-7c6d5e4f3a2b," +
                                         std::string(c.hd) + ")/File(\\EFI\\Pellory\\pellory.efi)")
        << c.name;
  }
}

// Each way a later step fails must leave the machine as it was.
const StepFault kFaults[] = {
    {"copy", [](StandIn*, const std::string&) {}, "can not be written to \\EFI\\Pellory",
     "/boot/efi/EFI/Pellory/pellory.efi.new"},
    {"copy_back", [](StandIn*, const std::string&) { gCopyReader = ReadCorrupted; },
     "the copy \\EFI\\Pellory\\pellory.efi reads back different from the program"},
    {"kept", [](StandIn*, const std::string&) {}, "/var/lib/pellory/request can not be written",
     "/var/lib/pellory/request.new"},
    {"entry", [](StandIn* s, const std::string& e) { s->store_.FailSet(e, EIO); }, "can not be written (Input/output error)"},
    {"request_full", [](StandIn* s, const std::string&) { s->store_.FailSet("PelloryRequest", ENOSPC); },
     "not enough room in the firmware's variable store"},
    {"old_result", [](StandIn* s, const std::string&) { s->store_.FailDelete("PelloryResult", EPERM); },
     "the old PelloryResult can not be removed"},
    {"boot_next", [](StandIn* s, const std::string&) { s->store_.FailSet("BootNext", EIO); }, "BootNext can not be written"},
    {"boot_next_back", [](StandIn* s, const std::string&) { s->store_.CorruptRead("BootNext"); },
     "BootNext reads back different"},
    {"request_back", [](StandIn* s, const std::string&) { s->store_.CorruptRead("PelloryRequest"); },
     "PelloryRequest reads back different"},
};

class ScheduleUndo : public Schedule, public ::testing::WithParamInterface<std::tuple<StepFault, bool>> {};

TEST_P(ScheduleUndo, LeavesTheMachineAsItWas) {
  auto [fault, earlier] = GetParam();
  std::string entry = earlier ? "Boot0005" : "Boot0001";
  if (earlier) {  // an earlier schedule that never ran, with a stale entry
    PutVar(kGlobal, "BootNext", {0, 0});
    PutVar(kGlobal, entry, LoadOption("Pellory firmware update", "\\EFI\\Pellory\\pellory.efi",
                                      "11111111-2222-3333-4444-555555555555"));
    PutVar(kPellory, "PelloryRequest", Text("format=1\nid=earlier\n"));
    PutVar(kPellory, "PelloryResult", Text("format=1\nrequest=older\n"));
    WriteFile(esp_ + "/EFI/Pellory/pellory.efi", Text("an earlier copy"));
    WriteFile(root_ + "/var/lib/pellory/request", Text("format=1\nid=earlier\nafter=return\nimage=07_22 sha256:0\n"));
  }
  if (fault.blocked) std::filesystem::create_directories(root_ + fault.blocked);
  fault.arm(this, entry);
  ExpectRefused({"schedule", program_}, fault.says);
}

INSTANTIATE_TEST_SUITE_P(AtEachStep, ScheduleUndo,
                         ::testing::Combine(::testing::ValuesIn(kFaults), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_over_an_earlier_schedule" : "_fresh");
                         });

}  // namespace
