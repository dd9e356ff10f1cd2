// What a run leaves in the update history (output/update_history.h): the
// machine, the converter as identification found it, the image carried and
// how the run ended.
#pragma once

// Prints a message that stops the update on standard output, exactly as
// StdPrint would, and keeps it without its line end as the run's outcome,
// "stopped: " ahead. A message printed in parts is kept whole.
void StopPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The verification's outcome: "successful" or "failed".
void SetOutcome(const char* word);
