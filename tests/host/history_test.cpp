// history.csv: one line per run at its very end, header once, earlier bytes
// never touched, every way a run ends named, and a history that cannot be
// written changing nothing else.
#include <cstdio>
#include <string>
#include <vector>

#include "payload/firmware_image.h"
#include "tests/host/program_test.h"

namespace {

using dbl::Service;

const std::string kHeader =
    "time,machine_serial,machine_uuid,port,vendor_block,converter_oui,bootloader,firmware_before,"
    "image,outcome\r\n";
const std::vector<uint8_t> kUuid = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                                    0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

// The fields of one CSV record (quotes undone).
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); i++) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += '"';
      i++;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// The lines of the history without their CR LF; a line without one fails.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "the history does not end in CR LF";
  return lines;
}

class HistoryTest : public ProgramTest {
 protected:
  std::string History() const { return uefi.FileContent("history.csv"); }
  std::vector<std::string> Last() {
    std::vector<std::string> lines = Lines(History());
    return lines.empty() ? std::vector<std::string>{} : Fields(lines.back());
  }
};

TEST_F(HistoryTest, TwoRunsLeaveAHeaderAndTwoLinesOfTheMachineAndTheConverter) {
  uefi.SetSmbios(dbl::UefiDouble::SystemInformation("SN-4711", kUuid), dbl::UefiDouble::Smbios::V3, 0x0304);
  uefi.SetTime({2026, 12, 8, 9, 5, 3, 0, 0, EFI_UNSPECIFIED_TIMEZONE, 0, 0});
  Run();
  scenario.downstreamPort = 0x00;
  scenario.answeringPort = 4;
  scenario.commandClearReads = kSimNever;
  uefi.SetTime({2027, 1, 31, 23, 59, 59, 0, 0, EFI_UNSPECIFIED_TIMEZONE, 0, 0});
  Run();
  const std::vector<std::string> lines = Lines(History());
  ASSERT_EQ(lines.size(), 3u) << History();
  EXPECT_EQ(lines[0] + "\r\n", kHeader);
  EXPECT_EQ(Fields(lines[1]), (std::vector<std::string>{
                                  "2026-12-08T09:05:03", "SN-4711", "00112233-4455-6677-8899-AABBCCDDEEFF", "0",
                                  "0x500", "0A1B2C", "2.0.1", "0x07_0x22", ImageField(), "successful"}));
  EXPECT_EQ(Fields(lines[2]), (std::vector<std::string>{
                                  "2027-01-31T23:59:59", "SN-4711", "00112233-4455-6677-8899-AABBCCDDEEFF", "4",
                                  "0x400", "0A1B2C", "2.0.1", "0x07_0x22", ImageField(),
                                  "stopped: DPCD50C not 0.Update failed"}));
  EXPECT_EQ(Log(), "");
}

TEST_F(HistoryTest, AnOldHistoryKeepsItsBytesAndALineThatLostItsEndIsNotContinued) {
  const std::string old = kHeader + "2026-01-01T00:00:00,,,0,0x500,0A1B2C,2.0.1,0x07_0x21,x,\"failed\"\r\n" +
                          "2026-01-02T00:00:00,,,0,0x5";  // a run cut short by a power loss
  uefi.PutFile("history.csv", old);
  Run();
  const std::string now = History();
  ASSERT_EQ(now.substr(0, old.size()), old);
  const std::vector<std::string> added = Lines(now.substr(old.size()));
  ASSERT_EQ(added.size(), 2u) << now;
  EXPECT_EQ(added[0], "") << "the cut line is ended, not continued";
  EXPECT_EQ(Fields(added[1]).back(), "successful");
}

TEST_F(HistoryTest, UnreadableClockAndMissingSmbiosGiveEmptyFields) {
  // Read for the record that says "started" and again at the end.
  uefi.FailAt(Service::GetTime, 1);
  uefi.FailAt(Service::GetTime, 2);
  Run();
  std::vector<std::string> f = Last();
  ASSERT_EQ(f.size(), 10u);
  EXPECT_EQ(f[0], "");
  EXPECT_EQ(f[1], "");
  EXPECT_EQ(f[2], "");

  uefi.SetSmbios(dbl::UefiDouble::SystemInformation("", std::vector<uint8_t>(16, 0xFF)),
                 dbl::UefiDouble::Smbios::V2, 0x0208);
  // No month 13, no month 0, no day 0: a clock not to trust.
  for (const EFI_TIME& t : {EFI_TIME{2026, 13, 1, 0, 0, 0, 0, 0, 0, 0, 0},
                            EFI_TIME{2026, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0},
                            EFI_TIME{2026, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}}) {
    uefi.SetTime(t);
    Run();
    f = Last();
    ASSERT_EQ(f.size(), 10u);
    EXPECT_EQ(f[0] + f[1] + f[2], "") << "no serial, and a UUID of all FF is none";
  }
}

// A quote alone needs quoting as much as a comma does; SMBIOS 2.6 is the
// first to store the UUID's first three fields little-endian.
TEST_F(HistoryTest, SerialWithCommaOrQuoteIsQuotedAndUuidOrderFollowsTheSmbiosVersion) {
  uefi.SetSmbios(dbl::UefiDouble::SystemInformation("A,\"B\"", kUuid), dbl::UefiDouble::Smbios::V2, 0x0205);
  Run();
  uefi.SetSmbios(dbl::UefiDouble::SystemInformation("AB\"12", kUuid), dbl::UefiDouble::Smbios::V2, 0x0206);
  Run();
  const std::vector<std::string> lines = Lines(History());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[1].find(",\"A,\"\"B\"\"\",33221100-5544-7766-8899-AABBCCDDEEFF,"), std::string::npos)
      << lines[1];
  EXPECT_NE(lines[2].find(",\"AB\"\"12\",00112233-4455-6677-8899-AABBCCDDEEFF,"), std::string::npos)
      << lines[2];
  EXPECT_EQ(Fields(lines[2])[1], "AB\"12");
}

TEST_F(HistoryTest, HistoryThatCannotBeWrittenChangesNothingElse) {
  uefi.MakeDirectory("history.csv");
  std::string console = Run();
  const std::string tail = "Download success,Please shutdown to reset the system!\r\n"
                           "The history can not be written.\r\n";
  ASSERT_GE(console.size(), tail.size());
  EXPECT_EQ(console.substr(console.size() - tail.size()), tail);
  EXPECT_EQ(Log(), "successful");
  EXPECT_TRUE(uefi.IsDirectory("history.csv"));
  EXPECT_EQ(Record().modeChangeCount, 2u);

}

TEST_F(HistoryTest, AFailingWriteLeavesTheOldBytesAndIsSaid) {
  const std::string old = kHeader + "x\r\n";
  uefi.PutFile("history.csv", old);
  uefi.FailAt(Service::ShellWriteFile, 2);  // the log's word is the first write
  const std::string console = Run();
  EXPECT_EQ(History(), old);
  EXPECT_EQ(Log(), "successful");
  const std::string said = "The history can not be written.\r\n";
  EXPECT_EQ(console.substr(console.size() - said.size()), said);
}

TEST_F(HistoryTest, AShellWhoseCreateEmptiesFilesNeverGetsToEmptyTheHistory) {
  const std::string old = kHeader + "x\r\n";
  uefi.PutFile("history.csv", old);
  uefi.SetCreateTruncates(true);
  Run();
  EXPECT_EQ(History().substr(0, old.size()), old);
  // Not even when the first open fails for another reason than absence.
  uefi.PutFile("history.csv", old);
  uefi.FailAt(Service::ShellOpenFileByName, uefi.Calls(Service::ShellOpenFileByName) + 2, EFI_NO_MEDIA);
  const std::string console = Run();
  EXPECT_EQ(History(), old);
  EXPECT_NE(console.find("The history can not be written."), std::string::npos);
}

TEST_F(HistoryTest, TheLineIsAddedAfterTheLogIsFinalAndTheConverterLeftAlone) {
  std::string logAtHistoryOpen;
  uint64_t callsAtHistoryOpen = 0;
  uint64_t opens = 0;
  uefi.onCall = [&](Service s, uint64_t) {
    if (s != Service::ShellOpenFileByName || ++opens != 2) return;  // the log's open is the first
    logAtHistoryOpen = uefi.FileContent("log.txt");
    callsAtHistoryOpen = converter->record.sequence;
  };
  // A failed verification leaves the log open for the exit to flush.
  scenario.corruptReadBack = true;
  Run();
  EXPECT_EQ(logAtHistoryOpen, "failed");
  EXPECT_EQ(callsAtHistoryOpen, Record().sequence);

  opens = 0;
  uefi.PutFile("log.txt", "");  // so the log is opened once, not deleted and made anew
  scenario.corruptReadBack = false;
  Run();
  EXPECT_EQ(logAtHistoryOpen, "successful");
  EXPECT_EQ(callsAtHistoryOpen, Record().sequence) << "the final mode change came first";
  EXPECT_EQ(Record().modeChangeCount, 2u);
}

TEST_F(HistoryTest, AStopMessagePrintedInTwoPartsIsKeptWhole) {
  scenario.windowWriteFails = true;
  scenario.windowWriteFailPage = 0x12;
  scenario.windowWriteFailByte = 0x34;
  Run();
  char expected[96];
  std::snprintf(expected, sizeof expected, "stopped: data[i*256+j] = %x iicwrite,i = 18,j = 52 fail",
                FirmwareImage[0x12 * 256 + 0x34]);
  std::vector<std::string> f = Last();
  ASSERT_EQ(f.size(), 10u) << History();
  EXPECT_EQ(f[9], expected);
}

// Every way a run ends, as its history line names it.
class EndTest : public HistoryTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(EndTest, OutcomeNamesTheStage) {
  GetParam().arrange(scenario, uefi);
  Run();
  std::vector<std::string> f = Last();
  ASSERT_EQ(f.size(), 10u) << History();
  EXPECT_EQ(f[9], GetParam().outcome);
  EXPECT_EQ(Lines(History()).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Stages, EndTest,
    ::testing::Values(
        EndCase{"Memory", [](SimScenario&, dbl::UefiDouble& u) { u.FailAt(Service::AllocatePool, 1); },
                "stopped: The memory can not be allocated."},
        EndCase{"File", [](SimScenario&, dbl::UefiDouble& u) { u.MakeDirectory("log.txt"); },
                "stopped: The file can not be opened."},
        EndCase{"Echo", [](SimScenario& s, dbl::UefiDouble&) { s.echo.afterReads = kSimNever; },
                "stopped: 3Cannot get ACK. Update failed"},
        EndCase{"Start", [](SimScenario& s, dbl::UefiDouble&) { s.startAck.afterReads = kSimNever; },
                "stopped: 4Cannot get ACK.Update failed"},
        EndCase{"Page", [](SimScenario& s, dbl::UefiDouble&) { s.pageAck.afterReads = kSimNever; },
                "stopped: 7Cannot get ACK.Update failed"},
        EndCase{"Finish", [](SimScenario& s, dbl::UefiDouble&) { s.finishAck.afterReads = kSimNever; },
                "stopped: 9Cannot get ACK.Update failed"},
        EndCase{"WindowRead",
                [](SimScenario& s, dbl::UefiDouble&) {
                  s.windowReadFails = true;
                  s.windowReadFailPage = 7;
                },
                "stopped: iicread,j = 255 fail"},
        EndCase{"Verify", [](SimScenario& s, dbl::UefiDouble&) { s.corruptReadBack = true; }, "failed"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
