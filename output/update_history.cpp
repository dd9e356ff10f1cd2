#include "output/update_history.h"

#include "platform/files.h"
#include "text/text.h"

namespace {

constexpr char16_t kHistoryName[] = u"history.csv";
constexpr char kLineEnd[] = "\r\n";
constexpr UINTN kHistoryHeaderMax = 128;

}  // namespace

void HistoryAddField(HistoryLine* line, const char* field) {
  text::Writer<char> out = {line->text, kHistoryLineMax - 1, line->length, true};
  if (line->fields > 0) text::PutChar(&out, ',');
  const UINTN start = out.used;
  text::PutCsvField(&out, field);
  if (!out.fits) out.used = start;
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
  // Sized for the longest it can be: it always fits.
  text::Writer<char> out = text::WriterOn(bytes, sizeof bytes);
  if (!lineEnded) text::Put(&out, kLineEnd);
  if (size == 0) {
    for (UINTN i = 0; i < kRunFieldCount; i++) {
      if (i > 0) text::PutChar(&out, ',');
      text::Put(&out, kRunFieldNames[i]);
    }
    text::Put(&out, kLineEnd);
  }
  text::Put(&out, line.text);
  text::Put(&out, kLineEnd);
  const EFI_STATUS written = FileWrite(file, bytes, out.used);
  const EFI_STATUS closed = FileClose(file);
  return !EFI_ERROR(written) && !EFI_ERROR(closed);
}
