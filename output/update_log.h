// The update log: "log.txt" in the run's place of files (the shell's current
// directory, or the program's own folder without a shell), holding one word
// of outcome, or nothing when the update stopped before verifying.
#pragma once

struct Stream;

// Creates the log, or empties the one an earlier run left. Null on failure.
Stream* UpdateLogOpen();
// One write of the word's characters, without terminator or line end.
void UpdateLogWrite(Stream* log, const char* word);
void UpdateLogClose(Stream* log);
