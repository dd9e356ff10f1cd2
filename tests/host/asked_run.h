// A run the OS asked for, started from a stick: the fixture of the tests
// of what such a run decides once it has identified the converter.
#pragma once

#include <string>

#include "platform/variables.h"
#include "tests/host/program_test.h"

inline const std::string kEarlier = "failed";  // log.txt from an earlier run

class AskedRunTest : public ProgramTest {
 protected:
  // A stick start the OS asked for with `keys` beside format and id.
  std::string Asked(const std::string& keys) {
    uefi.StartWithoutShell();
    uefi.SetImagePath({u"\\EFI\\BOOT\\BOOTX64.EFI"});
    uefi.MakeDirectory("EFI\\BOOT");
    uefi.PutFile("EFI\\BOOT\\log.txt", kEarlier);
    uefi.PutVariable(u"PelloryRequest", kPelloryVariableGuid, "format=1\nid=job\n" + keys,
                     kPelloryVariableAttributes);
    return Run(EFI_ABORTED);
  }
  std::string Outcome() const {
    const std::string record = uefi.VariableData(u"PelloryResult", kPelloryVariableGuid);
    const size_t at = record.rfind("outcome=");
    return at == std::string::npos ? "" : record.substr(at + 8, record.size() - at - 9);
  }
  // Nothing after identification's last read reached the converter: the
  // probe, the 256-byte read, the mode change and seven DPCD reads.
  void ExpectIdentificationOnly() {
    const SimRecord& r = Record();
    EXPECT_EQ(r.sequence, 10u);
    EXPECT_EQ(r.dpcdReads, 7u);
    EXPECT_EQ(r.dpcdWrites + r.sourceWriteCount + r.commandCount + r.pagesCommitted, 0u);
    EXPECT_EQ(r.i2cWrites, 1u) << "the mode change alone";
    EXPECT_EQ(uefi.FileContent("EFI\\BOOT\\log.txt"), kEarlier) << "log.txt was touched";
  }
};
