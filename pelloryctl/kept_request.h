// What schedule asked for, kept on the OS's disk in /var/lib/pellory/request:
// the request exactly as written to PelloryRequest, then `image=` and the
// image text the program's record will hold. The firmware never sees it;
// result reads it to tell the version a run aimed at, and whether the run
// switched the machine off itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pelloryctl/outcome.h"
#include "pelloryctl/request_text.h"

inline constexpr char kKeptFolder[] = "/var/lib/pellory";
inline constexpr char kKeptName[] = "request";

struct KeptRequest {
  Request request;
  std::string image;  // "07_23 sha256:d1c23f383fb67ae1"
};

// What was there before schedule kept its request, to put back.
struct KeepUndo {
  std::vector<std::string> made_folders;  // outermost first
  bool replaced = false, existed = false;
  std::vector<uint8_t> old_text;
};

std::vector<uint8_t> KeptText(const std::string& request_text, const std::string& image);
// Writes the text whole (temporary file, synced, renamed).
Outcome KeepRequest(const std::vector<uint8_t>& text, KeepUndo* undo);
void UndoKeep(const KeepUndo& undo);
// Fails when there is none, or it is not one this command wrote.
Outcome ReadKeptRequest(KeptRequest* kept);
// The file (*removed: it was there), and its folder when nothing else is
// in it.
Outcome RemoveKeptRequest(bool* removed);
