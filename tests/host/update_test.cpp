// The update itself, end to end on the host: handshake, page transfer,
// verification, and every way it can stop, with what the user sees, what
// log.txt holds and what the converter went through.
#include <cstdio>
#include <string>

#include "payload/firmware_image.h"
#include "tests/host/program_test.h"
#include "tests/host/update_traffic.h"

namespace {

constexpr uint64_t kPoll = 500000;

std::string Identification(const char* firmware = "0x07_0x22") {
  return std::string("Pellory Version:0.4, firmware version 07_23\r\nBootloader:2.0.1\r\n") +
         "Current FirmwareVer:" + firmware + "\r\n";
}

// Progress segments from FF down to `last`, each ending in a bare CR.
std::string Pages(int last) {
  std::string text;
  char segment[16];
  for (int n = 0xFF; n >= last; n--) {
    std::snprintf(segment, sizeof segment, "Page:%02X\r", n);
    text += segment;
  }
  return text;
}

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

const std::string kStart = "start to update downloading\r\n";
const std::string kSuccess = "Download success,Please shutdown to reset the system!\r\n";

// The bytes written to the command register during the handshake, in order.
std::string Keyword(const SimRecord& r) {
  std::string sent;
  for (uint32_t i = 0; i < r.commandCount && i < kSimCommandLog; i++) {
    if (!r.commands[i].inDownloadMode) sent += static_cast<char>(r.commands[i].value);
  }
  return sent;
}

using UpdateTest = ProgramTest;

TEST_F(UpdateTest, WholeUpdateAgainstAConverterThatAnswersAtOnce) {
  uint64_t sequenceAtLogClose = 0;
  uefi.onCall = [&](dbl::Service s, uint64_t) {
    // The first close is the log's; the history's follows at the very end.
    if (s == dbl::Service::ShellCloseFile && sequenceAtLogClose == 0)
      sequenceAtLogClose = converter->record.sequence;
  };
  uefi.PutFile("log.txt", "failed");

  EXPECT_EQ(Run(), Identification() + kStart + Pages(0) + "\r\nverifying\r\n" + kSuccess);
  EXPECT_EQ(Log(), "successful");

  const SimRecord& r = Record();
  for (UINTN k = 0; k < kFirmwareImageSize; k++) {
    ASSERT_EQ(converter->flash[k], FirmwareImage[k]) << "flash byte " << k;
  }
  EXPECT_EQ(r.pagesCommitted, 256u);
  EXPECT_EQ(r.violationCount, 0u) << SimViolationName(r.violations[0].code);
  EXPECT_EQ(uefi.StallCalls(), 0u);
  EXPECT_EQ(r.dpcdWrites, update_traffic::kDpcdWrites);
  EXPECT_EQ(r.dpcdReads, update_traffic::kDpcdReads);
  EXPECT_EQ(r.i2cWrites, update_traffic::kI2cWrites);
  EXPECT_EQ(r.i2cReads, update_traffic::kI2cReads);
  EXPECT_EQ(r.failures, 0u);
  EXPECT_EQ(Keyword(r), "Download");

  // Mode change at the start and once more at the very end, after the log
  // was closed.
  ASSERT_EQ(r.modeChangeCount, 2u);
  EXPECT_GT(sequenceAtLogClose, 0u);
  EXPECT_GT(r.modeChangeSequence[1], sequenceAtLogClose);
  EXPECT_EQ(r.modeChangeSequence[1], r.sequence) << "the mode change is the last access";

  // The converter's own OUI came back as the source OUI, then 0x30C as read.
  ASSERT_GE(r.sourceWriteCount, 4u);
  EXPECT_EQ(r.sourceWrites[0].address, 0x300);
  EXPECT_EQ(r.sourceWrites[0].value, 0x0A);
  EXPECT_EQ(r.sourceWrites[1].value, 0x1B);
  EXPECT_EQ(r.sourceWrites[2].value, 0x2C);
  EXPECT_EQ(r.sourceWrites[3].address, 0x30C);

  // The read-back buffer was the one large block, and it went back.
  EXPECT_GE(uefi.PoolHighWaterBytes(), kFirmwareImageSize);
  EXPECT_LT(uefi.PoolHighWaterBytes(), kFirmwareImageSize + 1024);
  RecordProperty("pool_high_water_bytes", static_cast<int>(uefi.PoolHighWaterBytes()));
}

// --- Stops before the converter is touched -------------------------------------

TEST_F(UpdateTest, LogThatCannotBeCreatedStopsBeforeTheMailbox) {
  uefi.MakeDirectory("log.txt");
  EXPECT_EQ(Run(), Identification() + "The file can not be opened.\r\n");
  EXPECT_EQ(Record().dpcdWrites, 0u) << "nothing sent to the converter";
  EXPECT_EQ(Record().sourceWriteCount, 0u);
  EXPECT_EQ(Record().modeChangeCount, 1u);
}

TEST_F(UpdateTest, ReadBackBufferRefusedStopsWithAnEmptyLog) {
  uefi.PutFile("log.txt", "successful");
  uefi.FailAt(dbl::Service::AllocatePool, 1, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Run(), Identification() + "The memory can not be allocated.\r\n");
  EXPECT_EQ(Log(), "") << "no earlier outcome may survive";
  EXPECT_EQ(Record().dpcdWrites, 0u);
  EXPECT_EQ(Record().commandCount, 0u);
}

// --- Handshake -----------------------------------------------------------------

TEST_F(UpdateTest, CommandRegisterThatNeverClearsStopsAfterOneWait) {
  scenario.commandClearReads = kSimNever;
  uefi.PutFile("log.txt", "successful");
  EXPECT_EQ(Run(), Identification() + "DPCD50C not 0.Update failed\r\n");
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(uefi.StallCalls(kPoll), 100u);
  EXPECT_EQ(uefi.StallCalls(), 100u);
  // Identification 7, K 1, the command register 101: the status register
  // was never read in that pass.
  EXPECT_EQ(Record().dpcdReads, 109u);
  EXPECT_EQ(Keyword(Record()), "D");
}

TEST_F(UpdateTest, EchoMissingInAHundredAttemptsFails) {
  scenario.echo.afterReads = kSimNever;
  EXPECT_EQ(Run(), Identification() + "3Cannot get ACK. Update failed\r\n");
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(uefi.StallCalls(kPoll), 100u * 100u);
  EXPECT_EQ(Keyword(Record()), std::string(100, 'D')) << "every attempt restarts at 'D'";
  EXPECT_EQ(Record().downloadModeSequence, 0u);
}

TEST_F(UpdateTest, WrongSixthEchoRestartsTheKeyword) {
  scenario.badEchoIndex = 5;
  scenario.badEchoAttempts = 1;
  EXPECT_EQ(Run(), Identification() + kStart + Pages(0) + "\r\nverifying\r\n" + kSuccess);
  EXPECT_EQ(Keyword(Record()), "DownloDownload");
  EXPECT_EQ(uefi.StallCalls(kPoll), 100u) << "one failed echo wait";
  EXPECT_EQ(Log(), "successful");
}

TEST_F(UpdateTest, LateEchoWithinItsWaitCountsNoFailedAttempt) {
  scenario.echo.afterReads = 40;
  Run();
  EXPECT_EQ(Keyword(Record()), "Download");
  EXPECT_EQ(uefi.StallCalls(kPoll), 8u * 40u);
  EXPECT_EQ(Log(), "successful");
}

TEST_F(UpdateTest, SourceSpecificValueIsTheOneReadBeforeTheFirstPass) {
  scenario.reg30CDrifts = true;
  scenario.badEchoIndex = 2;
  scenario.badEchoAttempts = 2;  // more passes, more chances to drift
  Run();
  const SimRecord& r = Record();
  int written = 0;
  for (uint32_t i = 0; i < r.sourceWriteCount && i < kSimSourceLog; i++) {
    if (r.sourceWrites[i].address != 0x30C) continue;
    EXPECT_EQ(r.sourceWrites[i].value, 0x5C) << "write " << written;
    written++;
  }
  EXPECT_EQ(written, 3 + 3 + 8) << "one write per character sent";
  EXPECT_EQ(Log(), "successful");
}

TEST_F(UpdateTest, FailedReadOfTheSourceSpecificRegisterWritesBackZero) {
  scenario.failDpcdRead = {8, 1};  // identification makes 7 DPCD reads
  std::string console = Run();
  EXPECT_NE(console.find(Identification() + "ERROR : ReadDPCD failed.\r\n" + kStart),
            std::string::npos)
      << console;
  const SimRecord& r = Record();
  ASSERT_GE(r.sourceWriteCount, 4u);
  EXPECT_EQ(r.sourceWrites[3].address, 0x30C);
  EXPECT_EQ(r.sourceWrites[3].value, 0) << "no read set it: 0, never stack garbage";
}

TEST_F(UpdateTest, LowVendorBlockMovesTheMailboxNotTheMessages) {
  scenario.downstreamPort = 0x00;
  EXPECT_EQ(Run(), Identification() + kStart + Pages(0) + "\r\nverifying\r\n" + kSuccess);
  EXPECT_EQ(SimViolationCount(converter.get(), SimViolation::kOtherVendorBlock), 0u);
  EXPECT_EQ(Record().violationCount, 0u);
  EXPECT_EQ(Log(), "successful");
}

TEST_F(UpdateTest, LowVendorBlockCommandRegisterIsStillCalledDpcd50c) {
  scenario.downstreamPort = 0x00;
  scenario.commandClearReads = kSimNever;
  EXPECT_EQ(Run(), Identification() + "DPCD50C not 0.Update failed\r\n");
}

TEST_F(UpdateTest, NoConverterDriverStopsAfterOneWait) {
  // No handles at all: every wait's read fails, so the command register wait
  // must not be satisfied by a byte nobody read.
  EXPECT_EQ(RunProgram(uefi.ImageHandle(), uefi.SystemTable()),
            static_cast<EFI_STATUS>(EFI_SUCCESS));
  std::string console = Console();
  std::string tail = "ERROR : Can't get GopNative Protocol.\r\nDPCD50C not 0.Update failed\r\n";
  ASSERT_GE(console.size(), tail.size());
  EXPECT_EQ(console.substr(console.size() - tail.size()), tail);
  EXPECT_EQ(uefi.StallCalls(kPoll), 100u);
  EXPECT_EQ(Log(), "");
}

// --- Transfer ------------------------------------------------------------------

TEST_F(UpdateTest, StartAcknowledgedAtTheLastReread) {
  scenario.startAck.afterReads = 1000;
  Run();
  EXPECT_EQ(uefi.StallCalls(kPoll), 1000u);
  EXPECT_EQ(Log(), "successful");
}

TEST_F(UpdateTest, StartAcknowledgementMissingAfterAThousandRereads) {
  scenario.startAck.afterReads = 1001;
  EXPECT_EQ(Run(), Identification() + kStart + "4Cannot get ACK.Update failed\r\n");
  EXPECT_EQ(uefi.StallCalls(kPoll), 1000u);
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(Record().modeChangeCount, 1u) << "no mode change after a failure";
}

TEST_F(UpdateTest, PageAcknowledgementMissing) {
  scenario.pageAck.afterReads = kSimNever;
  scenario.pageAckOnlyOnPage = true;
  scenario.pageAckPage = 2;
  EXPECT_EQ(Run(), Identification() + kStart + Pages(0xFE) + "7Cannot get ACK.Update failed\r\n");
  EXPECT_EQ(uefi.StallCalls(kPoll), 1000u);
  EXPECT_EQ(Log(), "");
}

TEST_F(UpdateTest, WindowWriteFailureNamesPageAndByte) {
  scenario.windowWriteFails = true;
  scenario.windowWriteFailPage = 0x12;
  scenario.windowWriteFailByte = 0x34;
  uint64_t writesBefore = 0;
  std::string console = Run();
  (void)writesBefore;
  EXPECT_EQ(console, Identification() + kStart + Pages(0xED) +
                         "ERROR : I2CProtocolWrite failed.\r\n" + "data[i*256+j] = " +
                         Hex(FirmwareImage[0x12 * 256 + 0x34]) + " iicwrite,i = 18,j = 52 fail\r\n");
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(Record().i2cWrites, 1u + 0x12 * 256 + 0x34 + 1) << "nothing after the failing write";
}

TEST_F(UpdateTest, WindowReadFailureShowsTheLastByteIndex) {
  scenario.windowReadFails = true;
  scenario.windowReadFailPage = 7;
  EXPECT_EQ(Run(), Identification() + kStart + Pages(0xF8) + "ERROR : I2CProtocolRead failed.\r\n" +
                       "iicread,j = 255 fail\r\n");
  EXPECT_EQ(Log(), "");
}

TEST_F(UpdateTest, FinishAcknowledgementMissing) {
  scenario.finishAck.afterReads = kSimNever;
  EXPECT_EQ(Run(), Identification() + kStart + Pages(0) + "9Cannot get ACK.Update failed\r\n");
  EXPECT_EQ(uefi.StallCalls(kPoll), 100u);
  EXPECT_EQ(Log(), "");
}

TEST_F(UpdateTest, ReadBackDifferenceIsFoundAfterTheFinish) {
  scenario.corruptReadBack = true;
  scenario.corruptPage = 3;
  scenario.corruptByte = 0x10;
  const unsigned expected = FirmwareImage[784];
  const unsigned shown = expected ^ 0xFF;
  EXPECT_EQ(Run(), Identification() + kStart + Pages(0) + "\r\nverifying\r\n" +
                       "Firmware verify error at 784, data[i] = " + Hex(expected) +
                       ", fwBufRead[i] = " + Hex(shown) + "\r\n");
  EXPECT_EQ(Log(), "failed") << "written at exit although the program never closed it";
  const SimRecord& r = Record();
  ASSERT_GT(r.commandCount, 0u);
  EXPECT_EQ(r.commands[r.commandCount - 1].value, 0x80) << "finish was sent";
  EXPECT_EQ(r.modeChangeCount, 1u);
  EXPECT_EQ(r.violationCount, 0u);
}

TEST_F(UpdateTest, FailingStatusReadsInsideAWaitAreJudgedByTheByteAlone) {
  // The page acknowledgement of page 0 is read through a failing call once;
  // the wait goes on with the next read.
  scenario.pageAck.afterReads = 3;
  scenario.pageAckOnlyOnPage = true;
  scenario.pageAckPage = 0;
  scenario.failDpcdRead = {7 + 17 + 1 + 1 + 1, 1};
  std::string console = Run();
  EXPECT_NE(console.find("ERROR : ReadDPCD failed.\r\n"), std::string::npos) << console;
  EXPECT_EQ(Log(), "successful");
}

}  // namespace
