// libefivar picks its backend, and reads EFIVARFS_PATH, in a constructor
// that runs when the library loads: the folder must exist and the variable
// be set before this process starts. So a start without it makes the
// folder, sets it and starts this binary again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  if (!getenv("EFIVARFS_PATH")) {
    char dir[] = "/tmp/pelloryctl-efivars-XXXXXX";
    if (!mkdtemp(dir)) return 2;
    setenv("EFIVARFS_PATH", (std::string(dir) + "/").c_str(), 1);
    setenv("PELLORYCTL_TEST_VARS_OWNED", "1", 1);
    execv("/proc/self/exe", argv);
    return 2;
  }
  testing::InitGoogleTest(&argc, argv);
  int status = RUN_ALL_TESTS();
  if (getenv("PELLORYCTL_TEST_VARS_OWNED")) {
    std::error_code ignored;
    std::filesystem::remove_all(getenv("EFIVARFS_PATH"), ignored);
  }
  return status;
}
