// `pelloryctl driver install` and `driver remove` on the stand-in machine:
// what they write, the entries and orders of others they keep as they
// were, and that a failure at any step leaves the machine as it found it.
#include <cerrno>
#include <filesystem>

#include "pelloryctl/program_copy.h"
#include "tests/pelloryctl/stand_in.h"

namespace {

const std::string kDriverPath =
    "HD(1,GPT,5b3b1a2e-4f0c-4d8a-9e21-7c6d5e4f3a2b,0x800,0x10000)/File(\\EFI\\Pellory\\pellory-identify.efi)";
const std::string kDescription = "Pellory converter identification";
const std::string kFile = "\\EFI\\Pellory\\pellory-identify.efi";
// An ESP that has since been replaced: an entry made on it is stale.
const char kOldEsp[] = "11111111-2222-3333-4444-555555555555";

std::string Global(const std::string& name) { return "var " + name + "-" + kGlobal; }

class Driver : public StandIn {
 protected:
  void SetUp() override {
    StandIn::SetUp();
    PutVar(kGlobal, "BootOrder", {0, 0});
    PutVar(kGlobal, "Boot0000", LoadOption("debian", "\\EFI\\debian\\shimx64.efi"));
    WriteFile(esp_ + "/EFI/debian/shimx64.efi", Text("the OS's loader"));
  }
  std::string driver_ = EfiImage("pellory-identify.efi");
};

TEST_F(Driver, InstallWritesTheCopyTheEntryAndDriverOrderAndRemoveTakesThemAway) {
  const Snapshot before = Take();
  CtlRun run = Ctl({"driver", "install", driver_});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "Copied " + driver_ + " (Pellory identification driver 0.4) to " + kFile + " on /boot/efi.\n" +
                         "Made Driver0000 \"" + kDescription + "\" -> " + kFile + ".\n" +
                         "Made DriverOrder: 0000.\n"
                         "The driver reads the converter from the next boot on: pelloryctl status then tells what it "
                         "read.\n");
  const Snapshot installed = Take();
  EXPECT_EQ(Changed(before, installed),
            (std::vector<std::string>{"esp /EFI/Pellory", "esp /EFI/Pellory/pellory-identify.efi",
                                      Global("Driver0000"), Global("DriverOrder")}));
  Bytes entry;
  ASSERT_TRUE(GetVar(kGlobal, "Driver0000", &entry));
  EXPECT_EQ(DescribeOption(entry), "00000001 " + kDescription + " " + kDriverPath);
  EXPECT_EQ(Var(kGlobal, "DriverOrder"), std::string("\x00\x00", 2));
  EXPECT_EQ(ReadFile(esp_ + "/EFI/Pellory/pellory-identify.efi"), ReadFile(driver_));

  // Again: the same entry, nothing new.
  CtlRun again = Ctl({"driver", "install", driver_});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("Kept Driver0000 \"" + kDescription + "\" -> " + kFile + " as it was.\n"
                           "DriverOrder already lists Driver0000: 0000.\n"),
            std::string::npos)
      << again.out;
  EXPECT_EQ(Changed(installed, Take()), std::vector<std::string>{});

  CtlRun removed = Ctl({"driver", "remove"});
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.out, "Removed DriverOrder (it listed only Driver0000).\n"
                         "Removed Driver0000 \"" + kDescription + "\".\n"
                         "Removed " + kFile + " from /boot/efi.\n");
  EXPECT_EQ(Changed(before, Take()), std::vector<std::string>{});
  CtlRun nothing = Ctl({"driver", "remove", "--esp", "/boot/efi"});
  EXPECT_EQ(nothing.status, 0) << nothing.err;
  EXPECT_EQ(nothing.out, "The identification driver is not installed: nothing was removed.\n");
}

// Machines that load drivers already, or carry entries of ours or near
// ours: ours is made or reused, goes last in DriverOrder, and every other
// entry and every other place in the order stays as it was, on install and
// on remove.
TEST_F(Driver, KeepsEveryOtherEntryAndTheOrderOfTheOthers) {
  const struct Case {
    const char* name;
    std::vector<std::pair<std::string, Bytes>> vars;  // Driver#### and DriverOrder before
    std::string ours;                                 // the entry install makes or reuses
    std::string entry_line, order_line;               // what install says of them
    Bytes order_installed;
    Bytes order_removed;  // empty: DriverOrder gone
  } cases[] = {
      {"others loaded first",
       {{"Driver0001", LoadOption("convsim", "\\convsim.efi")}, {"Driver0003", LoadOption("raid", "\\raid.efi")},
        {"DriverOrder", {3, 0, 1, 0}}},
       "Driver0000", "Made", "Added Driver0000 at the end of DriverOrder: 0003,0001,0000.",
       {3, 0, 1, 0, 0, 0}, {3, 0, 1, 0}},
      {"ours stale, listed",
       {{"Driver0001", LoadOption("convsim", "\\convsim.efi")},
        {"Driver0005", LoadOption(kDescription, kFile, kOldEsp)}, {"DriverOrder", {1, 0, 5, 0}}},
       "Driver0005", "Rewrote", "DriverOrder already lists Driver0005: 0001,0005.", {1, 0, 5, 0}, {1, 0}},
      {"ours as it is, not listed",
       {{"Driver0002", LoadOption(kDescription, kFile)}, {"DriverOrder", {4, 0}}},
       "Driver0002", "Kept", "Added Driver0002 at the end of DriverOrder: 0004,0002.", {4, 0, 2, 0}, {4, 0}},
      // 0000 is listed with no entry behind it: not free, and kept in its place.
      {"a listed number with no entry",
       {{"Driver0001", LoadOption("convsim", "\\convsim.efi")}, {"DriverOrder", {0, 0}}},
       "Driver0002", "Made", "Added Driver0002 at the end of DriverOrder: 0000,0002.", {0, 0, 2, 0}, {0, 0}},
      {"near ours",
       {{"Driver0000", LoadOption(kDescription + "2", kFile)}, {"Driver0001", LoadOption("pellory converter identification", kFile)},
        {"Driver0002", LoadOption(" " + kDescription, kFile)}},
       "Driver0003", "Made", "Made DriverOrder: 0003.", {3, 0}, {}},
  };
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    for (const auto& [name, bytes] : c.vars) PutVar(kGlobal, name, bytes);
    const Snapshot before = Take();
    CtlRun run = Ctl({"driver", "install", driver_});
    ASSERT_EQ(run.status, 0) << c.name << ": " << run.err;
    EXPECT_NE(run.out.find("\n" + c.entry_line + " " + c.ours + " \""), std::string::npos) << c.name << ": " << run.out;
    EXPECT_NE(run.out.find("\n" + c.order_line + "\n"), std::string::npos) << c.name << ": " << run.out;
    Bytes entry, order;
    ASSERT_TRUE(GetVar(kGlobal, c.ours, &entry)) << c.name;
    EXPECT_EQ(DescribeOption(entry), "00000001 " + kDescription + " " + kDriverPath) << c.name;
    ASSERT_TRUE(GetVar(kGlobal, "DriverOrder", &order)) << c.name;
    EXPECT_EQ(order, c.order_installed) << c.name;
    const Snapshot installed = Take();
    for (const auto& [name, bytes] : before)
      if (name != Global(c.ours) && name != Global("DriverOrder")) {
        EXPECT_EQ(installed.at(name), bytes) << c.name << ": " << name;
      }

    CtlRun removed = Ctl({"driver", "remove"});
    ASSERT_EQ(removed.status, 0) << c.name << ": " << removed.err;
    EXPECT_EQ(GetVar(kGlobal, "DriverOrder", &order), !c.order_removed.empty()) << c.name;
    if (!c.order_removed.empty()) {
      EXPECT_EQ(order, c.order_removed) << c.name;
    }
    EXPECT_FALSE(HasVar(kGlobal, c.ours)) << c.name;
    const Snapshot after = Take();
    for (const auto& [name, bytes] : before)
      if (name != Global(c.ours) && name != Global("DriverOrder")) {
        EXPECT_EQ(after.at(name), bytes) << c.name << ": " << name;
      }
  }
}

// Every Driver#### of ours goes, and DriverOrder keeps only the others.
TEST_F(Driver, RemoveTakesEveryEntryOfOursOutOfTheOrder) {
  PutVar(kGlobal, "Driver0001", LoadOption(kDescription, kFile));
  PutVar(kGlobal, "Driver0002", LoadOption("convsim", "\\convsim.efi"));
  PutVar(kGlobal, "Driver0004", LoadOption(kDescription, kFile, kOldEsp));
  PutVar(kGlobal, "DriverOrder", {4, 0, 2, 0, 1, 0});
  CtlRun run = Ctl({"driver", "remove"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Took Driver0001, Driver0004 out of DriverOrder: 0002.\n"
                     "Removed Driver0001 \"" + kDescription + "\".\n"
                     "Removed Driver0004 \"" + kDescription + "\".\n");
  EXPECT_EQ(Var(kGlobal, "DriverOrder"), std::string("\x02\x00", 2));
  EXPECT_TRUE(HasVar(kGlobal, "Driver0002"));
  EXPECT_FALSE(HasVar(kGlobal, "Driver0001"));
  EXPECT_FALSE(HasVar(kGlobal, "Driver0004"));
}

TEST_F(Driver, CleanRemovesItToo) {
  ASSERT_EQ(Ctl({"schedule", EfiImage("pellory-testimage.efi")}).status, 0);
  ASSERT_EQ(Ctl({"driver", "install", driver_}).status, 0);
  CtlRun run = Ctl({"clean"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Removed PelloryResult.\nRemoved DriverOrder (it listed only Driver0000).\n"
                         "Removed Driver0000 \"" + kDescription + "\".\nRemoved " + kFile + " from /boot/efi.\n"),
            std::string::npos)
      << run.out;
  EXPECT_FALSE(HasVar(kGlobal, "Driver0000"));
  EXPECT_FALSE(HasVar(kGlobal, "DriverOrder"));
  EXPECT_FALSE(std::filesystem::exists(esp_ + "/EFI/Pellory"));
}

// Each way a step fails must leave the machine as it was.
const StepFault kFaults[] = {
    {"copy", [](StandIn*, const std::string&) {}, "the driver can not be written to \\EFI\\Pellory on the ESP",
     "/boot/efi/EFI/Pellory/pellory-identify.efi.new"},
    {"copy_back", [](StandIn*, const std::string&) { gCopyReader = ReadCorrupted; },
     "the copy \\EFI\\Pellory\\pellory-identify.efi reads back different from the driver"},
    {"entry", [](StandIn* s, const std::string& e) { s->store_.FailSet(e, EIO); }, "can not be written (Input/output error)"},
    {"order", [](StandIn* s, const std::string&) { s->store_.FailSet("DriverOrder", EIO); },
     "DriverOrder can not be written (Input/output error)"},
    {"order_full", [](StandIn* s, const std::string&) { s->store_.FailSet("DriverOrder", ENOSPC); },
     "not enough room in the firmware's variable store"},
    {"entry_back", [](StandIn* s, const std::string& e) { s->store_.CorruptRead(e); }, "reads back different from what was written"},
    {"order_back", [](StandIn* s, const std::string&) { s->store_.CorruptRead("DriverOrder"); },
     "DriverOrder reads back different from what was written"},
};

class DriverUndo : public Driver, public ::testing::WithParamInterface<std::tuple<StepFault, bool>> {};

TEST_P(DriverUndo, LeavesTheMachineAsItWas) {
  auto [fault, earlier] = GetParam();
  const std::string entry = earlier ? "Driver0005" : "Driver0000";
  if (earlier) {  // an earlier install on another ESP, taken out of DriverOrder since
    PutVar(kGlobal, "Driver0001", LoadOption("convsim", "\\convsim.efi"));
    PutVar(kGlobal, entry, LoadOption(kDescription, kFile, kOldEsp));
    PutVar(kGlobal, "DriverOrder", {1, 0});
    WriteFile(esp_ + "/EFI/Pellory/pellory-identify.efi", Text("an earlier driver"));
  }
  if (fault.blocked) std::filesystem::create_directories(root_ + fault.blocked);
  fault.arm(this, entry);
  ExpectRefused({"driver", "install", driver_}, fault.says);
}

INSTANTIATE_TEST_SUITE_P(AtEachStep, DriverUndo, ::testing::Combine(::testing::ValuesIn(kFaults), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_over_an_earlier_install" : "_fresh");
                         });

// What can not be put back is said on the same line.
TEST_F(Driver, SaysWhenATakeBackFailsToo) {
  store_.FailSet("DriverOrder", EIO);
  store_.FailDelete("Driver0000", EIO);
  CtlRun run = Ctl({"driver", "install", driver_});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.err, "pelloryctl: DriverOrder can not be written (Input/output error); and not every change could "
                     "be taken back\n");
}

}  // namespace
