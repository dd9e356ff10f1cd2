// The program's small stream layer: standard output on the firmware console
// and write-only files in the run's place of files, each with a fixed buffer.
#pragma once

#include "platform/efi.h"

struct Stream;

// Standard output: 1024-byte buffer, shown at each line feed or flush, every
// line feed shown as CR LF.
Stream* StandardOutput();

// Opens `name`, in the run's place of files (platform/files.h), for writing
// as an empty file (created, or emptied when it exists). Fully buffered in 512
// bytes. Null when the file cannot be had empty. Where the run keeps no
// files (a network start), a stream that drops what is written to it.
Stream* StreamOpenFile(const char16_t* name);

void StreamWrite(Stream* stream, const char* bytes, UINTN count);
void StreamFlush(Stream* stream);
// Flushes and releases the stream; a file is closed.
void StreamClose(Stream* stream);

// Start of a run: every stream closed and empty, standard output ready.
void StreamsReset();
// End of a run: every open stream flushed, every open file closed.
void StreamsFlushAndCloseAll();
