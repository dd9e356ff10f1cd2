// The converter's firmware across the machine's starts: an image counts as
// written only when whole and acknowledged, it waits through resets and
// starts at the next power-on; the power-on token from SMBIOS OEM strings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/power_cycle.h"
#include "tests/sim/sim_rig.h"

namespace {

using namespace sim_rig;

struct Shown {
  uint8_t major, minor;
  bool operator==(const Shown&) const = default;
};

Shown Versions(Rig& rig) {
  rig.Identify();
  return {rig.Read(rig.base + kSimRegFirmwareMajor), rig.Read(rig.base + kSimRegFirmwareMinor)};
}

// A machine start: the memory decides the scenario's version, then a
// fresh converter is made from it.
struct Machine {
  SimFirmwareMemory memory{};
  SimScenario scenario = SimDefaultScenario();
  bool changed = false;

  SimFirmwareStart Start(const char* powerOn, Rig& rig) {
    SimScenario s = scenario;
    const SimFirmwareStart start = SimStartFirmware(&memory, powerOn, &s, &changed);
    SimInit(rig.c.get(), &s);
    return start;
  }
};

// --- When the converter holds new firmware -----------------------------------------

TEST(WrittenFirmware, AWholeImageCountsOnceItsFinishIsAcknowledgedAndTheOldOneStillShows) {
  Rig rig([](SimScenario& s) { s.finishAck.afterReads = 3; });
  rig.Identify();
  ASSERT_EQ(rig.Handshake(), Outcome::kDone);
  ASSERT_TRUE(rig.Command(kSimCmdStart, 10));
  rig.ClearStatus();
  for (uint32_t n = 0; n < kSimPageCount; ++n) {
    ASSERT_TRUE(rig.Command(kSimCmdPage, 10));
    for (uint32_t j = 0; j < kSimPageSize; ++j) (void)rig.I2cWrite(kSimWindowSlave, j, 0x5A);
    rig.ClearStatus();
  }
  (void)rig.Write(rig.base + kSimRegCommand, kSimCmdFinish);
  EXPECT_NE(rig.Read(rig.base + kSimRegStatus), kSimCmdFinish);
  EXPECT_FALSE(rig.c->firmwareWritten) << "not before the converter answers the finish";
  EXPECT_TRUE(rig.Wait(rig.base + kSimRegStatus, kSimCmdFinish, 5));
  EXPECT_TRUE(rig.c->firmwareWritten);
  EXPECT_EQ(Versions(rig), (Shown{0x07, 0x22})) << "new firmware starts only at power-on";
}

TEST(WrittenFirmware, AReadBackThatDiffersStillLeavesTheWrittenImageInFlash) {
  Rig rig([](SimScenario& s) { s.corruptReadBack = true; });
  ASSERT_EQ(rig.Update(), Outcome::kDone);
  EXPECT_NE(rig.readBack, kImage);
  EXPECT_TRUE(rig.c->firmwareWritten);
}

TEST(WrittenFirmware, NoFinishAnswerAMissingByteOrAnEarlyFinishWritesNothingToStart) {
  Rig silent([](SimScenario& s) { s.finishAck.afterReads = kSimNever; });
  EXPECT_EQ(silent.Update(), Outcome::kNoFinishAck);
  EXPECT_TRUE(silent.FlashHoldsImage());
  EXPECT_FALSE(silent.c->firmwareWritten);

  Rig gap([](SimScenario& s) {
    s.windowWriteFails = true;
    s.windowWriteFailPage = 255, s.windowWriteFailByte = 255;
  });
  EXPECT_EQ(gap.Update(), Outcome::kWindowFailed);
  EXPECT_TRUE(gap.Command(kSimCmdFinish, 5)) << "a host that finishes anyway";
  EXPECT_FALSE(gap.c->firmwareWritten) << "the last page went to flash one byte short";

  Rig early;
  early.Identify();
  ASSERT_EQ(early.Handshake(), Outcome::kDone);
  ASSERT_TRUE(early.Command(kSimCmdStart, 10));
  early.ClearStatus();
  for (uint32_t n = 0; n < kSimPageCount - 1; ++n) {
    ASSERT_TRUE(early.Command(kSimCmdPage, 10));
    for (uint32_t j = 0; j < kSimPageSize; ++j) (void)early.I2cWrite(kSimWindowSlave, j, 1);
    early.ClearStatus();
  }
  EXPECT_TRUE(early.Command(kSimCmdFinish, 5));
  EXPECT_FALSE(early.c->firmwareWritten) << "255 pages are no whole image";
}

// --- Resets and power-ons ----------------------------------------------------------

TEST(PowerCycle, AResetKeepsTheOldFirmwareAndOnlyTheNextPowerOnStartsTheWrittenOne) {
  Machine m;
  Rig rig;
  EXPECT_EQ(m.Start("on-1", rig), SimFirmwareStart::kNothingWaits);
  ASSERT_EQ(rig.Update(), Outcome::kDone);
  EXPECT_TRUE(SimRememberWrittenFirmware(&m.memory, rig.c.get(), "on-1"));
  EXPECT_FALSE(SimRememberWrittenFirmware(&m.memory, rig.c.get(), "on-1")) << "kept once";

  for (int reset = 0; reset < 2; ++reset) {
    EXPECT_EQ(m.Start("on-1", rig), SimFirmwareStart::kStillWaits);
    EXPECT_FALSE(m.changed);
    EXPECT_EQ(Versions(rig), (Shown{0x07, 0x22})) << "reset " << reset;
  }
  EXPECT_EQ(m.Start("on-2", rig), SimFirmwareStart::kStarted);
  EXPECT_TRUE(m.changed);
  EXPECT_EQ(Versions(rig), (Shown{0x07, 0x23}));
  // From then on it runs the written firmware, at resets and power-ons alike.
  for (const char* start : {"on-2", "on-3", "on-3"}) {
    EXPECT_EQ(m.Start(start, rig), SimFirmwareStart::kNothingWaits) << start;
    EXPECT_FALSE(m.changed);
    EXPECT_EQ(Versions(rig), (Shown{0x07, 0x23})) << start;
  }
}

TEST(PowerCycle, TheStartedVersionIsTheScenariosImageAndTheLatestWriteWins) {
  Machine m;
  Rig first([](SimScenario& s) { s.imageMajor = 0x08, s.imageMinor = 0x01; });
  ASSERT_EQ(first.Update(), Outcome::kDone);
  ASSERT_TRUE(SimRememberWrittenFirmware(&m.memory, first.c.get(), "a"));
  // After a reset in the same power-on another image is written over it.
  Rig second([](SimScenario& s) { s.imageMajor = 0x09, s.imageMinor = 0xFF; });
  ASSERT_EQ(second.Update(), Outcome::kDone);
  EXPECT_TRUE(SimRememberWrittenFirmware(&m.memory, second.c.get(), "a"));
  Rig after;
  EXPECT_EQ(m.Start("b", after), SimFirmwareStart::kStarted);
  EXPECT_EQ(Versions(after), (Shown{0x09, 0xFF}));
}

TEST(PowerCycle, WithoutASoundTokenNothingIsRememberedAndNothingStarts) {
  Machine m;
  Rig rig;
  ASSERT_EQ(rig.Update(), Outcome::kDone);
  for (const char* bad : {static_cast<const char*>(nullptr), "", "a b", "x_y",
                          "123456789012345678901234567890123"})
    EXPECT_FALSE(SimRememberWrittenFirmware(&m.memory, rig.c.get(), bad)) << (bad ? bad : "null");
  EXPECT_EQ(m.memory.waiting, 0);
  ASSERT_TRUE(SimRememberWrittenFirmware(&m.memory, rig.c.get(),
                                         "12345678901234567890123456789012"));
  for (const char* bad : {static_cast<const char*>(nullptr), "", "a b"})
    EXPECT_EQ(m.Start(bad, rig), SimFirmwareStart::kStillWaits) << (bad ? bad : "null");
  EXPECT_EQ(Versions(rig), (Shown{0x07, 0x22}));
}

TEST(PowerCycle, AMemoryThatIsNotSoundIsForgottenAndTheScenarioStands) {
  SimFirmwareMemory sound{};
  sound.revision = kSimFirmwareMemoryRevision;
  sound.runsWritten = 1;
  sound.runningMajor = 0x09;
  std::vector<SimFirmwareMemory> broken(4, sound);
  broken[0].revision = 2;
  broken[1].runsWritten = 2;
  broken[2].waiting = 1;  // no token it was written in
  broken[3].writtenIn[kSimPowerOnMax] = 'x';
  for (size_t i = 0; i < broken.size(); ++i) {
    Machine m;
    m.memory = broken[i];
    Rig rig;
    EXPECT_EQ(m.Start("on", rig), SimFirmwareStart::kNothingWaits) << i;
    EXPECT_TRUE(m.changed) << i;
    EXPECT_EQ(m.memory.revision, kSimFirmwareMemoryRevision);
    EXPECT_EQ(m.memory.runsWritten + m.memory.waiting, 0) << i;
    EXPECT_EQ(Versions(rig), (Shown{0x07, 0x22})) << i;
  }
}

// --- The power-on token in SMBIOS --------------------------------------------------------

// One structure: type, its formatted part padded to `formatted` bytes,
// then its strings and the closing zero.
void Structure(std::string& t, uint8_t type, uint8_t formatted, std::vector<std::string> strings) {
  t += static_cast<char>(type);
  t += static_cast<char>(formatted);
  t.append(formatted - 2, '\x01');
  for (const std::string& s : strings) t += s + '\0';
  if (strings.empty()) t += '\0';
  t += '\0';
}

std::string Found(const std::string& table, size_t length = std::string::npos) {
  char token[kSimPowerOnMax + 1] = "stale";
  const bool found = SimFindPowerOn(reinterpret_cast<const uint8_t*>(table.data()),
                                    length == std::string::npos ? table.size() : length, token);
  return found ? token : std::string("none:") + token;
}

TEST(PowerOnToken, TheTaggedOemStringIsFoundBehindOtherStructuresAndStrings) {
  std::string t;
  Structure(t, 1, 0x1B, {"QEMU", "convsim-power-on=not-type-11"});
  Structure(t, 11, 5, {});
  Structure(t, 11, 5, {"vendor text", "convsim-power-on=3f2a-01"});
  Structure(t, 127, 4, {});
  EXPECT_EQ(Found(t), "3f2a-01");
  const std::string longest(kSimPowerOnMax, 'Z');
  std::string l;
  Structure(l, 11, 5, {"convsim-power-on=" + longest});
  EXPECT_EQ(Found(l), longest);
}

TEST(PowerOnToken, NoTokenABadOneOrACutTableFindsNone) {
  std::string none;
  Structure(none, 11, 5, {"convsim-power-on"});
  Structure(none, 127, 4, {});
  Structure(none, 11, 5, {"convsim-power-on=after-the-end"});
  EXPECT_EQ(Found(none), "none:");
  for (const std::string& bad : std::vector<std::string>{"", "a b", std::string(kSimPowerOnMax + 1, 'a')}) {
    std::string t;
    Structure(t, 11, 5, {"convsim-power-on=" + bad});
    EXPECT_EQ(Found(t), "none:") << bad;
  }
  std::string cut;
  Structure(cut, 11, 5, {"convsim-power-on=abc"});
  EXPECT_EQ(Found(cut, cut.size() - 3), "none:") << "the string runs past the table";
  EXPECT_EQ(Found(cut, 3), "none:");
  std::string tiny;
  Structure(tiny, 11, 3, {"convsim-power-on=abc"});
  EXPECT_EQ(Found(tiny), "none:") << "a formatted part under 4 bytes";
  char token[kSimPowerOnMax + 1];
  EXPECT_FALSE(SimFindPowerOn(nullptr, 100, token));
}

}  // namespace
