// The run's record: what identification found, the request the run serves
// and how it ended. It is what history.csv's line and the PelloryResult
// variable tell, and each field has one writer, named beside it.
#pragma once

#include "contract/contract.h"
#include "output/update_history.h"
#include "platform/efi.h"
#include "platform/start.h"

constexpr UINTN kRequestIdMax = contract::kIdLimit;
constexpr UINTN kOutcomeMax = 128;

struct RunRecord {
  char request[kRequestIdMax + 1];  // the request's reader: the id this run serves
  RunEnd end;                       // the request's reader: how the run hands back
  // The request's reader: the OS asked for this run, and what it may do.
  // A technician's run (no request) always writes.
  bool asked;
  contract::Mode mode;
  contract::Allow allow;
  // Identification, once it has read them all; until then `identified` is
  // false and the record leaves the converter's fields empty.
  bool identified;
  UINT32 vendorBlockBase;  // DPCD 0x500 or 0x400
  UINT8 converterOui[3];   // in register order
  UINT8 bootloader;        // as read: major in the high nibble
  UINT8 firmwareMajor;     // the firmware the converter ran before
  UINT8 firmwareMinor;
  bool versionUnread;      // a read of the block or of 0x005 failed
  // StopPrint and SetOutcome: "successful", "failed", "current",
  // "identified" or "stopped: <message>".
  char outcome[kOutcomeMax];
  // KeepRecord, at its first call: the run's start as the boot server's
  // file name tells it, "YYYYMMDDTHHMMSS" or "unknown-time".
  char startStamp[16];
};

extern constinit RunRecord gRunRecord;

// Prints a message that stops the update on standard output, exactly as
// StdPrint would, and keeps it without its line end as the run's outcome,
// "stopped: " ahead. A message printed in parts is kept whole.
void StopPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An outcome that is one word: the verification's "successful" or
// "failed", or "current" and "identified" for a run that wrote nothing.
void SetOutcome(const char* word);

// The run's fields as they stand now, in history.csv's column order: the
// firmware's clock, the machine, the converter, the image and `outcome`.
constexpr UINTN kRunFieldMax = kOutcomeMax;
constexpr UINTN kRunFieldTime = 0;  // "YYYY-MM-DDTHH:MM:SS", empty when unread
struct RunFields {
  char value[kRunFieldCount][kRunFieldMax];
};
void CollectRunFields(const char* outcome, RunFields* fields);

// Where the record went. `sendFailed` only for a network start, the one
// start that also sends it to its boot server.
struct RecordKept {
  bool stored;
  bool sendFailed;
};
// Writes the record to the PelloryResult variable: its format, the request,
// how the run started, then each field as `name=value`, a line each. A
// network start then sends the same bytes to its boot server (HTTP PUT),
// under one name for the whole run. Neither changes anything else.
[[nodiscard]] RecordKept KeepRecord(const RunFields& fields);
