// The program built from the test image as another release, 07_24, for
// the converter 0A1B2C: the version the build was given is the one every
// output names, and a run the OS asks for writes only into that converter.
#include "tests/host/asked_run.h"

namespace {

TEST_F(AskedRunTest, TheGivenVersionIsNamedEverywhere) {
  const std::string console = Run();
  EXPECT_TRUE(console.starts_with("Pellory Version:0.4, firmware version 07_24\r\n")) << console;
  EXPECT_NE(uefi.VariableData(u"PelloryResult", kPelloryVariableGuid).find("\nimage=" + ImageField("07_24") + "\n"),
            std::string::npos);
  EXPECT_NE(uefi.FileContent("history.csv").find("," + ImageField("07_24") + ",successful\r\n"), std::string::npos);
}

TEST_F(AskedRunTest, WritesOnlyIntoTheConverterItIsFor) {
  scenario.firmwareMajor = 0x07;
  scenario.firmwareMinor = 0x23;
  Asked("");
  EXPECT_EQ(Outcome(), "successful") << "07_23 is older than the image";

  scenario.oui[2] = 0x2D;
  for (const char* keys : {"allow=any\n", ""}) {
    SCOPED_TRACE(keys);
    uefi.ClearConsole();
    const std::string console = Asked(keys);
    EXPECT_EQ(Outcome(), "stopped: The converter is not the one this firmware is for.");
    EXPECT_TRUE(console.ends_with("The converter is not the one this firmware is for.\r\n")) << console;
    ExpectIdentificationOnly();
  }
  // Identify still tells what the other converter runs.
  Asked("mode=identify\n");
  EXPECT_EQ(Outcome(), "identified");
}

TEST_F(AskedRunTest, ATechnicianWritesAnyConverter) {
  scenario.oui[0] = 0x00;
  EXPECT_NE(Run().find("Download success"), std::string::npos);
  EXPECT_EQ(Record().pagesCommitted, 256u);
}

}  // namespace
