// The sources of choices, and a plan told in words for a replay.
#include <cstdio>

#include "tests/soak/campaign.h"

namespace soak {

PrngChooser::PrngChooser(uint64_t seed, uint64_t run) : state_(seed * 0x9E3779B97F4A7C15ull ^ run) {
  // Two rounds part neighbouring (seed, run) pairs.
  Next();
  state_ ^= run * 0xD1B54A32D192ED03ull;
  Next();
}

uint64_t PrngChooser::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint32_t PrngChooser::Below(uint32_t n) {
  if (n <= 1) return 0;
  return static_cast<uint32_t>((Next() >> 32) % n);
}

uint32_t ByteChooser::Below(uint32_t n) {
  if (n <= 1) return 0;
  uint32_t value = 0;
  // As many bytes as n needs, so that small choices spend one byte each.
  for (uint64_t span = 1; span < n && used_ < size_; span <<= 8) value = value << 8 | data_[used_++];
  return value % n;
}

const char* ServerAnswerName(ServerAnswer a) {
  static constexpr const char* kNames[] = {"taken", "taken after 9 s", "refused (403)", "refused (500)",
                                           "never answered", "never sent"};
  static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(ServerAnswer::Count));
  const auto i = static_cast<size_t>(a);
  return i < static_cast<size_t>(ServerAnswer::Count) ? kNames[i] : "?";
}

const char* OutcomeName(Outcome o) {
  static const char* const kNames[] = {
      "no outcome line", "request unreadable", "request not cleared", "pool refused",  "log not opened",
      "version unread",  "identified",    "another converter",  "already current", "converter newer",
      "command register stuck",
      "no echo",         "no start ack",  "no page ack",        "window write failed",
      "window read failed", "no finish ack", "verify error",    "success"};
  static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(Outcome::Count));
  return kNames[static_cast<size_t>(o)];
}

const char* DefectName(Defect d) {
  static const char* const kNames[] = {"a sound record", "a null interface", "a record with a null read",
                                       "a record with a null write"};
  return kNames[static_cast<size_t>(d)];
}

namespace {

std::string Timing(uint32_t reads) {
  return reads == kSimNever ? "never" : std::to_string(reads);
}

std::string Failure(const char* name, const SimCallFailure& f) {
  if (f.nth == 0) return "";
  return std::string(" ") + name + "#" + std::to_string(f.nth) + "x" +
         (f.count == kSimNever ? "all" : std::to_string(f.count == 0 ? 1 : f.count));
}

std::string Converter(const SimScenario& s) {
  char text[256];
  std::snprintf(text, sizeof text,
                "port %s, 0x005=%02X oui %02X%02X%02X fw %02X.%02X boot %02X 30C=%02X%s", 
                s.noAnsweringPort ? "none" : std::to_string(s.answeringPort).c_str(),
                s.downstreamPort, s.oui[0], s.oui[1], s.oui[2], s.firmwareMajor, s.firmwareMinor,
                s.bootloader, s.reg30CInitial, s.reg30CDrifts ? " drifting" : "");
  std::string d = text;
  d += "; clear " + Timing(s.commandClearReads) + ", echo " + Timing(s.echo.afterReads);
  if (s.badEchoAttempts != 0)
    d += ", bad echo at " + std::to_string(s.badEchoIndex) + " x" + Timing(s.badEchoAttempts);
  d += ", start " + Timing(s.startAck.afterReads) + ", page " + Timing(s.pageAck.afterReads);
  if (s.pageAckOnlyOnPage) d += " (page " + std::to_string(s.pageAckPage) + " only)";
  d += ", finish " + Timing(s.finishAck.afterReads);
  if (s.corruptReadBack)
    d += "; read-back corrupt at page " + std::to_string(s.corruptPage) + " byte " + std::to_string(s.corruptByte);
  if (s.windowWriteFails)
    d += "; window write fails at page " + std::to_string(s.windowWriteFailPage) + " byte " +
         std::to_string(s.windowWriteFailByte);
  if (s.windowReadFails) d += "; window read fails at page " + std::to_string(s.windowReadFailPage);
  d += Failure("dpcd-read", s.failDpcdRead) + Failure("dpcd-write", s.failDpcdWrite) +
       Failure("i2c-read", s.failI2cRead) + Failure("i2c-write", s.failI2cWrite);
  return d;
}

}  // namespace

std::string Describe(const Plan& p) {
  std::string d = std::string("aim: ") + p.aim + "\nhandles: " + std::to_string(p.handles) +
                  (p.homogeneous ? "" : " (one differs)") + "\n";
  for (unsigned i = 0; i < p.handles; i++) d += "converter " + std::to_string(i) + ": " + Converter(p.converters[i]) + "\n";
  if (p.handles == 0) d += "converter (not installed): " + Converter(p.converters[0]) + "\n";
  for (const FaultPlan& f : p.faults) {
    char status[24];
    std::snprintf(status, sizeof status, "%llx", static_cast<unsigned long long>(f.status));
    d += std::string("fault: ") + dbl::ServiceName(f.service) + " call " + std::to_string(f.nth) +
         (f.onward ? " onward" : "") + " -> " + status + "\n";
  }
  if (p.brokenOpen != 0)
    d += "driver open " + std::to_string(p.brokenOpen) + " hands back " + DefectName(p.defect) + "\n";
  switch (p.oldLog) {
    case OldLog::Absent:
      d += "old log.txt: none";
      break;
    case OldLog::Directory:
      d += "old log.txt: a directory";
      break;
    case OldLog::Content:
      d += "old log.txt: \"" + (p.oldContent.size() > 40 ? p.oldContent.substr(0, 40) + "..." : p.oldContent) +
           "\" (" + std::to_string(p.oldContent.size()) + " bytes)";
      break;
  }
  d += p.createTruncates ? ", create truncates\n" : ", create keeps content\n";
  if (p.withoutShell) d += p.network ? "started from the network\n" : "started without a shell\n";
  if (p.network) {
    d += std::string("boot server: ") + (p.net.noService ? "no HTTP service, " : "") +
         (p.net.unaddressed ? "card without an address, DHCP " +
                                  (p.net.dhcpAfter == 0 ? std::string("never answers, ")
                                                        : "answers after " + std::to_string(p.net.dhcpAfter / 1000000) + " s, ")
                            : std::string()) +
         "first send " + ServerAnswerName(p.net.answers[0]) + ", final send " + ServerAnswerName(p.net.answers[1]) + "\n";
  }
  if (p.request != RequestKind::Absent)
    d += std::string(p.request == RequestKind::Valid ? "a valid" : "a malformed") + " request of " +
         std::to_string(p.requestText.size()) + " bytes\n";
  if (p.variablesReadOnly) d += "variables write-protected\n";
  if (p.variablesFull) d += "no room for a variable\n";
  switch (p.oldHistory) {
    case OldHistory::Absent:
      d += "old history.csv: none\n";
      break;
    case OldHistory::Directory:
      d += "old history.csv: a directory\n";
      break;
    case OldHistory::Content:
      d += "old history.csv: " + std::to_string(p.oldHistoryContent.size()) + " bytes" +
           (!p.oldHistoryContent.empty() && p.oldHistoryContent.back() != '\n' ? ", its last line cut\n" : "\n");
      break;
  }
  return d;
}

}  // namespace soak
