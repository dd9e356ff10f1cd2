// A run the OS asks for compares the converter's firmware with the image's
// before it writes: it never rewrites what the converter runs, never goes
// back unless allowed, never judges by a read that failed, and identify
// never writes. A technician's run always writes.
#include <string>

#include <cstring>

#include "contract/key_value.h"
#include "tests/host/asked_run.h"

namespace {

struct Decision {
  uint8_t major, minor;
  const char* keys;
  const char* outcome;  // the record's; "successful" when it writes
};

class DecisionTest : public AskedRunTest, public ::testing::WithParamInterface<Decision> {};

TEST_P(DecisionTest, WritesOnlyWhatThePolicyAllows) {
  const Decision& d = GetParam();
  scenario.firmwareMajor = d.major;
  scenario.firmwareMinor = d.minor;
  const std::string console = Asked(d.keys);
  EXPECT_EQ(Outcome(), d.outcome);
  const std::string history = uefi.FileContent("EFI\\BOOT\\history.csv");
  EXPECT_NE(history.find(std::string(",") + d.outcome + "\r\n"), std::string::npos) << history;
  if (std::string(d.outcome) == "successful") {
    EXPECT_EQ(Record().pagesCommitted, 256u);
    EXPECT_EQ(uefi.FileContent("EFI\\BOOT\\log.txt"), "successful");
    return;
  }
  ExpectIdentificationOnly();
  const std::string outcome = d.outcome;
  const std::string said = outcome == "current"      ? "The converter already runs this firmware.\r\n"
                           : outcome == "identified" ? "Identified.\r\n"
                                                     : "The converter runs newer firmware.\r\n";
  char version[64];
  std::snprintf(version, sizeof version, "Current FirmwareVer:0x%02X_0x%02X\r\n", d.major, d.minor);
  EXPECT_TRUE(console.ends_with(version + said)) << console;
}

constexpr char kNewer[] = "stopped: The converter runs newer firmware.";

// Around the image's 07_23: the minor's edges, and the major's.
INSTANTIATE_TEST_SUITE_P(
    Versions, DecisionTest,
    ::testing::Values(Decision{0x07, 0x22, "", "successful"}, Decision{0x07, 0x23, "", "current"},
                      Decision{0x07, 0x24, "", kNewer}, Decision{0x06, 0xFF, "", "successful"},
                      Decision{0x08, 0x00, "", kNewer}, Decision{0x07, 0x23, "allow=same\n", "successful"},
                      Decision{0x07, 0x23, "allow=older\n", "current"},
                      Decision{0x07, 0x23, "mode=update\nallow=any\n", "successful"},
                      Decision{0x07, 0x24, "allow=older\n", "successful"},
                      Decision{0x07, 0x24, "allow=same\n", kNewer},
                      Decision{0x08, 0x00, "allow=any\n", "successful"},
                      Decision{0x07, 0x22, "mode=identify\n", "identified"},
                      Decision{0x07, 0x23, "allow=any\nmode=identify\n", "identified"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

// Each of identification's DPCD reads (0x005, the OUI, bootloader, major,
// minor) failing stops the run whatever allow= says; the next read, the
// download's own, does not.
TEST_F(AskedRunTest, AFailedIdentificationReadNeverWrites) {
  for (uint32_t nth : {1u, 4u, 6u, 7u, 8u}) {
    SCOPED_TRACE(nth);
    uefi.ClearConsole();
    scenario.failDpcdRead = {nth, 1};
    const std::string console = Asked("allow=any\n");
    if (nth == 8) {
      EXPECT_EQ(Outcome(), "successful");
      continue;
    }
    EXPECT_EQ(Outcome(), "stopped: The converter's firmware version can not be read.");
    EXPECT_EQ(Record().dpcdWrites + Record().pagesCommitted, 0u);
    EXPECT_TRUE(console.ends_with("The converter's firmware version can not be read.\r\n")) << console;
  }
}

// A technician's start, from the shell or a stick without a request,
// writes even the firmware the converter already runs.
TEST_F(AskedRunTest, ATechnicianAlwaysWrites) {
  scenario.firmwareMajor = 0x07;
  scenario.firmwareMinor = 0x23;
  EXPECT_TRUE(Run().find("Download success") != std::string::npos);
  EXPECT_EQ(Record().pagesCommitted, 256u);

  uefi.StartWithoutShell();
  uefi.SetImagePath({u"\\pellory.efi"});
  uefi.TypeKey(1);
  Run();
  EXPECT_EQ(Record().pagesCommitted, 256u);
  EXPECT_EQ(uefi.FileContent("log.txt"), "successful");
}

}  // namespace

namespace {

// The contract's readers of what the build writes: the image's version in
// its only form, the banner and the converter line found behind decoys of
// their own tags (the readers' own words stand in the same file).
TEST(ReleaseTextTest, ReadsOnlyWellFormedVersionsBannersAndConverters) {
  uint8_t major = 0, minor = 0;
  EXPECT_TRUE(contract::ParseImageVersion({"0A_0B", 5}, &major, &minor));
  EXPECT_EQ(major << 8 | minor, 0x0A0B);
  for (const char* bad : {"7_23", "07-23", "07_2g", "07_2a", "07_234", "", "_0723"})
    EXPECT_FALSE(contract::ParseImageVersion({bad, std::strlen(bad)}, &major, &minor)) << bad;
  // The running version, as the record and the reading hold it: the same
  // two bytes behind "0x" each, or nothing.
  EXPECT_TRUE(contract::ParseFirmwareVersion({"0x0A_0xFB", 9}, &major, &minor));
  EXPECT_EQ(major << 8 | minor, 0x0AFB);
  for (const char* bad : {"0x07_0x2", "0x07_0x234", "07_23", "0X07_0x23", "0x07-0x23", "0x07_0y23", "0x07_0x2a", ""})
    EXPECT_FALSE(contract::ParseFirmwareVersion({bad, std::strlen(bad)}, &major, &minor)) << bad;

  // Each decoy alone is no banner or no converter; before a well-formed
  // line of another value it must not be the one found. Alone, the last
  // two end the file: a line cut short before its line feed, and the
  // shortest whole one.
  struct Case {
    const char* text;
    bool found;
  };
  const Case banners[] = {
      {"Pellory Version:", false},
      {"Pellory Version:0.4, firmware version 7_24\n", false},
      {"Pellory Version:0.4, firmware version 07_23x\n", false},
      {"Pellory Version:0.4, firmware version 07_231\n", false},
      {"Pellory Version:, firmware version 07_23\n", false},
      {"Pellory Version:0.4, firmware version 07_23", false},
      {"Pellory Version:0.4, firmware version 07_25\n", true},
  };
  for (const Case& decoy : banners) {
    for (const std::string& file : {std::string(decoy.text), std::string(decoy.text) + '\0' +
                                                                  "Pellory Version:0.4, firmware version 07_24\n"}) {
      text::Span program{}, image{};
      const bool found = contract::FindBanner(reinterpret_cast<const uint8_t*>(file.data()), file.size(),
                                              &program, &image);
      EXPECT_EQ(found, decoy.found || file.size() > std::strlen(decoy.text)) << decoy.text;
      if (found) {
        EXPECT_EQ(std::string(program.text, program.length), "0.4") << decoy.text;
        EXPECT_EQ(std::string(image.text, image.length), decoy.found ? "07_25" : "07_24") << decoy.text;
      }
    }
  }
  const Case converters[] = {
      {"Pellory converter OUI:0A1B2\n", false},
      {"Pellory converter OUI:0A1B2C7\n", false},
      {"Pellory converter OUI:0A1B2G\n", false},
      {"Pellory converter OUI:0A1B2C", false},
      {"Pellory converter OUI:0A1B2C\n", true},
  };
  for (const Case& decoy : converters) {
    for (const std::string& file :
         {std::string(decoy.text), std::string(decoy.text) + '\0' + "Pellory converter OUI:1A2B3C\n"}) {
      uint8_t oui[3] = {};
      const bool found = contract::FindConverter(reinterpret_cast<const uint8_t*>(file.data()), file.size(), oui);
      EXPECT_EQ(found, decoy.found || file.size() > std::strlen(decoy.text)) << decoy.text;
      if (found) {
        EXPECT_EQ(oui[0] << 16 | oui[1] << 8 | oui[2], decoy.found ? 0x0A1B2C : 0x1A2B3C) << decoy.text;
      }
    }
  }
}

}  // namespace
