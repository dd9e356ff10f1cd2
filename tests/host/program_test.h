// Whole-program runs on the host: the UEFI double with the converter model
// installed behind GopNative and GopI2c, started the way the shell starts
// the program.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "payload/firmware_image.h"
#include "platform/start.h"
#include "hash/sha256.h"
#include "sim/converter.h"
#include "sim/gop_binding.h"
#include "tests/host/host_test.h"

// The image field of the run's record: its version and the start of its
// SHA-256.
inline std::string ImageField(const std::string& version = "07_23") {
  uint8_t digest[kSha256Size];
  Sha256(FirmwareImage, kFirmwareImageSize, digest);
  std::string text = version + " sha256:";
  for (int i = 0; i < 8; i++) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", digest[i]);
    text += hex;
  }
  return text;
}

// A record as the program lays it out; `converter` false leaves the fields
// identification fills empty.
inline std::string ResultText(const std::string& request, const std::string& start, bool converter,
                   const std::string& outcome) {
  const std::string c = converter ? "0" : "";
  return "format=1\nrequest=" + request + "\nstart=" + start +
         "\ntime=2026-12-08T12:00:00\nmachine_serial=\nmachine_uuid=\nport=" + c +
         "\nvendor_block=" + (converter ? "0x500" : "") +
         "\nconverter_oui=" + (converter ? "0A1B2C" : "") +
         "\nbootloader=" + (converter ? "2.0.1" : "") +
         "\nfirmware_before=" + (converter ? "0x07_0x22" : "") + "\nimage=" + ImageField() +
         "\noutcome=" + outcome + "\n";
}

// One way a run ends: the name of the case, what brings it about, and the
// outcome history.csv and the record name it by.
struct EndCase {
  const char* name;
  void (*arrange)(SimScenario&, dbl::UefiDouble&);
  const char* outcome;
};

class ProgramTest : public HostTest {
 protected:
  ProgramTest() : converter(std::make_unique<SimConverter>()), scenario(SimDefaultScenario()) {}

  // Installs the converter (once) as it is described by `scenario` and runs
  // the program to its end, which returns `status`. Returns the console as
  // the user saw it.
  std::string Run(EFI_STATUS status = EFI_SUCCESS) {
    SimInit(converter.get(), &scenario);
    if (!installed) {
      SimConverter* list[] = {converter.get()};
      EFI_HANDLE handles[1] = {};
      EXPECT_EQ(SimInstall(uefi.SystemTable()->BootServices, list, 1, handles),
                static_cast<EFI_STATUS>(EFI_SUCCESS));
      installed = true;
    }
    EXPECT_EQ(RunProgram(uefi.ImageHandle(), uefi.SystemTable()), status);
    return Console();
  }

  // Whatever the path, the program gave back all it took and left no file
  // open: the exit-time close ran. No HTTP child or event outlives a send.
  void TearDown() override {
    EXPECT_EQ(uefi.PoolBlocksOutstanding(), 0u);
    EXPECT_EQ(uefi.OpenFiles(), 0);
    EXPECT_EQ(uefi.HttpChildren(), 0);
    EXPECT_EQ(uefi.EventsOpen(), 0);
  }

  const SimRecord& Record() const { return converter->record; }
  std::string Log() const { return uefi.FileContent("log.txt"); }

  std::unique_ptr<SimConverter> converter;
  SimScenario scenario;
  bool installed = false;
};
