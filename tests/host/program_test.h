// Whole-program runs on the host: the UEFI double with the converter model
// installed behind GopNative and GopI2c, started the way the shell starts
// the program.
#pragma once

#include <memory>
#include <string>

#include "platform/start.h"
#include "sim/converter.h"
#include "sim/gop_binding.h"
#include "tests/host/host_test.h"

class ProgramTest : public HostTest {
 protected:
  ProgramTest() : converter(std::make_unique<SimConverter>()), scenario(SimDefaultScenario()) {}

  // Installs the converter (once) as it is described by `scenario` and runs
  // the program to its end. Returns the console as the user saw it.
  std::string Run() {
    SimInit(converter.get(), &scenario);
    if (!installed) {
      SimConverter* list[] = {converter.get()};
      EFI_HANDLE handles[1] = {};
      EXPECT_EQ(SimInstall(uefi.SystemTable()->BootServices, list, 1, handles),
                static_cast<EFI_STATUS>(EFI_SUCCESS));
      installed = true;
    }
    EXPECT_EQ(RunProgram(uefi.ImageHandle(), uefi.SystemTable()),
              static_cast<EFI_STATUS>(EFI_SUCCESS));
    return Console();
  }

  // Whatever the path, the program gave back all it took and left no file
  // open: the exit-time close ran.
  void TearDown() override {
    EXPECT_EQ(uefi.PoolBlocksOutstanding(), 0u);
    EXPECT_EQ(uefi.OpenFiles(), 0);
  }

  const SimRecord& Record() const { return converter->record; }
  std::string Log() const { return uefi.FileContent("log.txt"); }

  std::unique_ptr<SimConverter> converter;
  SimScenario scenario;
  bool installed = false;
};
