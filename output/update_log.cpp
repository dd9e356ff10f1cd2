#include "output/update_log.h"

#include "platform/stream.h"

namespace {
constexpr char16_t kLogName[] = u"log.txt";
}  // namespace

Stream* UpdateLogOpen() { return StreamOpenFile(kLogName); }

void UpdateLogWrite(Stream* log, const char* word) {
  UINTN length = 0;
  while (word[length] != 0) length++;
  StreamWrite(log, word, length);
}

void UpdateLogClose(Stream* log) { StreamClose(log); }
