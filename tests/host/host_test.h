// Shared ground of the host tests: a fresh UEFI double bound as the
// program's firmware, streams and run state as at start.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "link/run_state.h"
#include "record/run_record.h"
#include "platform/files.h"
#include "platform/services.h"
#include "platform/stream.h"
#include "tests/double/uefi_double.h"

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PlatformBind(uefi.ImageHandle(), uefi.SystemTable());
    StreamsReset();
    FilesBind(FilePlace::ShellDirectory);
    gRunState = {};
    gRunRecord = {};
  }

  std::string Console() const { return uefi.Console(); }

  dbl::UefiDouble uefi;
};
