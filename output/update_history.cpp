#include "output/update_history.h"

#include "platform/files.h"

namespace {

constexpr char16_t kHistoryName[] = u"history.csv";
constexpr char kLineEnd[] = "\r\n";
constexpr UINTN kHistoryHeaderMax = 128;

bool NeedsQuotes(const char* text) {
  for (const char* c = text; *c != 0; c++)
    if (*c == ',' || *c == '"' || *c == '\r' || *c == '\n') return true;
  return false;
}

struct Out {
  char* bytes;
  UINTN capacity;
  UINTN used;
  bool Put(const char* text) {
    for (; *text != 0; text++) {
      if (used == capacity) return false;
      bytes[used++] = *text;
    }
    return true;
  }
};

}  // namespace

void HistoryAddField(HistoryLine* line, const char* text) {
  Out out{line->text, kHistoryLineMax - 1, line->length};
  bool fits = line->fields == 0 || out.Put(",");
  const UINTN start = out.used;
  const bool quoted = NeedsQuotes(text);
  if (fits && quoted) fits = out.Put("\"");
  for (const char* c = text; fits && *c != 0; c++) {
    const char one[2] = {*c, 0};
    fits = (*c != '"' || out.Put("\"")) && out.Put(one);
  }
  if (fits && quoted) fits = out.Put("\"");
  if (!fits) out.used = start;
  line->length = out.used;
  line->text[line->length] = 0;
  line->fields++;
}

bool HistoryAppend(const HistoryLine& line) {
  UINT64 size = 0;
  bool lineEnded = true;
  FileHandle file = FileOpenAtEnd(kHistoryName, &size, &lineEnded);
  if (file == nullptr) return false;
  char bytes[sizeof kLineEnd + kHistoryHeaderMax + sizeof kLineEnd + kHistoryLineMax +
             sizeof kLineEnd];
  Out out{bytes, sizeof bytes, 0};
  if (!lineEnded) (void)out.Put(kLineEnd);
  if (size == 0) {
    for (UINTN i = 0; i < kRunFieldCount; i++) {
      if (i > 0) (void)out.Put(",");
      (void)out.Put(kRunFieldNames[i]);
    }
    (void)out.Put(kLineEnd);
  }
  (void)out.Put(line.text);
  (void)out.Put(kLineEnd);
  const EFI_STATUS written = FileWrite(file, bytes, out.used);
  const EFI_STATUS closed = FileClose(file);
  return !EFI_ERROR(written) && !EFI_ERROR(closed);
}
