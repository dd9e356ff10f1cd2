// The OS's request for one unattended run: the PelloryRequest variable, which
// the OS writes before it points BootNext at the program. It is served once:
// the program deletes it before it touches the converter.
#pragma once

#include "platform/efi.h"
#include "platform/start.h"
#include "record/run_record.h"

struct Request {
  char id[kRequestIdMax + 1];
  RunEnd end;  // after=: Return (the default), Reboot or Shutdown
};

// A request's bytes: lines of `name=value`, each ended by a line feed;
// format=1 and id= once each, after=return|reboot|shutdown at most once,
// nothing else. An id is 1 to 64 of A-Z a-z 0-9 . _ : -. False for anything
// else.
[[nodiscard]] bool ParseRequest(const char* bytes, UINTN size, Request* request);

// Before the converter is touched: without a shell the OS's request is read
// and served, then the record's first write says the run has started. False
// when the run stops here, its message printed and kept as the outcome.
[[nodiscard]] bool BeginRun();
