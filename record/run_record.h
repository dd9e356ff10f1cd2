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
struct RunFields {
  char value[kRunFieldCount][kRunFieldMax];
};
void CollectRunFields(const char* outcome, RunFields* fields);

// Writes the record to the PelloryResult variable: its format, the request,
// how the run started, then each field as `name=value`, a line each. False
// when the firmware does not keep it.
[[nodiscard]] bool StoreRecord(const RunFields& fields);
