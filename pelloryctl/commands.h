// pelloryctl's commands. Each prints its outcome on out, one-line errors
// on err ("pelloryctl: ..."), and returns the process's exit status.
#pragma once

#include <cstdio>
#include <string>

#include "contract/contract.h"

struct ScheduleOptions {
  std::string program;
  contract::After after = contract::After::Return;
  contract::Mode mode = contract::Mode::Update;
  contract::Allow allow = contract::Allow::Newer;
  std::string esp_dir;  // empty: /boot/efi, then /efi
};

int Schedule(const ScheduleOptions& options, FILE* out, FILE* err);
int Result(bool json, FILE* out, FILE* err);
int Inspect(const std::string& program, bool json, FILE* out, FILE* err);
int Cancel(FILE* out, FILE* err);
int Clean(const std::string& esp_dir, FILE* out, FILE* err);
// file empty: the driver the package ships.
int DriverInstall(const std::string& file, const std::string& esp_dir, FILE* out, FILE* err);
int DriverRemove(const std::string& esp_dir, FILE* out, FILE* err);
// 0 when the driver saw the converter at this boot, 1 when it could not
// read it or found no graphics driver's protocol, 3 when this boot has no
// reading (and for any error).
int Status(bool json, FILE* out, FILE* err);
// The records in a folder as one CSV: 0 when every file was a record, 1
// when some were skipped (each named on err), 3 when the folder can not be
// read.
int Collect(const std::string& dir, FILE* out, FILE* err);

// The command line: argv as main receives it.
int PelloryctlMain(int argc, char** argv, FILE* out, FILE* err);

// Exit statuses of `result` (0 also for current and identified); also 3
// for any error of any command.
inline constexpr int kExitSuccessful = 0, kExitFailed = 1, kExitPending = 2, kExitNone = 3;
