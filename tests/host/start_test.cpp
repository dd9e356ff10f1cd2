// How the program starts and ends: by a shell, as always, or by the boot
// manager or another loader, with log.txt next to the program, the
// watchdog off before the converter is touched and the screen held for a
// key at the end.
#include <string>
#include <vector>

#include "payload/firmware_image.h"
#include "tests/host/program_test.h"

namespace {

using dbl::Service;

constexpr uint64_t kKeyPoll = 50000;
constexpr uint64_t kHold = 300000000;  // five minutes

const std::string kIdentified = std::string("Pellory Version:0.4, firmware version 07_23\r\n") +
                                "Bootloader:2.0.1\r\nCurrent FirmwareVer:0x07_0x22\r\n";
const std::string kSuccess = "Download success,Please shutdown to reset the system!\r\n";
const std::string kPrompt = "Press any key to return to the firmware.\r\n";
const std::string kNoFile = "The file can not be opened.\r\n";
const std::string kNoHistory = "The history can not be written.\r\n";
const std::string kNoRecord = "The result can not be stored in the firmware.\r\n";
const std::string kNotSent = "The result can not be sent to the boot server.\r\n";

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class StartTest : public ProgramTest {
 protected:
  // The boot manager starts a stick's BOOTX64.EFI.
  void FromStick() {
    uefi.StartWithoutShell();
    uefi.SetImagePath({u"\\EFI\\BOOT\\BOOTX64.EFI"});
    uefi.MakeDirectory("EFI\\BOOT");
  }
  std::string StickLog() const { return uefi.FileContent("EFI\\BOOT\\log.txt"); }
};

// --- Where log.txt goes ----------------------------------------------------------

TEST_F(StartTest, ShellStartIsUnchanged) {
  uefi.TypeKey(0);
  std::string console = Run();
  EXPECT_TRUE(EndsWith(console, kSuccess)) << console;
  EXPECT_EQ(Log(), "successful");
  EXPECT_EQ(uefi.Calls(Service::ReadKeyStroke), 0u) << "no hold under a shell";
  EXPECT_EQ(uefi.Calls(Service::OpenVolume), 0u) << "the shell's directory, not the volume";
  EXPECT_EQ(uefi.Microseconds(), 0u);
  EXPECT_EQ(uefi.KeysWaiting(), 1u);
}

TEST_F(StartTest, OnlyAnAbsentShellParameterProtocolMeansNoShell) {
  // The first OpenProtocol looks for the shell's parameters; a failure
  // other than their absence keeps the start a shell start.
  uefi.FailAt(Service::OpenProtocol, 1, EFI_DEVICE_ERROR);
  std::string console = Run();
  EXPECT_TRUE(EndsWith(console, kSuccess)) << console;
  EXPECT_EQ(Log(), "successful");
  EXPECT_EQ(uefi.Calls(Service::ReadKeyStroke), 0u);
}

TEST_F(StartTest, StickStartWritesTheLogNextToTheProgram) {
  FromStick();
  uefi.PutFile("log.txt", "keep");  // the root is no current directory here
  uefi.TypeKey(1);
  std::string console = Run();
  EXPECT_TRUE(EndsWith(console, "\r\nverifying\r\n" + kSuccess + kPrompt)) << console;
  EXPECT_EQ(console.substr(0, kIdentified.size()), kIdentified);
  EXPECT_EQ(StickLog(), "successful");
  EXPECT_EQ(uefi.FileContent("log.txt"), "keep");
  for (UINTN k = 0; k < kFirmwareImageSize; k++) ASSERT_EQ(converter->flash[k], FirmwareImage[k]);
}

struct FolderCase {
  std::vector<std::u16string> nodes;  // the Loaded Image's file path nodes
  const char* folder;                 // where the test puts the folder
  const char* log;
};

class FolderTest : public StartTest, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(FolderTest, LogGoesIntoTheFolderOfTheFilePath) {
  uefi.StartWithoutShell();
  uefi.SetImagePath(GetParam().nodes);
  if (GetParam().folder[0] != 0) uefi.MakeDirectory(GetParam().folder);
  uefi.TypeKey(0, u'x');
  uefi.TypeKey(1);
  Run();
  EXPECT_EQ(uefi.FileContent(GetParam().log), "successful");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FolderTest,
    ::testing::Values(FolderCase{{u"\\pellory.efi"}, "", "log.txt"},
                      FolderCase{{u"\\Tools\\Pellory\\p.efi"}, "TOOLS\\PELLORY", "tools\\pellory\\log.txt"},
                      FolderCase{{u"\\EFI", u"BOOT", u"BOOTX64.EFI"}, "EFI\\BOOT", "EFI\\BOOT\\log.txt"},
                      FolderCase{{u"\\EFI\\", u"\\BOOT\\", u"BOOTX64.EFI"}, "EFI\\BOOT", "EFI\\BOOT\\log.txt"},
                      FolderCase{{u"EFI\\BOOT\\BOOTX64.EFI"}, "EFI\\BOOT", "EFI\\BOOT\\log.txt"}));

TEST_F(StartTest, AnOldLogIsEmptiedBeforeTheMailboxIsTouched) {
  FromStick();
  uefi.PutFile("EFI\\BOOT\\log.txt", "successful");
  scenario.commandClearReads = kSimNever;
  bool oldWordSeenAfterMailbox = false;
  uefi.onCall = [&](Service, uint64_t) {
    if (converter->record.dpcdWrites != 0 && uefi.HasFile("EFI\\BOOT\\log.txt") &&
        uefi.FileContent("EFI\\BOOT\\log.txt") != "")
      oldWordSeenAfterMailbox = true;
  };
  uefi.TypeKey(1);
  EXPECT_TRUE(EndsWith(Run(), "DPCD50C not 0.Update failed\r\n" + kPrompt));
  EXPECT_FALSE(oldWordSeenAfterMailbox);
  EXPECT_EQ(StickLog(), "");
}

// Each way of not having a writable folder: the same line, nothing sent to
// the converter, and the screen still held.
enum class NoFolder { DirectoryOfThatName, ReadOnlyVolume, NetworkBoot, FirmwareVolumePath };

class RefusalTest : public StartTest, public ::testing::WithParamInterface<NoFolder> {};

TEST_P(RefusalTest, NothingIsSentToTheConverter) {
  FromStick();
  switch (GetParam()) {
    case NoFolder::DirectoryOfThatName:
      uefi.MakeDirectory("EFI\\BOOT\\log.txt");
      break;
    case NoFolder::ReadOnlyVolume:
      uefi.PutFile("EFI\\BOOT\\log.txt", "successful");
      uefi.SetReadOnly(true);
      break;
    case NoFolder::NetworkBoot:
      // Without files, and with no boot server to send to, the record in
      // the firmware is the run's one outcome.
      uefi.LoadImageFromBareDevice();
      uefi.SetVariablesReadOnly(true);
      break;
    case NoFolder::FirmwareVolumePath:
      // A firmware volume file node: no folder to follow.
      uefi.SetImageDevicePath({MEDIA_DEVICE_PATH, MEDIA_PIWG_FW_FILE_DP, 20, 0, 1, 2, 3, 4, 5, 6,
                               7, 8, 9, 10, 11, 12, 13, 14, 15, 16, END_DEVICE_PATH_TYPE,
                               END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0});
      break;
  }
  uefi.TypeKey(1);
  // Only a directory named log.txt leaves the folder writable for the history.
  const bool historyWritten = GetParam() == NoFolder::DirectoryOfThatName;
  // A network start refuses before the converter is first read.
  const std::string expected =
      GetParam() == NoFolder::NetworkBoot
          ? kIdentified.substr(0, kIdentified.find('\n') + 1) + kNoFile + kNoRecord + kNotSent + kPrompt
          : kIdentified + kNoFile + (historyWritten ? "" : kNoHistory) + kPrompt;
  EXPECT_EQ(Run(), expected);
  EXPECT_EQ(Record().dpcdWrites, 0u);
  EXPECT_EQ(Record().sourceWriteCount, 0u);
  if (GetParam() == NoFolder::ReadOnlyVolume) {
    EXPECT_EQ(StickLog(), "successful");
  }
  if (GetParam() == NoFolder::DirectoryOfThatName) {
    EXPECT_TRUE(uefi.IsDirectory("EFI\\BOOT\\log.txt"));
  }
}

INSTANTIATE_TEST_SUITE_P(Starts, RefusalTest,
                         ::testing::Values(NoFolder::DirectoryOfThatName, NoFolder::ReadOnlyVolume,
                                           NoFolder::NetworkBoot, NoFolder::FirmwareVolumePath));

// --- The watchdog ------------------------------------------------------------------

TEST_F(StartTest, WatchdogIsOffBeforeTheFirstConverterAccess) {
  FromStick();
  // The longest path: every handshake attempt waits out its echo.
  scenario.echo.afterReads = kSimNever;
  uint64_t secondsAtFirstLookup = ~0ull;
  uefi.onCall = [&](Service s, uint64_t n) {
    if (s == Service::LocateHandleBuffer && n == 1) secondsAtFirstLookup = uefi.WatchdogSeconds();
  };
  uefi.TypeKey(0);
  EXPECT_TRUE(EndsWith(Run(), "3Cannot get ACK. Update failed\r\n" + kPrompt));
  EXPECT_EQ(secondsAtFirstLookup, 0u);
  EXPECT_GT(uefi.Microseconds(), 5000000000ull) << "waits far beyond five minutes";
  EXPECT_FALSE(uefi.WatchdogFired());
}

// --- The hold ----------------------------------------------------------------------

TEST_F(StartTest, HoldEndsOnAKeyAndIgnoresKeysTypedDuringTheUpdate) {
  FromStick();
  scenario.startAck.afterReads = 20;  // the update itself takes 10 s
  uefi.TypeKey(0, u'a');
  uefi.TypeKey(5000000, u'b');
  uefi.TypeKey(42000000, u'c');
  uint64_t keysAtPrompt = ~0ull;
  uefi.onCall = [&](Service s, uint64_t) {
    if (s == Service::ReadKeyStroke && keysAtPrompt == ~0ull && EndsWith(Console(), kPrompt))
      keysAtPrompt = uefi.KeysWaiting();
  };
  Run();
  EXPECT_EQ(StickLog(), "successful");
  EXPECT_EQ(keysAtPrompt, 1u) << "the two keys of the update are gone before the prompt";
  EXPECT_EQ(uefi.KeysWaiting(), 0u);
  EXPECT_EQ(uefi.Microseconds(), 42000000u) << "the third key ended the hold";
}

TEST_F(StartTest, HoldEndsByItselfAfterFiveMinutes) {
  FromStick();
  uefi.TypeKey(kHold - kKeyPoll, u'a');  // the last poll sees it
  Run();
  EXPECT_EQ(uefi.Microseconds(), kHold - kKeyPoll);
  EXPECT_EQ(uefi.KeysWaiting(), 0u);

  uefi.ClearConsole();
  uefi.TypeKey(2 * kHold, u'b');  // the next run's hold starts at kHold - kKeyPoll
  const uint64_t start = uefi.Microseconds();
  uefi.TypeKey(start + kHold, u'c');  // one poll too late
  Run();
  EXPECT_EQ(uefi.Microseconds(), start + kHold);
  EXPECT_EQ(uefi.KeysWaiting(), 2u);
  EXPECT_TRUE(EndsWith(Console(), kPrompt));
}

TEST_F(StartTest, AKeyboardThatNeverRunsDryOrFailsCannotKeepTheProgram) {
  FromStick();
  for (int i = 0; i < 1000; i++) uefi.TypeKey(0);
  Run();
  EXPECT_EQ(uefi.Microseconds(), 0u) << "stale keys are bounded; the next one ends the hold";

  uefi.FailFrom(Service::ReadKeyStroke, uefi.Calls(Service::ReadKeyStroke) + 1);
  const uint64_t start = uefi.Microseconds();
  Run();
  EXPECT_EQ(uefi.Microseconds() - start, kHold);
}

}  // namespace
