// The two console channels and the update log, as the user and the factory
// scripts see them.
#include <string>

#include "output/console.h"
#include "output/update_log.h"
#include "tests/host/host_test.h"

namespace {

using OutputTest = HostTest;

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

TEST_F(OutputTest, StandardOutputFollowsPrintfRules) {
  StdPrint("Current FirmwareVer:0x%02X_0x%02X\n", 0x01, 0x0B);
  StdPrint("Page:%02X|%02X|%02X\n", 0x0A, 0x00, 0xFF);
  StdPrint("at %d, data[i] = %x, fwBufRead[i] = %x|%d|%s\n", 784, 0xAB, 0x0C, -42, "ok");
  EXPECT_EQ(Console(),
            "Current FirmwareVer:0x01_0x0B\r\n"
            "Page:0A|00|FF\r\n"
            "at 784, data[i] = ab, fwBufRead[i] = c|-42|ok\r\n");
}

TEST_F(OutputTest, WideConsoleFollowsFirmwareRules) {
  ConPrint(u"Bootloader:%x.0.%x\n", 0x2, 0x1);
  ConPrint(u"Bootloader:%x.0.%x\n", 0xA, 0x3);
  ConPrint(u"%x\n", 0xBEEF);
  ASSERT_EQ(uefi.OutputCalls().size(), 3u) << "one firmware call per message, unbuffered";
  EXPECT_EQ(Narrow(uefi.OutputCalls()[0]), "Bootloader:2.0.1\r\n");
  EXPECT_EQ(Narrow(uefi.OutputCalls()[1]), "Bootloader:A.0.3\r\n");
  EXPECT_EQ(Narrow(uefi.OutputCalls()[2]), "BEEF\r\n");
}

TEST_F(OutputTest, WideConsoleCutsAt320CharactersWithoutSplittingALineEnd) {
  std::u16string long_text(400, u'x');
  ConPrint(long_text.c_str());
  ASSERT_EQ(uefi.OutputCalls().size(), 1u);
  EXPECT_EQ(uefi.OutputCalls()[0].size(), 320u);

  uefi.ClearConsole();
  std::u16string edge(319, u'y');
  edge += u"\n";
  ConPrint(edge.c_str());
  EXPECT_EQ(uefi.OutputCalls().back(), std::u16string(319, u'y')) << "CR LF would be 321";
}

TEST_F(OutputTest, StandardOutputShowsALineOnlyAtItsLineFeedOrAFlush) {
  StdPrint("Page:%02X\r", 0xFF);
  EXPECT_EQ(Console(), "");
  StdFlush();
  EXPECT_EQ(Console(), "Page:FF\r") << "a bare CR stays a bare CR";
  StdPrint("\nverifying\n");
  EXPECT_EQ(Console(), "Page:FF\r\r\nverifying\r\n");
}

TEST_F(OutputTest, ChannelsReachTheConsoleInProgramOrder) {
  StdPrint("Pellory Version:0.4, firmware version 07_23\n");
  ConPrint(u"Bootloader:%x.0.%x\n", 2, 1);
  StdPrint("Current FirmwareVer:0x%02X_0x%02X\n", 7, 0x23);
  StreamsFlushAndCloseAll();
  EXPECT_EQ(Console(),
            "Pellory Version:0.4, firmware version 07_23\r\n"
            "Bootloader:2.0.1\r\n"
            "Current FirmwareVer:0x07_0x23\r\n");
}

TEST_F(OutputTest, LongStandardOutputIsShownWhole) {
  std::string line(3000, 'z');
  StdPrint("%s", line.c_str());  // cut to the 1024-byte format buffer
  StdPrint("\n");
  StreamsFlushAndCloseAll();
  EXPECT_EQ(Console(), std::string(1023, 'z') + "\r\n");
  for (const std::u16string& call : uefi.OutputCalls()) EXPECT_LE(call.size(), 320u);
}

class UpdateLogTest : public HostTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    uefi.SetCreateTruncates(GetParam());
  }
};

TEST_P(UpdateLogTest, OpeningEmptiesAnEarlierLog) {
  uefi.PutFile("log.txt", "successful");
  Stream* log = UpdateLogOpen();
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(uefi.FileContent("log.txt"), "") << "emptied before anything else happens";
  UpdateLogWrite(log, "failed");
  UpdateLogClose(log);
  EXPECT_EQ(uefi.FileContent("log.txt"), "failed");
  EXPECT_EQ(uefi.OpenFiles(), 0);
  EXPECT_EQ(uefi.PoolBlocksOutstanding(), 0u);
}

TEST_P(UpdateLogTest, ExitFlushesAndClosesALogTheProgramLeftOpen) {
  Stream* log = UpdateLogOpen();
  ASSERT_NE(log, nullptr);
  UpdateLogWrite(log, "failed");
  EXPECT_EQ(uefi.FileContent("log.txt"), "") << "fully buffered until flushed";
  StreamsFlushAndCloseAll();
  EXPECT_EQ(uefi.FileContent("log.txt"), "failed");
  EXPECT_EQ(uefi.OpenFiles(), 0);
}

TEST_P(UpdateLogTest, ALogThatCannotBeHadEmptyIsRefused) {
  uefi.MakeDirectory("log.txt");
  EXPECT_EQ(UpdateLogOpen(), nullptr);
  EXPECT_TRUE(uefi.IsDirectory("log.txt"));
  EXPECT_EQ(uefi.OpenFiles(), 0);
  EXPECT_EQ(uefi.PoolBlocksOutstanding(), 0u);
}

TEST_P(UpdateLogTest, AFailedCreateIsRefused) {
  uefi.FailAt(dbl::Service::ShellOpenFileByName, 1, EFI_WRITE_PROTECTED);
  EXPECT_EQ(UpdateLogOpen(), nullptr);
  EXPECT_EQ(uefi.OpenFiles(), 0);
}

TEST_P(UpdateLogTest, AnOldLogThatCannotBeDeletedIsRefused) {
  uefi.PutFile("log.txt", "successful");
  uefi.FailAt(dbl::Service::ShellDeleteFile, 1, EFI_WRITE_PROTECTED);
  Stream* log = UpdateLogOpen();
  if (GetParam()) {
    EXPECT_NE(log, nullptr) << "a shell that truncates on create needs no delete";
  } else {
    EXPECT_EQ(log, nullptr) << "an old outcome must never survive";
    EXPECT_EQ(uefi.FileContent("log.txt"), "successful");
  }
  StreamsFlushAndCloseAll();
  EXPECT_EQ(uefi.OpenFiles(), 0);
}

INSTANTIATE_TEST_SUITE_P(ShellCreate, UpdateLogTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Truncates" : "Keeps"; });

}  // namespace
