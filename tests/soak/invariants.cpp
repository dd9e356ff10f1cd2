// The rules a finished run is judged by. Each is computed from evidence the
// program does not control: the lines it showed and the counters at the
// moment each appeared (from the witness), the files, pool and clock of the
// double, and the converters' own record and flash.
#include "tests/soak/invariants.h"

#include <cstdio>

#include "payload/firmware_image.h"
#include "platform/boot_server.h"

namespace soak {
namespace {

const std::string kBanner = "Pellory Version:0.4, firmware version 07_23";
const std::string kStart = "start to update downloading";
const std::string kSuccess = "Download success,Please shutdown to reset the system!";
const std::string kNoHistory = "The history can not be written.";
const std::string kPrompt = "Press any key to return to the firmware.";
const std::string kNoRecord = "The result can not be stored in the firmware.";
const std::string kNotSent = "The result can not be sent to the boot server.";
// A send's two waits, each up to its bound in polls, and the poll that
// finds the bound reached.
constexpr uint64_t kSendStalls = 2 * (kBootServerWaitMicroseconds / kBootServerPollMicroseconds + 1);
// The held screen without a key: five minutes of 50 ms polls.
constexpr uint64_t kHoldPolls = 6000;

// Link operations a stretch of the flow makes beyond its re-reads (each
// re-read is one stall and one read): a page's 256 writes, its read-back,
// the status clear, the next command and its first read.
constexpr uint64_t kPageStep = 256 + 1 + 1 + 1 + 1;
constexpr uint64_t kMaxPasses = 800;
// The test image's version, as the banner names it: major, then minor.
constexpr unsigned kImageVersion = 0x0723;
// Identification ends with seven DPCD reads: 0x005, the OUI's three
// bytes, the bootloader, the firmware's major and minor.
constexpr uint64_t kIdentityReads = 7;

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// Nothing reached the converter after identification: before the download
// (the pool, log.txt) or by the choice of a run the OS asked for.
bool BeforeTheDownload(Outcome o) { return o >= Outcome::Memory && o <= Outcome::Newer; }
bool WroteNothingByChoice(Outcome o) { return o >= Outcome::Unread && o <= Outcome::Newer; }

Outcome Classify(const std::string& line) {
  if (line == "The update request can not be read.") return Outcome::Request;
  if (line == "The update request can not be cleared.") return Outcome::Uncleared;
  if (line == "The memory can not be allocated.") return Outcome::Memory;
  if (line == "The file can not be opened.") return Outcome::File;
  if (line == "The converter's firmware version can not be read.") return Outcome::Unread;
  if (line == "Identified.") return Outcome::Identified;
  if (line == "The converter is not the one this firmware is for.") return Outcome::WrongConverter;
  if (line == "The converter already runs this firmware.") return Outcome::Current;
  if (line == "The converter runs newer firmware.") return Outcome::Newer;
  if (line == "DPCD50C not 0.Update failed") return Outcome::CommandClear;
  if (line == "3Cannot get ACK. Update failed") return Outcome::Echo;
  if (line == "4Cannot get ACK.Update failed") return Outcome::StartAck;
  if (line == "7Cannot get ACK.Update failed") return Outcome::PageAck;
  if (StartsWith(line, "data[i*256+j] = ")) return Outcome::WindowWrite;
  if (line == "iicread,j = 255 fail") return Outcome::WindowRead;
  if (line == "9Cannot get ACK.Update failed") return Outcome::FinishAck;
  if (StartsWith(line, "Firmware verify error at ")) return Outcome::Verify;
  if (line == kSuccess) return Outcome::Success;
  return Outcome::None;
}

// One CSV record's fields, quotes undone.
std::vector<std::string> CsvFields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); i++) {
    if (quoted && line[i] == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += line[++i];
    } else if (line[i] == '"') {
      quoted = !quoted;
    } else if (line[i] == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += line[i];
    }
  }
  return fields;
}

std::string Hex(unsigned v, const char* format) {
  char text[32];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

class Judgement {
 public:
  Judgement(const Plan& p, const Witness& w, const Final& f, std::vector<std::string>* v)
      : p_(p), w_(w), f_(f), v_(*v),
        e_(Foresee(p, w.startedWithoutShell,
                   w.startedWithoutShell && w.fileSystemOpened && w.firstFileSystemStatus == EFI_UNSUPPORTED,
                   f.requests)) {}

  Outcome Run();

 private:
  void Fail(const std::string& what) { v_.push_back(what); }
  void Expect(bool ok, const std::string& what) {
    if (!ok) Fail(what);
  }
  void Stretch(const char* name, const Mark& from, const Mark& to, uint64_t steps, uint64_t minStalls,
               uint64_t maxStalls);
  void Clock();
  bool Lines();
  void Identification();
  void Handshake();
  void Transfer();
  void Ending();
  void AfterTheOutcome();
  void Log();
  void History();
  void Resources();
  void Converters();
  void BeforeTheConverter();
  void Policy();
  std::string OutcomeText() const;

  const Plan& p_;
  const Witness& w_;
  const Final& f_;
  std::vector<std::string>& v_;
  const Expectation e_;
  std::vector<const Line*> plain_;  // lines other than link messages
  Outcome outcome_ = Outcome::None;
  const Line* out_ = nullptr;
  const Line* version_ = nullptr;
  const Line* start_ = nullptr;
  const Line* verifying_ = nullptr;
  bool historyRefused_ = false;
  bool recordRefused_ = false;
};

// Between two marks: `steps` link operations besides one per stall, and a
// stall count in range. A wait that went past its limit, stopped short of
// it or a step made twice or left out shows here.
void Judgement::Stretch(const char* name, const Mark& from, const Mark& to, uint64_t steps,
                        uint64_t minStalls, uint64_t maxStalls) {
  const uint64_t stalls = to.stalls - from.stalls;
  const uint64_t ops = to.lookups - from.lookups;
  if (ops != steps + stalls || stalls < minStalls || stalls > maxStalls)
    Fail(std::string(name) + ": " + std::to_string(ops) + " link operations and " +
         std::to_string(stalls) + " stalls (expected " + std::to_string(steps) + " + stalls, stalls " +
         std::to_string(minStalls) + ".." + std::to_string(maxStalls) + ")");
}

void Judgement::Clock() {
  // Unattended, the run hands back an error so that the boot manager goes on
  // to the OS instead of its setup menu.
  Expect(f_.status == e_.status, "the run returned " + std::to_string(f_.status));
  Expect(w_.oddStalls == 0, "a stall other than the 0.5 s poll interval");
  Expect(w_.stalls <= kMaxStalls, std::to_string(w_.stalls) + " stalls, more than the waits allow");
  Expect(f_.micros == 500000 * w_.stallsDone + 50000 * w_.holdStallsDone +
                         kBootServerPollMicroseconds * w_.networkStallsDone,
         "virtual time is not the stalls made");
  // The sends wait within their bounds, and only a network start sends.
  Expect(w_.networkStalls <= (e_.network ? 2 * kSendStalls : 0),
         std::to_string(w_.networkStalls) + " polls of the boot server's waits");
  Expect(w_.holdStalls == (e_.prompt ? kHoldPolls : 0),
         std::to_string(w_.holdStalls) + " key polls after the prompt" + (e_.prompt ? "" : " where no one waits"));
  Expect(w_.firstLookupEvent == 0 || (w_.watchdogOffEvent != 0 && w_.watchdogOffEvent < w_.firstLookupEvent),
         "the converter was touched before the watchdog was turned off");
}

bool Judgement::Lines() {
  // After the outcome: the history's refusal, the record's, once each, and
  // when someone may be at the keyboard without a shell the prompt of the
  // held screen, last.
  const Line* last = w_.lines.empty() ? nullptr : &w_.lines.back();
  const Line* prompt = e_.prompt ? last : nullptr;
  const auto before = [&](const Line* l) { return l == nullptr || l == &w_.lines.front() ? nullptr : l - 1; };
  if (prompt != nullptr) {
    if (prompt->text != kPrompt) Fail("no \"" + kPrompt + "\" after a start without a shell");
    last = before(last);
  }
  // The final send's refusal, after the record's.
  const bool notSent = last != nullptr && last->text == kNotSent;
  const Line* notSentLine = notSent ? last : nullptr;
  if (notSent) last = before(last);
  Expect(notSent == (e_.network && !e_.finalSent),
         notSent ? "\"" + kNotSent + "\" though the server took it" : "no word that the server did not take the record");
  recordRefused_ = last != nullptr && last->text == kNoRecord;
  const Line* recordLine = recordRefused_ ? last : nullptr;
  if (recordRefused_) last = before(last);
  Expect(recordRefused_ == !e_.finalKept, recordRefused_ ? "\"" + kNoRecord + "\" though it was kept"
                                                         : "no word that the record was not kept");
  historyRefused_ = last != nullptr && last->text == kNoHistory;
  const Line* outcomeLast = historyRefused_ ? before(last) : last;
  for (const Line& line : w_.lines) {
    if (StartsWith(line.text, "ERROR : ")) continue;
    if ((&line == last && historyRefused_) || &line == prompt || &line == recordLine || &line == notSentLine) continue;
    plain_.push_back(&line);
    const Outcome o = Classify(line.text);
    if (o == Outcome::None) continue;
    if (out_ != nullptr) Fail("a second outcome line: " + line.text);
    if (out_ == nullptr) {
      outcome_ = o;
      out_ = &line;
    }
  }
  if (out_ == nullptr) {
    Fail("no outcome line");
    return false;
  }
  Expect(outcomeLast == out_, "the outcome line is not the last line");
  Expect(w_.partial.empty(), "text left after the last line: \"" + w_.partial + "\"");
  if (w_.outputFaults == 0) Expect(f_.doubleConsole == w_.console, "the console differs from what was sent");

  // Banner, bootloader, firmware version, then the download's own lines; a
  // stop before the converter is touched follows the banner alone.
  const bool early = e_.early != Outcome::None;
  if (early) Expect(outcome_ == e_.early, std::string("the run ended in ") + OutcomeName(outcome_) + ", not " + OutcomeName(e_.early));
  std::vector<std::string> shape = {kBanner};
  if (!early) shape.insert(shape.end(), {"Bootloader:", "Current FirmwareVer:"});
  if (outcome_ >= Outcome::StartAck) shape.push_back(kStart);
  if (outcome_ >= Outcome::Verify) shape.insert(shape.end(), {"", "verifying"});
  shape.push_back(out_->text);
  bool same = plain_.size() == shape.size();
  for (size_t i = 0; same && i < shape.size(); i++)
    same = i == 1 || i == 2 ? StartsWith(plain_[i]->text, shape[i]) : plain_[i]->text == shape[i];
  if (!same) {
    std::string shown;
    for (const Line* l : plain_) shown += " | " + l->text.substr(0, 60);
    Fail("lines out of shape:" + shown);
    return false;
  }
  if (early) return true;
  version_ = plain_[2];
  if (outcome_ >= Outcome::StartAck) start_ = plain_[3];
  if (outcome_ >= Outcome::Verify) verifying_ = plain_[5];
  Expect(w_.messagesShown == w_.loudFailures,
         std::to_string(w_.loudFailures) + " failing link operations, " + std::to_string(w_.messagesShown) +
             " messages");
  return true;
}

// Probe (1 to 6 reads), the 256-byte read, the mode change, 0x005, the OUI,
// bootloader and firmware registers: no waits.
void Judgement::Identification() {
  const uint64_t ops = version_->at.lookups - plain_[0]->at.lookups;
  Expect(ops >= 10 && ops <= 15 && version_->at.stalls == 0,
         "identification took " + std::to_string(ops) + " link operations");
  if (w_.anyLinkFailure || !p_.homogeneous || p_.handles == 0) return;
  const SimScenario& s = p_.converters[0];
  Expect(plain_[1]->text == "Bootloader:" + Hex(s.bootloader >> 4, "%X") + ".0." + Hex(s.bootloader & 0xF, "%X"),
         "bootloader shown as " + plain_[1]->text);
  Expect(version_->text == "Current FirmwareVer:0x" + Hex(s.firmwareMajor, "%02X") + "_0x" +
                               Hex(s.firmwareMinor, "%02X"),
         "firmware shown as " + version_->text);
}

// Source OUI and 0x30C (4 operations), then passes of two writes and two
// waits each; the stuck command register ends a pass after its first wait.
void Judgement::Handshake() {
  if (BeforeTheDownload(outcome_)) {
    Stretch("before the converter is touched", version_->at, out_->at, 0, 0, 0);
    return;
  }
  const Mark& end = start_ != nullptr ? start_->at : out_->at;
  const uint64_t stalls = end.stalls - version_->at.stalls;
  const uint64_t ops = end.lookups - version_->at.lookups;
  const bool stuck = outcome_ == Outcome::CommandClear;
  const uint64_t fixed = 4 + (stuck ? 3 : 0);
  const uint64_t passes = (ops - stalls - fixed) / 4 + (stuck ? 1 : 0);
  bool ok = ops >= stalls + fixed && (ops - stalls - fixed) % 4 == 0 && passes <= kMaxPasses;
  if (start_ != nullptr) ok = ok && passes >= 8;
  if (stuck) ok = ok && stalls >= 100;
  if (outcome_ == Outcome::Echo) ok = ok && passes >= 100 && stalls >= 100 * 100;
  Expect(ok, "handshake: " + std::to_string(ops) + " link operations, " + std::to_string(stalls) + " stalls");
}

// Start wait, then per page: progress line, 256 writes, read-back, status
// clear, next command and its wait.
void Judgement::Transfer() {
  if (start_ == nullptr) return;
  const std::vector<ProgressMark>& pages = w_.progress;
  Expect(pages.size() <= 256, "more than 256 progress lines");
  for (size_t k = 0; k < pages.size() && k < 256; k++) {
    Expect(pages[k].value == 255 - k, "progress line " + std::to_string(k) + " shows " + Hex(pages[k].value, "%02X"));
    if (k == 0) {
      Stretch("start and page 0 request", start_->at, pages[0].at, 5, 0, 2000);
    } else {
      Stretch("page request", pages[k - 1].at, pages[k].at, kPageStep, 0, 1000);
    }
  }
  switch (outcome_) {
    case Outcome::StartAck:
      Expect(pages.empty(), "progress before the start was acknowledged");
      Stretch("start acknowledgement", start_->at, out_->at, 2, 1000, 1000);
      break;
    case Outcome::PageAck:
      Expect(pages.size() < 256, "a page acknowledgement missing after the last page");
      if (pages.empty()) {
        Stretch("page 0 acknowledgement", start_->at, out_->at, 5, 1000, 2000);
      } else {
        Stretch("page acknowledgement", pages.back().at, out_->at, kPageStep, 1000, 1000);
      }
      break;
    case Outcome::FinishAck:
      Expect(pages.size() == 256, "finish without all pages");
      if (!pages.empty()) Stretch("finish acknowledgement", pages.back().at, out_->at, kPageStep, 100, 100);
      break;
    case Outcome::Verify:
    case Outcome::Success:
      Expect(pages.size() == 256, "verification without all pages");
      if (!pages.empty()) Stretch("finish", pages.back().at, verifying_->at, kPageStep, 0, 100);
      break;
    default:
      break;
  }
}

// The window stops, the verification and success, each against the
// evidence: the page the progress line named, the byte the failing write
// carried, the read-back the program received.
void Judgement::Ending() {
  const std::vector<ProgressMark>& pages = w_.progress;
  const std::string& text = out_->text;
  if (outcome_ == Outcome::WindowWrite || outcome_ == Outcome::WindowRead) {
    Expect(out_->at.lastOpFailed && out_->at.lastOpI2c, "window stop without a failing I2C operation");
    if (pages.empty()) return Fail("window stop before any progress line");
    const unsigned page = 255 - pages.back().value;
    const uint64_t ops = out_->at.lookups - pages.back().at.lookups;
    if (outcome_ == Outcome::WindowRead) {
      Expect(ops == 257, "read-back stop after " + std::to_string(ops) + " operations on the page");
      return;
    }
    const unsigned j = static_cast<unsigned>(ops - 1);
    const std::string expected = "data[i*256+j] = " + Hex(j < 256 ? FirmwareImage[page * 256 + j] : 0, "%x") +
                                 " iicwrite,i = " + std::to_string(page) + ",j = " + std::to_string(j) + " fail";
    Expect(j < 256 && text == expected, "\"" + text + "\" where \"" + expected + "\" was due");
  }
  if (outcome_ == Outcome::Verify) {
    const std::string expected = "Firmware verify error at " + std::to_string(w_.firstDifference) + ", data[i] = " +
                                 Hex(w_.differenceImage, "%x") + ", fwBufRead[i] = " +
                                 Hex(w_.differenceRead, "%x");
    Expect(w_.readBackDiffers && text == expected,
           "\"" + text + "\" where " + (w_.readBackDiffers ? "\"" + expected + "\"" : "success") + " was due");
  }
  if (outcome_ == Outcome::Verify || outcome_ == Outcome::Success) {
    for (unsigned n = 0; n < 256; n++)
      if (w_.pageReads[n] != 1) return Fail("page " + std::to_string(n) + " read back " + std::to_string(w_.pageReads[n]) + " times");
  }
  if (outcome_ == Outcome::Success) {
    Expect(!w_.readBackDiffers, "success although the read-back of byte " + std::to_string(w_.firstDifference) + " differs");
    // A failed status clear followed by a failed page command leaves the
    // last acknowledgement standing, and the flow, which never looks at a
    // write's status, writes the next page into the window it just filled:
    // the read-back matches, the flash does not. So the flash is judged only
    // where no link operation failed during the transfer.
    if (out_->at.failures == start_->at.failures)
      for (unsigned i = 0; i < p_.handles; i++)
        Expect(f_.flashIsImage[i], "success, but converter " + std::to_string(i) + "'s flash is not the image");
  }
  Expect((outcome_ == Outcome::Memory) == (w_.allocateFailures > 0),
         "the pool refused " + std::to_string(w_.allocateFailures) + " times, the outcome is " + OutcomeName(outcome_));
  if (outcome_ == Outcome::File)
    Expect(p_.oldLog == OldLog::Directory || w_.shellFailures > 0 || w_.logLocateFailureEvent > 0,
           "\"The file can not be opened.\" with nothing in its way");
}

// A stop sends nothing more; success sends the one mode change, after the
// log was closed.
void Judgement::AfterTheOutcome() {
  const uint64_t ops = w_.lookups - out_->at.lookups;
  const uint64_t calls = f_.sequence - out_->at.sequence;
  if (outcome_ != Outcome::Success) {
    Expect(ops == 0 && calls == 0, std::to_string(ops) + " link operations (" + std::to_string(calls) +
                                       " driver calls) after \"" + out_->text + "\"");
    return;
  }
  const LinkSummary& last = w_.lastOp;
  const bool modeChange = last.kind == LinkKind::I2cWrite && last.slave == 0x80 && last.offset == 0x40 && last.value == 1;
  Expect(ops == 1 && calls <= p_.handles && (modeChange || (last.failed && last.kind == LinkKind::Unknown)),
         "after success: " + std::to_string(ops) + " link operations, not the one mode change");
  // The close goes through the shell, which a failing LocateProtocol hides.
  // Without a shell it goes through the volume, which the witness does not see.
  if (w_.startedWithoutShell) return;
  Expect(w_.lastCloseEvent > out_->at.events || w_.logLocateFailureEvent > out_->at.events,
         "the log was not closed after the success line");
}

void Judgement::Log() {
  const bool old = p_.oldLog != OldLog::Absent;
  const bool unchanged = f_.logExists == old && f_.logIsDirectory == (p_.oldLog == OldLog::Directory) &&
                         (p_.oldLog != OldLog::Content || f_.log == p_.oldContent);
  // A network start keeps no files, and a stop before the converter comes
  // before log.txt is opened.
  if (e_.network || version_ == nullptr || WroteNothingByChoice(outcome_))
    return Expect(unchanged, "log.txt touched by a run that keeps no log or wrote nothing");
  const bool emptyFile = f_.logExists && !f_.logIsDirectory && f_.log.empty();
  const bool unopened = unchanged || (emptyFile && p_.oldLog != OldLog::Directory) ||
                        (!f_.logExists && p_.oldLog == OldLog::Content);
  const char* word = outcome_ == Outcome::Success ? "successful" : outcome_ == Outcome::Verify ? "failed" : "";
  const bool lost = w_.writeFailures > 0 || w_.logLocateFailureEvent > w_.firstFileGivenEvent;
  const bool opened = f_.logExists && !f_.logIsDirectory && (f_.log == word || (f_.log.empty() && lost));
  bool ok = opened;
  if (outcome_ == Outcome::File) ok = unopened;
  if (outcome_ == Outcome::Memory)
    ok = opened || (unopened && (p_.oldLog == OldLog::Directory || w_.shellFailures > 0 || w_.logLocateFailureEvent > 0));
  std::string shown = !f_.logExists ? "absent" : f_.logIsDirectory ? "a directory" : "\"" + f_.log.substr(0, 40) + "\"";
  Expect(ok, std::string("log.txt is ") + shown + " after " + OutcomeName(outcome_));
}

// The history is only ever added to: its earlier bytes stay, and one line
// (the header first when it was new, a line end first when an earlier line
// lost its own) names this run's outcome and the versions shown; or, when it
// cannot be written, it says so last and the history is as it was.
std::string Judgement::OutcomeText() const {
  if (outcome_ == Outcome::Verify) return "failed";
  if (outcome_ == Outcome::Success) return "successful";
  if (outcome_ == Outcome::Current) return "current";
  if (outcome_ == Outcome::Identified) return "identified";
  return "stopped: " + out_->text;
}

void Judgement::History() {
  const bool oldDirectory = p_.oldHistory == OldHistory::Directory;
  const std::string& old = p_.oldHistoryContent;
  const bool asItWas = oldDirectory ? f_.historyIsDirectory
                                    : !f_.historyIsDirectory && (f_.history == old || (!f_.historyExists && old.empty()));
  if (e_.network) return Expect(asItWas && !historyRefused_, "a network start touched the history");
  if (oldDirectory) Expect(historyRefused_, "no word that the history could not be written over a directory of its name");
  if (historyRefused_)
    Expect(w_.historyFailures > 0 || oldDirectory || w_.locateFailures > 0, "\"" + kNoHistory + "\" with nothing in its way");
  // A refusal may come after the line went in (a close that failed): the
  // history is then as it was or has its one line, never anything else.
  if (historyRefused_ && asItWas) return;
  if (f_.historyIsDirectory || f_.history.compare(0, old.size(), old) != 0)
    return Fail("the history's earlier bytes changed");
  std::string added = f_.history.substr(old.size());
  const std::string header = kHistoryHeader + std::string("\r\n");
  if (!old.empty() && old.back() != '\n') {
    if (!StartsWith(added, "\r\n")) return Fail("a line that lost its end was continued");
    added = added.substr(2);
  }
  if (old.empty()) {
    if (!StartsWith(added, header)) return Fail("a new history without its header");
    added = added.substr(header.size());
  }
  const size_t end = added.find("\r\n");
  if (end == std::string::npos || end + 2 != added.size())
    return Fail("not one line added to the history: \"" + added.substr(0, 120) + "\"");
  const std::vector<std::string> fields = CsvFields(added.substr(0, end));
  const std::string outcome = OutcomeText();
  Expect(fields.size() == 10 && fields[9] == outcome, "history line \"" + added.substr(0, end) + "\" for \"" + out_->text + "\"");
  if (fields.size() == 10) {
    const std::string bootloader = version_ ? plain_[1]->text : "Bootloader:";
    const std::string firmware = version_ ? version_->text : "Current FirmwareVer:";
    Expect("Bootloader:" + fields[6] == bootloader, "history bootloader " + fields[6] + " for " + bootloader);
    Expect("Current FirmwareVer:" + fields[7] == firmware, "history firmware " + fields[7] + " for " + firmware);
  }
}

void Judgement::Resources() {
  Expect(f_.poolBlocks == w_.freeFailures, std::to_string(f_.poolBlocks) + " pool blocks outstanding, " +
                                               std::to_string(w_.freeFailures) + " FreePool calls failed");
  size_t open = 0;
  for (SHELL_FILE_HANDLE h : w_.filesGiven) {
    if (w_.filesClosed.count(h) == 0) open++;
    if (w_.filesCloseTried.count(h) == 0 && w_.locateFailures == 0) Fail("a shell file handle never closed");
  }
  Expect(f_.openFiles == static_cast<int>(open), std::to_string(f_.openFiles) + " shell files open at exit");
  for (const std::string& complaint : f_.doubleComplaints) Fail("the double: " + complaint);
}

void Judgement::Converters() {
  Expect(f_.modelFailures == w_.driverFailures, "the converters refused " + std::to_string(f_.modelFailures) +
                                                   " calls, the driver records saw " + std::to_string(w_.driverFailures));
  if (w_.anyLinkFailure || !p_.homogeneous) return;
  for (unsigned i = 0; i < p_.handles; i++)
    Expect(f_.modelViolations[i] == 0, "converter " + std::to_string(i) + " saw " + std::to_string(f_.modelViolations[i]) +
                                           " order violations, first: " + (f_.firstModelViolation[i] ? f_.firstModelViolation[i] : "?"));
}

// A run the OS asked for writes only an older firmware than the image's,
// unless allow= lets it write the same or a newer one; it never judges by a
// read that failed, and identify never writes. A technician's run always
// goes on to the download.
void Judgement::Policy() {
  Outcome due = Outcome::None;
  const uint64_t last = version_->at.lookups;
  bool unread = false;
  for (uint64_t op : w_.failedOps) unread = unread || (op + kIdentityReads > last && op <= last);
  unsigned major = 0, minor = 0;
  const bool shown = std::sscanf(version_->text.c_str(), "Current FirmwareVer:0x%2X_0x%2X", &major, &minor) == 2;
  const unsigned running = major << 8 | minor;
  if (!e_.valid) due = Outcome::None;
  else if (unread) due = Outcome::Unread;
  else if (p_.identify) due = Outcome::Identified;
  else if (!shown) return Fail("the firmware version line does not read: " + version_->text);
  else if (running == kImageVersion && !p_.allowSame) due = Outcome::Current;
  else if (running > kImageVersion && !p_.allowOlder) due = Outcome::Newer;
  if (due != Outcome::None)
    Expect(outcome_ == due, std::string("the run ended in ") + OutcomeName(outcome_) + ", not " + OutcomeName(due));
  else
    Expect(!WroteNothingByChoice(outcome_), std::string("the run chose not to write: ") + OutcomeName(outcome_));
  if (WroteNothingByChoice(outcome_))
    Expect(f_.pageCommits == 0, std::to_string(f_.pageCommits) + " pages written by a run that wrote nothing");
}

// Nothing at all reaches the converter before the request is served and the
// record says the run has started.
void Judgement::BeforeTheConverter() {
  Expect(f_.sequence == 0 && w_.lookups == 0,
         std::to_string(w_.lookups) + " link operations by a run that stopped before the converter");
}

Outcome Judgement::Run() {
  Clock();
  Resources();
  Converters();
  if (!Lines()) return outcome_;
  const std::string bootloader = version_ ? plain_[1]->text.substr(11) : "";
  const std::string firmware = version_ ? version_->text.substr(20) : "";
  JudgeRecord(p_, e_, f_, OutcomeText(), bootloader, firmware, &v_);
  if (version_ == nullptr) {
    BeforeTheConverter();
    Log();
    History();
    return outcome_;
  }
  Identification();
  Policy();
  Handshake();
  Transfer();
  Ending();
  AfterTheOutcome();
  Log();
  History();
  return outcome_;
}

}  // namespace

Outcome Judge(const Plan& plan, const Witness& witness, const Final& final, std::vector<std::string>* violations) {
  for (const std::string& v : witness.violations) violations->push_back(v);
  return Judgement(plan, witness, final, violations).Run();
}

}  // namespace soak
