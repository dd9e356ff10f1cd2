// pelloryctl's commands. Each prints its outcome on out, one-line errors
// on err ("pelloryctl: ..."), and returns the process's exit status.
#pragma once

#include <cstdio>
#include <string>

struct ScheduleOptions {
  std::string program;
  std::string after = "return";
  std::string esp_dir;  // empty: /boot/efi, then /efi
};

int Schedule(const ScheduleOptions& options, FILE* out, FILE* err);
int Result(bool json, FILE* out, FILE* err);
int Inspect(const std::string& program, bool json, FILE* out, FILE* err);
int Cancel(FILE* out, FILE* err);
int Clean(const std::string& esp_dir, FILE* out, FILE* err);

// The command line: argv as main receives it.
int PelloryctlMain(int argc, char** argv, FILE* out, FILE* err);

// Exit statuses of `result`; also 3 for any error of any command.
inline constexpr int kExitSuccessful = 0, kExitFailed = 1, kExitPending = 2, kExitNone = 3;
