// Where pelloryctl finds the machine: /sys, /proc, /dev and the ESP's mount
// points. PELLORYCTL_ROOT, for the host tests only, puts a fake machine's
// folder in front of every such path; efivarfs itself is reached through
// libefivar, which the tests point elsewhere with its own EFIVARFS_PATH.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

std::string SystemPath(const std::string& path);

// Whole file or nothing; false when it cannot be opened or read, or is
// larger than limit.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, size_t limit);
// The first line of a small sysfs-like file, without its LF.
bool ReadLine(const std::string& path, std::string* line);

// The folder made (*made true) or already there; false when neither.
bool MakeDir(const std::string& dir, bool* made);
// dir/name replaced whole: the bytes go to dir/name.new, are synced, the
// file is renamed over name and the folder synced, so name never holds
// half a file. The step that failed, or Done.
enum class ReplaceStep { Done, Write, Rename, SyncDir };
ReplaceStep ReplaceFile(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes);
