// The converter's mailbox and page window.
//
// Mailbox: the host writes a byte to the command register (+0xC); the
// converter takes it (the register reads back 0 after the scenario's delay)
// and answers in the status register (+0xF) after its own delay. Before the
// keyword "Download" is complete every byte is a keyword character and the
// answer is its echo (0 for a byte out of sequence); afterwards the bytes are
// the commands 0x01 / 0x02 / 0x80 and the answer is the command itself. The
// status register keeps its old value until the answer arrives, and the
// converter never clears it: that is the host's job, and a stale value is
// exactly what a host that forgets it sees.
//
// Page window: each 0x02 opens the window for the next page, erased to 0xFF.
// The page goes to flash when the host moves on (the next 0x02 or the 0x80),
// so flash holds what the window held at that moment, whatever was read.
#include "sim/converter_parts.h"

namespace sim {
namespace {

bool IsCommandByte(uint8_t value) {
  return value == kSimCmdStart || value == kSimCmdPage || value == kSimCmdFinish;
}

void PostReply(SimConverter* c, uint8_t value, SimAckTiming timing) {
  SimMailbox& m = c->mailbox;
  m.replyPending = true;
  m.replyValue = value;
  m.replyReadsLeft = timing.afterReads;
}

void Acknowledge(SimConverter* c, uint8_t command, SimAckTiming timing) {
  c->mailbox.awaitingAck = true;
  c->mailbox.awaitedCommand = command;
  PostReply(c, command, timing);
}

void LogCommand(SimConverter* c, uint8_t value) {
  SimRecord& r = c->record;
  if (r.commandCount < kSimCommandLog)
    r.commands[r.commandCount] = {r.sequence, value, c->downloadMode};
  ++r.commandCount;
}

// --- Handshake -------------------------------------------------------------------

// A character out of sequence restarts the converter's expectation (and may
// itself be the keyword's first character); it is answered with 0, so a host
// never mistakes a rejected byte for an echo. A character in sequence is
// echoed, except where the scenario echoes it wrong.
void TakeKeywordCharacter(SimConverter* c, uint8_t ch) {
  const SimScenario& s = c->scenario;
  if (IsCommandByte(ch)) Violate(c, SimViolation::kCommandBeforeDownload, ch);
  if (ch != static_cast<uint8_t>(kSimKeyword[c->keywordPosition])) c->keywordPosition = 0;
  if (ch != static_cast<uint8_t>(kSimKeyword[c->keywordPosition])) return PostReply(c, 0, s.echo);
  if (c->keywordPosition == s.badEchoIndex && c->badEchoesAtIndex < s.badEchoAttempts) {
    if (s.badEchoAttempts != kSimNever) ++c->badEchoesAtIndex;
    ++c->record.badEchoesGiven;
    c->keywordPosition = 0;
    return PostReply(c, static_cast<uint8_t>(~ch), s.echo);
  }
  PostReply(c, ch, s.echo);
  if (++c->keywordPosition < kSimKeywordLength) return;
  c->downloadMode = true;
  c->record.downloadModeSequence = c->record.sequence;
}

// --- Commands ----------------------------------------------------------------------

void CommitPage(SimConverter* c) {
  const uint32_t page = c->openPage;
  if (c->windowWrittenCount < kSimPageSize)
    Violate(c, SimViolation::kPageCommittedIncomplete, page);
  Copy(c->flash + page * kSimPageSize, c->window, kSimPageSize);
  ++c->record.pagesCommitted;
  Bump(c->record.pageCommits[page]);
  c->pageOpen = false;
}

void OpenNextPage(SimConverter* c) {
  SimRecord& r = c->record;
  if (c->pageOpen) CommitPage(c);
  const uint32_t page = r.pagesOpened++;
  if (page >= kSimPageCount) return Violate(c, SimViolation::kTooManyPages, page);
  c->openPage = page;
  c->pageOpen = true;
  Fill(c->window, kSimPageSize, kSimErased);
  for (bool& written : c->windowWritten) written = false;
  c->windowWrittenCount = 0;
}

SimAckTiming PageTiming(const SimConverter* c) {
  const SimScenario& s = c->scenario;
  const uint32_t page = c->record.pagesOpened - 1;
  if (s.pageAckOnlyOnPage && page != s.pageAckPage) return SimAckTiming{0};
  return s.pageAck;
}

void CheckCommandOrder(SimConverter* c, uint8_t command) {
  const SimMailbox& m = c->mailbox;
  if (m.awaitingAck) Violate(c, SimViolation::kCommandBeforeAck, m.awaitedCommand);
  if (c->finished) Violate(c, SimViolation::kCommandAfterFinish, command);
  if (command == kSimCmdStart) return;
  if (!c->started) Violate(c, SimViolation::kPageBeforeStart, command);
  if (m.status != 0) Violate(c, SimViolation::kStatusNotCleared, m.status);
}

void RunCommand(SimConverter* c, uint8_t command) {
  const SimScenario& s = c->scenario;
  if (!IsCommandByte(command)) return Violate(c, SimViolation::kUnknownCommand, command);
  CheckCommandOrder(c, command);
  switch (command) {
    case kSimCmdStart:
      if (c->started) Violate(c, SimViolation::kStartRepeated, command);
      c->started = true;
      return Acknowledge(c, command, s.startAck);
    case kSimCmdPage:
      OpenNextPage(c);
      return Acknowledge(c, command, PageTiming(c));
    default:  // finish
      if (c->pageOpen) CommitPage(c);
      if (c->record.pagesOpened < kSimPageCount)
        Violate(c, SimViolation::kFinishBeforeAllPages, c->record.pagesOpened);
      c->finished = true;
      return Acknowledge(c, command, s.finishAck);
  }
}

// Every page opened once and committed with all its bytes written: the
// flash holds a whole image, whatever the read-back showed the host.
bool WholeImageInFlash(const SimConverter* c) {
  return c->record.pagesOpened == kSimPageCount &&
         SimViolationCount(c, SimViolation::kPageCommittedIncomplete) == 0;
}

}  // namespace

// --- Mailbox registers -------------------------------------------------------------

uint8_t ReadCommand(SimConverter* c) {
  SimMailbox& m = c->mailbox;
  if (m.commandReadsLeft == 0) {
    m.command = 0;
  } else if (m.commandReadsLeft != kSimNever) {
    --m.commandReadsLeft;
  }
  return m.command;
}

// The answer shows on the read after its delay has run out. The host has
// seen a command acknowledged once a read returns that command as the
// converter's own answer, not as a stale value left from before. The
// finish's answer is the moment the converter holds new firmware.
uint8_t ReadStatus(SimConverter* c) {
  SimMailbox& m = c->mailbox;
  if (m.replyPending) {
    if (m.replyReadsLeft == 0) {
      m.status = m.replyValue;
      m.replyPending = false;
      if (c->finished && m.status == kSimCmdFinish && WholeImageInFlash(c)) c->firmwareWritten = true;
    } else if (m.replyReadsLeft != kSimNever) {
      --m.replyReadsLeft;
    }
  }
  if (m.awaitingAck && !m.replyPending && m.status == m.awaitedCommand) m.awaitingAck = false;
  return m.status;
}

void WriteCommand(SimConverter* c, uint8_t value) {
  SimMailbox& m = c->mailbox;
  LogCommand(c, value);
  m.command = value;
  m.commandReadsLeft = c->scenario.commandClearReads;
  // The converter's firmware touches 0x30C as it works the mailbox; a host
  // must keep writing back the value it read first, not re-read it.
  if (c->scenario.reg30CDrifts && c->reg30CRead) ++c->source[kSimReg30C - kSimSourceOui];
  if (c->downloadMode) return RunCommand(c, value);
  TakeKeywordCharacter(c, value);
}

// --- Page window ---------------------------------------------------------------------

int64_t WindowWrite(SimConverter* c, uint32_t offset, uint32_t count, const uint8_t* bytes) {
  const SimScenario& s = c->scenario;
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t at = offset + k;
    if (!c->pageOpen) {
      Violate(c, SimViolation::kWindowWriteOutsidePage, at);
      continue;
    }
    if (c->mailbox.awaitingAck && c->mailbox.awaitedCommand == kSimCmdPage)
      Violate(c, SimViolation::kWindowWriteBeforeAck, c->openPage);
    if (s.windowWriteFails && c->openPage == s.windowWriteFailPage && at == s.windowWriteFailByte)
      return kSimDeviceError;
    if (c->windowWritten[at]) {
      Violate(c, SimViolation::kWindowByteRewritten, at);
    } else {
      c->windowWritten[at] = true;
      ++c->windowWrittenCount;
    }
    c->window[at] = bytes[k];
  }
  return kSimOk;
}

int64_t WindowRead(SimConverter* c, uint32_t offset, uint32_t count, uint8_t* bytes) {
  const SimScenario& s = c->scenario;
  if (!c->pageOpen) {
    Violate(c, SimViolation::kWindowReadOutsidePage, offset);
    Copy(bytes, c->window + offset, count);
    return kSimOk;
  }
  const uint32_t page = c->openPage;
  if (s.windowReadFails && page == s.windowReadFailPage) return kSimDeviceError;
  if (c->windowWrittenCount < kSimPageSize) Violate(c, SimViolation::kReadBackIncomplete, page);
  Copy(bytes, c->window + offset, count);
  const bool corrupt = s.corruptReadBack && page == s.corruptPage;
  if (corrupt && s.corruptByte >= offset && s.corruptByte < offset + count)
    bytes[s.corruptByte - offset] = static_cast<uint8_t>(~c->window[s.corruptByte]);
  if (offset == 0 && count == kSimPageSize) Bump(c->record.pageReadBacks[page]);
  return kSimOk;
}

}  // namespace sim
