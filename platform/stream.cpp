#include "platform/stream.h"

#include "platform/files.h"
#include "platform/services.h"
#include "text/text.h"

namespace {

constexpr UINTN kStandardOutputBuffer = 1024;
constexpr UINTN kFileBuffer = 512;
// The update log is the one file the program writes through a stream (the
// history goes out in one write of its own). Each slot's buffer is carried
// in the image, zeroed, so there is no slot to spare.
constexpr int kMaxFiles = 1;

enum class Sink : uint8_t { Closed, Console, File };

}  // namespace

struct Stream {
  Sink sink;
  bool lineBuffered;
  FileHandle file;
  UINTN length;
  UINTN capacity;
  char* buffer;
};

namespace {

constinit char gStandardOutputBytes[kStandardOutputBuffer] = {};
constinit char gFileBytes[kMaxFiles][kFileBuffer] = {};
constinit Stream gStandardOutput = {};
constinit Stream gFiles[kMaxFiles] = {};
// What a file stream is where the run keeps no files: it takes every byte
// and keeps none.
constinit Stream gDiscard = {};

// Console output takes wide text: widen in chunks, LF as CR LF. A chunk ends
// early rather than split a CR LF pair.
void ShowOnConsole(const char* bytes, UINTN count) {
  constexpr UINTN kChunk = 128;
  CHAR16 wide[kChunk + 1];
  for (UINTN done = 0; done < count;) {
    text::Writer<CHAR16> chunk = text::WriterOn(wide, kChunk);
    done += text::PutCrLf(&chunk, bytes + done, count - done);
    wide[chunk.used] = 0;
    (void)SystemTable()->ConOut->OutputString(SystemTable()->ConOut, wide);
  }
}

void Drain(Stream* stream) {
  if (stream->length == 0) return;
  if (stream->sink == Sink::Console) {
    ShowOnConsole(stream->buffer, stream->length);
  } else if (stream->sink == Sink::File) {
    // Output failures are not the program's to report: the outcome is told
    // on the console, and a log that cannot be written shows as its content.
    (void)FileWrite(stream->file, stream->buffer, stream->length);
  }
  stream->length = 0;
}

}  // namespace

Stream* StandardOutput() { return &gStandardOutput; }

void StreamsReset() {
  for (Stream& file : gFiles) file = {};
  gStandardOutput = {Sink::Console, true, nullptr, 0, kStandardOutputBuffer, gStandardOutputBytes};
}

Stream* StreamOpenFile(const char16_t* name) {
  if (!FilesKept()) return &gDiscard;
  for (int i = 0; i < kMaxFiles; i++) {
    if (gFiles[i].sink != Sink::Closed) continue;
    FileHandle file = FileOpenEmpty(name);
    if (file == nullptr) return nullptr;
    gFiles[i] = {Sink::File, false, file, 0, kFileBuffer, gFileBytes[i]};
    return &gFiles[i];
  }
  return nullptr;
}

void StreamWrite(Stream* stream, const char* bytes, UINTN count) {
  if (stream->sink == Sink::Closed) return;
  for (UINTN i = 0; i < count; i++) {
    if (stream->length == stream->capacity) Drain(stream);
    stream->buffer[stream->length++] = bytes[i];
    if (stream->lineBuffered && bytes[i] == '\n') Drain(stream);
  }
}

void StreamFlush(Stream* stream) { Drain(stream); }

void StreamClose(Stream* stream) {
  Drain(stream);
  if (stream->sink == Sink::File) (void)FileClose(stream->file);
  if (stream != &gStandardOutput) *stream = {};
}

void StreamsFlushAndCloseAll() {
  Drain(&gStandardOutput);
  for (Stream& file : gFiles) {
    if (file.sink != Sink::Closed) StreamClose(&file);
  }
}
