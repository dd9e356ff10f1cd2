// The update history: history.csv beside log.txt, so that one stick carried
// through a service campaign tells which machines were updated, from which
// firmware, and where each stopped. One line is added at the very end of a
// run; earlier lines are never rewritten. log.txt stays the one word that
// scripts read.
#pragma once

#include "contract/contract.h"
#include "platform/efi.h"

// The columns of a line, in order: the record's keys after its own three;
// the header line names them.
constexpr UINTN kRunFieldCount = contract::kRecordKeyCount - contract::kRecordOwnKeys;
constexpr const char* const* kRunFieldNames = contract::kRecordKeys + contract::kRecordOwnKeys;
constexpr UINTN kHistoryLineMax = 640;

// One line being built: fields separated by commas, a field quoted when it
// holds a comma, a quote or a line break, its quotes doubled. The fields of
// a run are bounded well inside kHistoryLineMax; one that would not fit is
// left empty rather than cut into a wrong value.
struct HistoryLine {
  char text[kHistoryLineMax];
  UINTN length;
  UINTN fields;
};

void HistoryAddField(HistoryLine* line, const char* field);

// Adds the line and its CR LF to history.csv in one write: after the header
// when the file is new, on a line of its own when an earlier run's line
// lost its end. False when the history cannot be written.
[[nodiscard]] bool HistoryAppend(const HistoryLine& line);
