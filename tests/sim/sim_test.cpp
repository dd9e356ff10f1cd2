// The converter model driven call by call: a whole sound update, then each
// scenario switch, then the host faults it must record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "sim/converter.h"
#include "tests/sim/sim_rig.h"

namespace {

using namespace sim_rig;

// --- A sound update -------------------------------------------------------------

TEST(SoundUpdate, FlashHoldsTheImageAndNothingIsOutOfOrder) {
  Rig rig;
  ASSERT_EQ(rig.Update(), Outcome::kDone);
  const SimRecord& r = rig.record();
  EXPECT_TRUE(rig.FlashHoldsImage());
  EXPECT_EQ(rig.readBack, kImage);
  EXPECT_EQ(r.violationCount, 0u) << SimViolationName(r.violations[0].code);
  EXPECT_EQ(r.failures + rig.stalls, 0u);
  for (uint32_t n = 0; n < kSimPageCount; ++n)
    ASSERT_TRUE(r.pageCommits[n] == 1 && r.pageReadBacks[n] == 1) << n;
  // The keyword, then start, 256 pages, finish.
  ASSERT_EQ(r.commandCount, kSimKeywordLength + 258);
  EXPECT_FALSE(r.commands[kSimKeywordLength - 1].inDownloadMode);
  EXPECT_EQ(r.commands[kSimKeywordLength].value, kSimCmdStart);
  EXPECT_EQ(r.commands[r.commandCount - 1].value, kSimCmdFinish);
  EXPECT_EQ(r.modeChangeCount, 1u);
  EXPECT_EQ(r.modeChangeSequence[0], 1u);
  // Source OUI is the converter's own; 0x30C is written back once a character.
  ASSERT_EQ(r.sourceWriteCount, 3 + kSimKeywordLength);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(r.sourceWrites[i].value, rig.c->scenario.oui[i]);
  EXPECT_EQ(r.sourceWrites[3].address, kSimReg30C);
  EXPECT_EQ(r.sourceWrites[3].value, 0x5C);
}

// --- Identification ----------------------------------------------------------------

TEST(Identification, EvenDownstreamPortPutsTheVendorBlockAt0x400) {
  Rig rig([](SimScenario& s) { s.downstreamPort = 0x00; });
  rig.Identify();
  EXPECT_EQ(rig.base, kSimBlockLow);
  EXPECT_EQ(rig.Read(0x40A), 0x07);
  EXPECT_EQ(rig.Read(0x410), 0x21);
  EXPECT_EQ(rig.Seen(V::kOtherVendorBlock), 0u);
  EXPECT_EQ(rig.Read(0x50A), 0) << "the block 0x005 did not choose says nothing";
  EXPECT_EQ(rig.Seen(V::kOtherVendorBlock), 1u);
}

TEST(Identification, OnlyTheAnsweringPortIsServedAndRefusedCallsChangeNothing) {
  Rig rig([](SimScenario& s) { s.answeringPort = 4; });
  uint8_t id[256] = {};
  EXPECT_EQ(rig.I2cWrite(kSimAdaptorSlave, kSimModeChangeOffset, 1, 2), kSimDeviceError);
  EXPECT_FALSE(rig.c->converterMode);
  EXPECT_EQ(rig.I2cRead(kSimAdaptorSlave, 1, id, 0), kSimDeviceError);
  EXPECT_EQ(rig.I2cRead(kSimAdaptorSlave, 256, id, 4), kSimOk);
  EXPECT_EQ(0, memcmp(id, "DP-HDMI ADAPTOR", 15));
  EXPECT_EQ(rig.record().failures, 2u);
  EXPECT_EQ(rig.record().violationCount, 0u);
  Rig none([](SimScenario& s) { s.noAnsweringPort = true; });
  EXPECT_EQ(none.I2cRead(kSimAdaptorSlave, 1, id, 0), kSimDeviceError);
}

TEST(Identification, BadDpcdCountAndDpcdBeforeTheModeChangeAreRecorded) {
  Rig rig;
  uint8_t v[2] = {};
  EXPECT_EQ(SimDpcdRead(rig.c.get(), 0, kSimDownstreamPort, 2, v), kSimInvalidParameter);
  (void)rig.Read(kSimDownstreamPort);
  rig.Identify();
  ASSERT_EQ(rig.record().violationCount, 2u);
  EXPECT_EQ(rig.record().violations[0].code, V::kBadArgument);
  EXPECT_EQ(rig.record().violations[1].code, V::kDpcdBeforeModeChange);
  EXPECT_EQ(rig.record().violations[1].sequence, 2u);
}

// --- Handshake -----------------------------------------------------------------------

TEST(Handshake, DriftingSourceRegisterChangesAfterTheFirstRead) {
  Rig rig([](SimScenario& s) { s.reg30CDrifts = true; });
  rig.Identify();
  EXPECT_EQ(rig.Read(kSimReg30C), 0x5C);
  EXPECT_NE(rig.Read(kSimReg30C), 0x5C);
  (void)rig.Write(kSimReg30C, 0x5C);
  (void)rig.Write(rig.base + kSimRegCommand, 'D');
  EXPECT_NE(rig.Read(kSimReg30C), 0x5C) << "a host re-reading it would write this back";
}

TEST(Handshake, OutOfSequenceCharacterIsAnsweredWithZeroAndRestartsTheKeyword) {
  Rig rig;
  rig.Identify();
  for (char ch : {'D', 'o', 'x'}) (void)rig.Write(rig.base + kSimRegCommand, ch);
  EXPECT_EQ(rig.Read(rig.base + kSimRegStatus), 0);
  for (char ch : {'D', 'o', 'D'}) (void)rig.Write(rig.base + kSimRegCommand, ch);
  EXPECT_EQ(rig.Read(rig.base + kSimRegStatus), 'D') << "a D out of sequence starts anew";
  for (const char* p = "ownload"; *p; ++p) (void)rig.Write(rig.base + kSimRegCommand, *p);
  EXPECT_TRUE(rig.c->downloadMode);
}

TEST(Handshake, EchoAndCommandClearComeAfterTheirReadsOrNever) {
  Rig rig([](SimScenario& s) {
    s.commandClearReads = 3;
    s.echo = {40};
  });
  rig.Identify();
  ASSERT_EQ(rig.Handshake(), Outcome::kDone);
  EXPECT_EQ(rig.stalls, kSimKeywordLength * (40 + 3));
  EXPECT_EQ(rig.failedAttempts, 0u);
  Rig stuck([](SimScenario& s) { s.commandClearReads = kSimNever; });
  stuck.Identify();
  EXPECT_EQ(stuck.Handshake(), Outcome::kCommandStuck);
  EXPECT_EQ(stuck.stalls, 100u);
}

TEST(Handshake, WrongEchoForSomeAttemptsThenRightOrAlways) {
  Rig rig([](SimScenario& s) {
    s.badEchoIndex = 5;
    s.badEchoAttempts = 3;
  });
  ASSERT_EQ(rig.Update(), Outcome::kDone);
  EXPECT_EQ(rig.failedAttempts, 3u);
  EXPECT_EQ(rig.record().badEchoesGiven, 3u);
  EXPECT_TRUE(rig.FlashHoldsImage());
  Rig never([](SimScenario& s) { s.badEchoAttempts = kSimNever; });
  EXPECT_EQ(never.Update(), Outcome::kNoEcho);
  EXPECT_EQ(never.record().downloadModeSequence, 0u);
}

// --- Acknowledgements -------------------------------------------------------------------

TEST(Acknowledgement, StartAckAtTheLastAllowedReReadButNotOneLater) {
  Rig rig([](SimScenario& s) { s.startAck = {1000}; });
  EXPECT_EQ(rig.Update(), Outcome::kDone);
  EXPECT_EQ(rig.stalls, 1000u);
  Rig late([](SimScenario& s) { s.startAck = {1001}; });
  EXPECT_EQ(late.Update(), Outcome::kNoStartAck);
  EXPECT_EQ(late.record().pagesOpened, 0u);
}

TEST(Acknowledgement, LateOrMissingAckOnOnePageOnly) {
  Rig rig([](SimScenario& s) {
    s.pageAck = {7};
    s.pageAckOnlyOnPage = true;
    s.pageAckPage = 0x12;
  });
  EXPECT_EQ(rig.Update(), Outcome::kDone);
  EXPECT_EQ(rig.stalls, 7u);
  Rig never([](SimScenario& s) {
    s.pageAck = {kSimNever};
    s.pageAckOnlyOnPage = true;
    s.pageAckPage = 0x12;
  });
  EXPECT_EQ(never.Update(), Outcome::kNoPageAck);
  EXPECT_EQ(never.record().pagesCommitted, 0x12u);
}

TEST(Acknowledgement, MissingFinishAckAfterEveryPageWentToFlash) {
  Rig rig([](SimScenario& s) { s.finishAck = {kSimNever}; });
  EXPECT_EQ(rig.Update(), Outcome::kNoFinishAck);
  EXPECT_EQ(rig.stalls, 100u);
  EXPECT_TRUE(rig.FlashHoldsImage());
}

// --- Page window and call faults ---------------------------------------------------------

TEST(PageWindow, CorruptReadBackLeavesFlashRight) {
  Rig rig([](SimScenario& s) {
    s.corruptReadBack = true;
    s.corruptPage = 3;
    s.corruptByte = 0x10;
  });
  ASSERT_EQ(rig.Update(), Outcome::kDone);
  EXPECT_TRUE(rig.FlashHoldsImage());
  EXPECT_EQ(rig.readBack[784], static_cast<uint8_t>(~kImage[784]));
  rig.readBack[784] = kImage[784];
  EXPECT_EQ(rig.readBack, kImage);
}

TEST(PageWindow, FailingWriteAtOnePageAndByteAndFailingReadOfOnePage) {
  Rig rig([](SimScenario& s) {
    s.windowWriteFails = true;
    s.windowWriteFailPage = 0x12;
    s.windowWriteFailByte = 0x34;
  });
  EXPECT_EQ(rig.Update(), Outcome::kWindowFailed);
  EXPECT_EQ(rig.record().failures, 1u);
  EXPECT_EQ(rig.c->windowWrittenCount, 0x34u);
  EXPECT_EQ(rig.c->window[0x34], kSimErased);
  EXPECT_EQ(rig.record().i2cWrites, 1u + 0x12 * 256 + 0x35);
  Rig read([](SimScenario& s) {
    s.windowReadFails = true;
    s.windowReadFailPage = 9;
  });
  EXPECT_EQ(read.Update(), Outcome::kWindowFailed);
  EXPECT_EQ(read.record().pageReadBacks[8], 1);
  EXPECT_EQ(read.record().pageReadBacks[9], 0);
}

TEST(CallFailure, NthCallFailsWithoutEffectForItsSpan) {
  Rig rig([](SimScenario& s) {
    s.failDpcdWrite = {2, 2};
    s.failI2cRead = {3, kSimNever};
  });
  rig.Identify();  // the source OUI writes are DPCD writes 1..3
  EXPECT_EQ(rig.record().sourceWriteCount, 1u);
  EXPECT_EQ(rig.Write(kSimSourceOui, 9), kSimOk);
  uint8_t b[1];
  for (int i = 0; i < 2; ++i) EXPECT_EQ(rig.I2cRead(kSimAdaptorSlave, 1, b), kSimOk);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(rig.I2cRead(kSimAdaptorSlave, 1, b), kSimDeviceError);
  EXPECT_EQ(rig.record().failures, 7u);
}

// --- Host faults the converter records ---------------------------------------------------

struct HostFault : ::testing::Test {
  Rig rig{[](SimScenario& s) { s.pageAck = {5}; }};
  void SetUp() override {
    rig.Identify();
    ASSERT_EQ(rig.Handshake(), Outcome::kDone);
  }
  void Page(uint32_t bytes) {
    (void)rig.Write(rig.base + kSimRegCommand, kSimCmdPage);
    for (uint32_t j = 0; j < bytes; ++j) (void)rig.I2cWrite(kSimWindowSlave, j, 0x55);
  }
};

TEST_F(HostFault, PageBeforeStartCommandBeforeAckAndWritesOutsideOrBeforeAck) {
  (void)rig.I2cWrite(kSimWindowSlave, 0, 1);
  EXPECT_EQ(rig.Seen(V::kWindowWriteOutsidePage), 1u);
  Page(2);
  EXPECT_EQ(rig.Seen(V::kPageBeforeStart), 1u);
  EXPECT_EQ(rig.Seen(V::kWindowWriteBeforeAck), 2u);
  Page(0);
  EXPECT_EQ(rig.Seen(V::kCommandBeforeAck), 1u);
}

TEST_F(HostFault, UnclearedStatusLetsAStaleAckThroughAndTheEarlyWriteIsRecorded) {
  ASSERT_TRUE(rig.Command(kSimCmdStart, 0));
  rig.ClearStatus();
  ASSERT_TRUE(rig.Command(kSimCmdPage, 10));
  EXPECT_TRUE(rig.Command(kSimCmdPage, 10)) << "the old 0x02 still stands";
  (void)rig.I2cWrite(kSimWindowSlave, 0, 1);
  EXPECT_EQ(rig.Seen(V::kStatusNotCleared), 1u);
  EXPECT_EQ(rig.Seen(V::kWindowWriteBeforeAck), 1u);
}

TEST_F(HostFault, ShortPageReadBackRewriteAndEarlyFinish) {
  ASSERT_TRUE(rig.Command(kSimCmdStart, 0));
  rig.ClearStatus();
  ASSERT_TRUE(rig.Command(kSimCmdPage, 10));
  (void)rig.I2cWrite(kSimWindowSlave, 0, 1);
  (void)rig.I2cWrite(kSimWindowSlave, 0, 2);
  uint8_t page[256];
  EXPECT_EQ(rig.I2cRead(kSimWindowSlave, 256, page), kSimOk);
  rig.ClearStatus();
  EXPECT_TRUE(rig.Command(kSimCmdFinish, 0));
  EXPECT_EQ(rig.Seen(V::kReadBackIncomplete), 1u);
  EXPECT_EQ(rig.Seen(V::kWindowByteRewritten), 1u);
  EXPECT_EQ(rig.Seen(V::kPageCommittedIncomplete), 1u);
  EXPECT_EQ(rig.Seen(V::kFinishBeforeAllPages), 1u);
  EXPECT_EQ(rig.record().violationCount, 4u);
  EXPECT_EQ(rig.c->flash[0], 2);
  EXPECT_EQ(rig.c->flash[1], kSimErased);
}

}  // namespace
