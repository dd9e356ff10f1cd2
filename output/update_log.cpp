#include "output/update_log.h"

#include "platform/stream.h"
#include "text/text.h"

namespace {
constexpr char16_t kLogName[] = u"log.txt";
}  // namespace

Stream* UpdateLogOpen() { return StreamOpenFile(kLogName); }

void UpdateLogWrite(Stream* log, const char* word) {
  StreamWrite(log, word, text::Length(word));
}

void UpdateLogClose(Stream* log) { StreamClose(log); }
