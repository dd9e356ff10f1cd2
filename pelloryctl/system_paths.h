// Where pelloryctl finds the machine: /sys, /proc, /dev and the ESP's mount
// points. PELLORYCTL_ROOT, for the host tests only, puts a fake machine's
// folder in front of every such path; efivarfs itself is reached through
// libefivar, which the tests point elsewhere with its own EFIVARFS_PATH.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pelloryctl/outcome.h"

std::string SystemPath(const std::string& path);

// Whole file or nothing; fails ("PATH can not be read") when it cannot be
// opened or read, or is larger than limit.
Outcome ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, size_t limit);
// The first line of a small sysfs-like file, without its LF; none fails.
Outcome ReadLine(const std::string& path, std::string* line);

// The folder made (*made true) or already there.
Outcome MakeDir(const std::string& dir, bool* made);
// dir/name replaced whole: the bytes go to dir/name.new, are synced, the
// file is renamed over name and the folder synced, so name never holds
// half a file. Fails with the line `says` holds for the step that failed.
struct ReplaceSays {
  std::string write, rename, sync;
};
Outcome ReplaceFile(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes,
                    const ReplaceSays& says);
