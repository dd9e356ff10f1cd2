// No one at the keyboard: the record every run leaves in PelloryResult, the
// OS's one-shot PelloryRequest, and the network start whose only outcome is
// that record.
#include <string>
#include <vector>

#include "app/request.h"
#include "contract/key_value.h"
#include "platform/variables.h"
#include "tests/host/program_test.h"

namespace {

using dbl::Service;

const std::string kBanner = "Pellory Version:0.4, firmware version 07_23\r\n";
const std::string kPrompt = "Press any key to return to the firmware.\r\n";
const std::string kSuccess = "Download success,Please shutdown to reset the system!\r\n";
const std::string kNoRecord = "The result can not be stored in the firmware.\r\n";
const std::string kUnreadable = "The update request can not be read.\r\n";

class UnattendedTest : public ProgramTest {
 protected:
  UnattendedTest() {
    // Where the converter stood when each variable write and the reset came.
    uefi.onCall = [this](Service s, uint64_t) {
      if (s == Service::SetVariable || s == Service::ResetSystem)
        accessesAt.push_back(installed ? Record().sequence : 0);
      if (s == Service::ResetSystem) historyAtReset = uefi.FileContent("EFI\\BOOT\\history.csv");
      const char* history = "EFI\\BOOT\\history.csv";
      if (s == Service::SetVariable) historyAtWrite.push_back(uefi.HasFile(history) ? uefi.FileContent(history) : "");
    };
  }
  void FromStick() {
    uefi.StartWithoutShell();
    uefi.SetImagePath({u"\\EFI\\BOOT\\BOOTX64.EFI"});
    uefi.MakeDirectory("EFI\\BOOT");
  }
  void Ask(const std::string& request) {
    uefi.PutVariable(u"PelloryRequest", kPelloryVariableGuid, request, kPelloryVariableAttributes);
  }
  bool Asked() const { return uefi.HasVariable(u"PelloryRequest", kPelloryVariableGuid); }
  std::string Result() const { return uefi.VariableData(u"PelloryResult", kPelloryVariableGuid); }
  // The PelloryResult writes in order, and every variable change's name.
  std::vector<std::string> ResultWrites() const {
    std::vector<std::string> writes;
    for (const dbl::VariableWrite& w : uefi.VariableWrites())
      if (w.name == u"PelloryResult") writes.push_back(w.data);
    return writes;
  }
  std::vector<std::u16string> Changed() const {
    std::vector<std::u16string> names;
    for (const dbl::VariableWrite& w : uefi.VariableWrites()) names.push_back(w.name);
    return names;
  }

  std::vector<uint64_t> accessesAt;
  std::string historyAtReset;
  std::vector<std::string> historyAtWrite;
};

// --- The record -----------------------------------------------------------------

class RecordTest : public UnattendedTest, public ::testing::WithParamInterface<EndCase> {};

// The first write comes before the converter is first read, the last once
// everything else is done, and the last tells what history.csv tells.
TEST_P(RecordTest, StartedBeforeTheConverterThenTheOutcome) {
  GetParam().arrange(scenario, uefi);
  Run();
  const std::vector<std::string> writes = ResultWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], ResultText("", "shell", false, "started"));
  EXPECT_EQ(writes[1], ResultText("", "shell", true, GetParam().outcome));
  EXPECT_EQ(Result(), writes[1]);
  EXPECT_EQ(uefi.VariableAttributes(u"PelloryResult", kPelloryVariableGuid), 7u);
  ASSERT_EQ(accessesAt.size(), 2u);
  EXPECT_EQ(accessesAt[0], 0u) << "the converter was read before the record said started";
  EXPECT_EQ(accessesAt[1], Record().sequence) << "the converter was used after the last write";
  const std::string history = uefi.FileContent("history.csv");
  EXPECT_NE(history.find(std::string(",") + GetParam().outcome + "\r\n"), std::string::npos)
      << history;
}

INSTANTIATE_TEST_SUITE_P(
    Ends, RecordTest,
    ::testing::Values(
        EndCase{"Success", [](SimScenario&, dbl::UefiDouble&) {}, "successful"},
        EndCase{"Verify", [](SimScenario& s, dbl::UefiDouble&) { s.corruptReadBack = true; }, "failed"},
        EndCase{"Echo", [](SimScenario& s, dbl::UefiDouble&) { s.echo.afterReads = kSimNever; },
                "stopped: 3Cannot get ACK. Update failed"},
        EndCase{"Memory", [](SimScenario&, dbl::UefiDouble& u) { u.FailAt(Service::AllocatePool, 1); },
                "stopped: The memory can not be allocated."},
        EndCase{"File", [](SimScenario&, dbl::UefiDouble& u) { u.MakeDirectory("log.txt"); },
                "stopped: The file can not be opened."}),
    [](const auto& info) { return info.param.name; });

// A run cut short never makes its last write: the record says started. A
// record the firmware refuses changes nothing else and is said last.
TEST_F(UnattendedTest, ARecordThatCannotBeWrittenChangesNothingElse) {
  uefi.FailAt(Service::SetVariable, 2);
  std::string console = Run();
  EXPECT_EQ(Result(), ResultText("", "shell", false, "started"));
  EXPECT_EQ(console.substr(console.size() - kSuccess.size() - kNoRecord.size()), kSuccess + kNoRecord);
  EXPECT_EQ(Log(), "successful");

  for (const bool full : {true, false}) {
    uefi.ClearConsole();
    uefi.SetVariableRoom(full ? 100 : 64 * 1024);
    uefi.SetVariablesReadOnly(!full);
    console = Run();
    EXPECT_EQ(console.find(kNoRecord), console.size() - kNoRecord.size()) << console;
    EXPECT_NE(console.find("Download success"), std::string::npos);
    EXPECT_EQ(Log(), "successful");
    EXPECT_EQ(Result(), ResultText("", "shell", false, "started")) << "the old record stays";
  }
}

// --- The request ----------------------------------------------------------------

struct AfterCase {
  const char* name;
  const char* line;  // the request's after= line, or none
  std::optional<EFI_RESET_TYPE> reset;
};

class AfterTest : public UnattendedTest, public ::testing::WithParamInterface<AfterCase> {};

TEST_P(AfterTest, AValidRequestIsServedOnceWithNoOneAtTheKeyboard) {
  FromStick();
  const std::string id(64, 'x');
  Ask("format=1\nid=" + id + "\n" + GetParam().line);
  uefi.TypeKey(1);  // a key the run never waits for
  const std::string console = Run(EFI_ABORTED);
  EXPECT_EQ(console.find("Press any key"), std::string::npos) << console;
  EXPECT_EQ(uefi.Calls(Service::ReadKeyStroke), 0u);
  EXPECT_FALSE(Asked());
  const std::vector<std::u16string> changed = Changed();
  ASSERT_GE(changed.size(), 3u);
  EXPECT_EQ(changed[0], u"PelloryRequest") << "the request goes before anything else";
  EXPECT_EQ(accessesAt[0], 0u);
  EXPECT_EQ(Result(), ResultText(id, "boot", true, "successful"));
  EXPECT_EQ(uefi.FileContent("EFI\\BOOT\\log.txt"), "successful");
  EXPECT_EQ(uefi.Reset(), GetParam().reset);
  if (GetParam().reset) {
    EXPECT_EQ(accessesAt.size(), 4u) << "the reset comes after the record's last write";
    EXPECT_NE(historyAtReset.find(",successful\r\n"), std::string::npos) << historyAtReset;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, AfterTest,
    ::testing::Values(AfterCase{"Default", "", std::nullopt},
                      AfterCase{"Return", "after=return\n", std::nullopt},
                      AfterCase{"Reboot", "after=reboot\n", EfiResetCold},
                      AfterCase{"Shutdown", "after=shutdown\n", EfiResetShutdown}),
    [](const auto& info) { return info.param.name; });

class BadRequestTest : public UnattendedTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(BadRequestTest, IsDeletedAndStopsWithNothingSent) {
  FromStick();
  Ask(GetParam());
  EXPECT_EQ(Run(EFI_ABORTED), kBanner + kUnreadable);
  EXPECT_EQ(Record().sequence, 0u);
  EXPECT_FALSE(Asked());
  EXPECT_EQ(Result(), ResultText("", "boot", false, "stopped: The update request can not be read."));
  EXPECT_FALSE(uefi.HasFile("EFI\\BOOT\\log.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BadRequestTest,
    ::testing::Values("format=2\nid=a\n", "format=1\nid=a\nwhen=now\n", "format=1\nid=\n",
                      "format=1\nid=" + std::string(65, 'x') + "\n", "format=1\nid=a b\n",
                      "format=1\nid=a", "format=1\r\nid=a\r\n", "id=a\n", "format=1\nid=a\nid=b\n",
                      "format=1\nid=a\nafter=later\n", "format=1\nid=\xc3\xa9\n",
                      "format=1\nid=a\n" + std::string(1024, 'x') + "\n", "format=1\nid=a\nmode=install\n",
                      "format=1\nid=a\nmode=\n", "format=1\nid=a\nmode=update\nmode=identify\n",
                      "format=1\nid=a\nallow=newer\n", "format=1\nid=a\nallow=Same\n",
                      "format=1\nid=a\nallow=same\nallow=same\n", "format=1\nid=a\nallow=same older\n"),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST_F(UnattendedTest, ARequestThatCannotBeClearedStopsWithNothingSent) {
  FromStick();
  Ask("format=1\nid=job-1\n");
  uefi.FailAt(Service::SetVariable, 1);
  EXPECT_EQ(Run(EFI_ABORTED), kBanner + "The update request can not be cleared.\r\n");
  EXPECT_EQ(Record().sequence, 0u);
  EXPECT_TRUE(Asked());
  EXPECT_EQ(Result(), ResultText("job-1", "boot", false, "stopped: The update request can not be cleared."));
}

TEST_F(UnattendedTest, AShellStartLeavesTheRequestAlone) {
  Ask("format=1\nid=job-1\nafter=shutdown\n");
  Run();
  EXPECT_EQ(uefi.Calls(Service::GetVariable), 0u);
  EXPECT_TRUE(Asked());
  EXPECT_EQ(uefi.Reset(), std::nullopt);
  EXPECT_EQ(Result(), ResultText("", "shell", true, "successful"));
}

// The longest id and the keys in any order pass; the request's own parser
// refuses what the run-level cases above cannot reach.
TEST(RequestTest, ParsesOnlyWhatTheOsWrites) {
  contract::RequestFields r;
  text::Span where;
  const std::string text = "after=reboot\nallow=any\nid=A-Z.a_z:09\nmode=identify\nformat=1\n";
  ASSERT_EQ(contract::ParseRequest(text.data(), text.size(), &r, &where), contract::RequestError::None);
  EXPECT_STREQ(r.id, "A-Z.a_z:09");
  EXPECT_EQ(r.after, contract::After::Reboot);
  EXPECT_EQ(r.mode, contract::Mode::Identify);
  EXPECT_EQ(r.allow, contract::Allow::Any);
  for (const std::string& bad : std::vector<std::string>{"format=1\nid=a\nafter=reboot\nafter=reboot\n", "format=1\n",
                                "format=1\nid=a\n\n", "format=1\nid=a\nformat=1\n", "=1\nid=a\n",
                                std::string("format=1\nid=a\0\n", 15)})
    EXPECT_NE(contract::ParseRequest(bad.data(), bad.size(), &r, &where), contract::RequestError::None) << bad;
}

// --- Paths only the campaign reached before ---------------------------------------

// A firmware that keeps no variables: no request, so a technician's run,
// which says last that its record could not be kept.
TEST_F(UnattendedTest, AFirmwareWithoutVariablesRunsAsATechniciansStart) {
  FromStick();
  uefi.FailFrom(Service::GetVariable, 1, EFI_UNSUPPORTED);
  uefi.FailFrom(Service::SetVariable, 1, EFI_UNSUPPORTED);
  uefi.TypeKey(1);
  const std::string console = Run();
  EXPECT_TRUE(console.ends_with(kSuccess + kNoRecord + kPrompt)) << console;
  EXPECT_EQ(uefi.FileContent("EFI\\BOOT\\log.txt"), "successful");
  EXPECT_NE(uefi.FileContent("EFI\\BOOT\\history.csv").find(",successful\r\n"), std::string::npos);
}

// A stick start keeps its files, so a refused first record does not stop
// it; the history line goes in before the record's last write.
TEST_F(UnattendedTest, AStickStartWhoseFirstRecordIsRefusedGoesOn) {
  FromStick();
  uefi.FailAt(Service::SetVariable, 1);
  uefi.TypeKey(1);
  Run();
  ASSERT_EQ(ResultWrites().size(), 1u);
  EXPECT_EQ(Result(), ResultText("", "boot", true, "successful"));
  ASSERT_EQ(historyAtWrite.size(), 2u);
  EXPECT_EQ(historyAtWrite[0], "") << "the first write comes before any line";
  EXPECT_NE(historyAtWrite[1].find(",successful\r\n"), std::string::npos) << "the record went in before the history";
}

// Only "unsupported" from the program's own device means no file system
// behind it, a network start; any other failure is a volume's.
class VolumeOpenTest : public UnattendedTest, public ::testing::WithParamInterface<EFI_STATUS> {};

TEST_P(VolumeOpenTest, OnlyUnsupportedMeansANetworkStart) {
  FromStick();
  uefi.FailAt(Service::OpenProtocol, 3, GetParam());  // the file system on the program's device
  uefi.TypeKey(1);
  Run();
  const bool network = GetParam() == EFI_UNSUPPORTED;
  EXPECT_EQ(Result(), ResultText("", network ? "network" : "boot", true, "successful"));
  EXPECT_EQ(uefi.HasFile("EFI\\BOOT\\log.txt"), !network);
}

INSTANTIATE_TEST_SUITE_P(Statuses, VolumeOpenTest, ::testing::Values(EFI_UNSUPPORTED, EFI_DEVICE_ERROR));

// --- A network start -----------------------------------------------------------

TEST_F(UnattendedTest, ANetworkStartKeepsOnlyItsRecord) {
  uefi.StartWithoutShell();
  uefi.LoadImageFromNetwork();
  uefi.TypeKey(1);
  EXPECT_NE(Run().find(kSuccess + kPrompt),
            std::string::npos);
  EXPECT_EQ(uefi.Calls(Service::OpenVolume) + uefi.Calls(Service::FileOpen) +
                uefi.Calls(Service::ShellOpenFileByName),
            0u);
  EXPECT_EQ(Result(), ResultText("", "network", true, "successful"));
  for (UINTN k = 0; k < kFirmwareImageSize; k++) ASSERT_EQ(converter->flash[k], FirmwareImage[k]);

  // Asked for by the OS, it runs unattended.
  uefi.ClearConsole();
  Ask("format=1\nid=pxe-1\n");
  const uint64_t keyReads = uefi.Calls(Service::ReadKeyStroke);
  EXPECT_EQ(Run(EFI_ABORTED).find("Press any key"), std::string::npos);
  EXPECT_EQ(Result(), ResultText("pxe-1", "network", true, "successful"));
  EXPECT_EQ(uefi.Calls(Service::ReadKeyStroke), keyReads);
}

}  // namespace
