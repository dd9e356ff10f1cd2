// Start-up and identification: the banner, the port probe, the vendor block
// and the version lines, through the whole program.
#include "link/run_state.h"
#include "record/run_record.h"
#include "tests/host/program_test.h"

namespace {

class IdentifyTest : public ProgramTest {
 protected:
  // Identification ends with the firmware line; what follows is the download.
  std::string IdentificationLines() {
    std::string console = Run();
    size_t end = console.find("Current FirmwareVer:");
    if (end == std::string::npos) return console;
    return console.substr(0, console.find('\n', end) + 1);
  }
};

TEST_F(IdentifyTest, ReportsBannerAndVersionsInProgramOrder) {
  scenario.downstreamPort = 0x01;
  scenario.bootloader = 0x21;
  scenario.firmwareMajor = 0x07;
  scenario.firmwareMinor = 0x23;
  EXPECT_EQ(IdentificationLines(),
            "Pellory Version:0.4, firmware version 07_23\r\n"
            "Bootloader:2.0.1\r\n"
            "Current FirmwareVer:0x07_0x23\r\n");
  // The bootloader line took the wide channel: one firmware call of its own.
  bool seen = false;
  for (const std::u16string& call : uefi.OutputCalls()) seen |= call == u"Bootloader:2.0.1\r\n";
  EXPECT_TRUE(seen);
}

TEST_F(IdentifyTest, ShowsNibblesAndBytesInTheirOwnForms) {
  scenario.bootloader = 0xA3;
  scenario.firmwareMajor = 0x01;
  scenario.firmwareMinor = 0x0B;
  std::string lines = IdentificationLines();
  EXPECT_NE(lines.find("Bootloader:A.0.3\r\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("Current FirmwareVer:0x01_0x0B\r\n"), std::string::npos) << lines;
}

TEST_F(IdentifyTest, ConverterOnPortFourIsFoundAfterTwoSilentPorts) {
  scenario.answeringPort = 4;
  std::string lines = IdentificationLines();
  EXPECT_EQ(gRunState.port, 4u);
  EXPECT_EQ(lines.find("ERROR"), std::string::npos) << "silent ports print nothing: " << lines;
  // Probe reads on 0, 2 and 4, then the quiet 256-byte read.
  EXPECT_EQ(uefi.Calls(dbl::Service::LocateHandleBuffer) >= 4, true);
  EXPECT_EQ(Record().failures, 2u) << "ports 0 and 2 refused, nothing else";
}

TEST_F(IdentifyTest, ConverterOnPortZeroTakesOneProbeRead) {
  Run();
  EXPECT_EQ(gRunState.port, 0u);
  EXPECT_EQ(Record().failures, 0u);
  EXPECT_EQ(Record().modeChangeCount >= 1, true);
  EXPECT_EQ(SimViolationCount(converter.get(), SimViolation::kDpcdBeforeModeChange), 0u);
}

TEST_F(IdentifyTest, NoAnsweringPortLeavesTheLastPortTried) {
  scenario.noAnsweringPort = true;
  std::string console = Run();
  EXPECT_EQ(gRunState.port, 10u);
  // From the mode change on, failures are reported; the probe stayed silent.
  EXPECT_EQ(console.rfind("Pellory Version:0.4, firmware version 07_23\r\n"
                          "ERROR : I2CProtocolWrite failed.\r\n"
                          "ERROR : ReadDPCD failed.\r\n",
                          0),
            0u)
      << console;
  // Nothing was read, so nothing shows but zeros.
  EXPECT_NE(console.find("Bootloader:0.0.0\r\n"), std::string::npos) << console;
  EXPECT_NE(console.find("Current FirmwareVer:0x00_0x00\r\n"), std::string::npos) << console;
}

TEST_F(IdentifyTest, VendorBlockFollowsTheDownstreamPortBit) {
  scenario.downstreamPort = 0x01;
  scenario.oui[0] = 0x00;
  scenario.oui[1] = 0x1C;
  scenario.oui[2] = 0xF8;
  Run();
  EXPECT_EQ(gRunRecord.vendorBlockBase, 0x500u);
  EXPECT_EQ(gRunRecord.converterOui[1], 0x1C);
  EXPECT_EQ(gRunRecord.converterOui[2], 0xF8);
  EXPECT_EQ(SimViolationCount(converter.get(), SimViolation::kOtherVendorBlock), 0u);
}

TEST_F(IdentifyTest, EvenDownstreamValueChoosesTheLowBlock) {
  scenario.downstreamPort = 0x02;
  scenario.firmwareMajor = 0x01;
  scenario.firmwareMinor = 0x0B;
  std::string lines = IdentificationLines();
  EXPECT_EQ(gRunRecord.vendorBlockBase, 0x400u);
  EXPECT_NE(lines.find("Current FirmwareVer:0x01_0x0B"), std::string::npos) << lines;
  EXPECT_EQ(SimViolationCount(converter.get(), SimViolation::kOtherVendorBlock), 0u);
}

TEST_F(IdentifyTest, NoDriverAtAllStillReportsAndReturnsSuccess) {
  // No converter installed: every lookup fails and says so.
  EXPECT_EQ(RunProgram(uefi.ImageHandle(), uefi.SystemTable()),
            static_cast<EFI_STATUS>(EFI_SUCCESS));
  std::string console = Console();
  std::string i2c = "ERROR : Can't get GopI2c Protocol.\r\n";
  std::string native = "ERROR : Can't get GopNative Protocol.\r\n";
  std::string expected = "Pellory Version:0.4, firmware version 07_23\r\n";
  for (int i = 0; i < 8; i++) expected += i2c;  // six probes, the quiet read, the mode change
  for (int i = 0; i < 5; i++) expected += native;
  expected += "Bootloader:0.0.0\r\n";
  expected += native + native;
  expected += "Current FirmwareVer:0x00_0x00\r\n";
  EXPECT_EQ(console.substr(0, expected.size()), expected);
  EXPECT_EQ(uefi.PoolBlocksOutstanding(), 0u);
}

}  // namespace
