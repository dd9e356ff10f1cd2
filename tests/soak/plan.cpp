// Drawing a run: what the converters do, which firmware calls fail and what
// an earlier run left in log.txt. The weights keep most runs short (a whole
// update is some 66,000 link operations) while every stage still fails in
// a good share of runs and a good share succeed.
#include <cstdio>
#include <string_view>

#include "tests/soak/campaign.h"

namespace soak {
namespace {

using dbl::Service;

constexpr uint32_t kShort = 100;  // re-reads of the short waits
constexpr uint32_t kLong = 1000;  // and of the long ones

// A delay (in reads) that a wait of `limit` re-reads still meets; the edge
// is drawn often.
uint32_t Within(Chooser& c, uint32_t limit) {
  switch (c.Pick({3, 3, 2, 3})) {
    case 0:
      return 0;
    case 1:
      return limit;
    case 2:
      return limit - 1;
    default:
      return c.Range(0, limit);
  }
}

// One it does not meet.
uint32_t Beyond(Chooser& c, uint32_t limit) {
  switch (c.Pick({4, 3, 3})) {
    case 0:
      return limit + 1;
    case 1:
      return kSimNever;
    default:
      return c.Range(limit + 1, limit + 400);
  }
}

// Mostly an early page, so that a stop in the transfer stays cheap.
uint32_t AnyPage(Chooser& c) {
  switch (c.Pick({6, 3, 1})) {
    case 0:
      return c.Below(8);
    case 1:
      return c.Below(256);
    default:
      return 255;
  }
}

EFI_STATUS AnyError(Chooser& c) {
  static const EFI_STATUS kErrors[] = {EFI_DEVICE_ERROR,      EFI_NOT_FOUND,  EFI_OUT_OF_RESOURCES,
                                       EFI_INVALID_PARAMETER, EFI_UNSUPPORTED, EFI_ACCESS_DENIED,
                                       EFI_TIMEOUT};
  return kErrors[c.Below(sizeof kErrors / sizeof kErrors[0])];
}

void Fault(Plan& p, Chooser& c, Service s, uint64_t nth, bool onward = false) {
  p.faults.push_back({s, nth, onward, s == Service::AllocatePool ? EFI_OUT_OF_RESOURCES : AnyError(c)});
}

void Identity(Chooser& c, SimScenario& s) {
  s.downstreamPort = c.Byte();
  for (uint8_t& b : s.oui) b = c.Byte();
  // Mostly a version at the edges of the image's, 07_23, where a run the
  // OS asks for decides whether to write; otherwise any.
  static const uint8_t kAround[][2] = {{0x07, 0x22}, {0x07, 0x23}, {0x07, 0x24}, {0x06, 0xFF}, {0x08, 0x00}};
  const size_t around = c.Pick({40, 20, 10, 10, 10, 10});
  s.firmwareMajor = around < 5 ? kAround[around][0] : c.Byte();
  s.firmwareMinor = around < 5 ? kAround[around][1] : c.Byte();
  s.bootloader = c.Byte();
  s.reg30CInitial = c.Byte();
  s.reg30CDrifts = c.Percent(20);
  switch (c.Pick({86, 5, 5, 4})) {
    case 0:
      s.answeringPort = 2 * c.Below(6);
      break;
    case 1:
      s.answeringPort = 2 * c.Below(6) + 1;
      break;
    case 2:
      s.noAnsweringPort = true;
      break;
    default:
      s.answeringPort = 12 + 2 * c.Below(4);
      break;
  }
}

// Lateness that every wait absorbs.
void LateWithinLimits(Chooser& c, SimScenario& s, uint32_t percent) {
  if (c.Percent(percent)) s.commandClearReads = Within(c, kShort);
  if (c.Percent(percent)) s.echo.afterReads = Within(c, kShort);
  if (c.Percent(percent / 2)) {
    s.badEchoIndex = c.Below(8);
    s.badEchoAttempts = c.Range(1, 5);
  }
  if (c.Percent(percent)) s.startAck.afterReads = Within(c, kLong);
  if (c.Percent(percent)) {
    // Late on every page only a little: 256 long waits would cost a run of
    // a quarter million reads.
    s.pageAckOnlyOnPage = c.Percent(70);
    s.pageAckPage = AnyPage(c);
    s.pageAck.afterReads = s.pageAckOnlyOnPage ? Within(c, kLong) : c.Below(4);
  }
  if (c.Percent(percent)) s.finishAck.afterReads = Within(c, kShort);
}

void LogCannotBeHad(Plan& p, Chooser& c) {
  const size_t how = c.Pick({3, 2, 2, 2, 2, 2, 2});
  if (how >= 4 && how <= 5) {  // the old file must be emptied by deletion
    p.oldLog = OldLog::Content;
    p.oldContent = c.Percent(50) ? "successful" : "an earlier run's notes";
    p.createTruncates = false;
  }
  switch (how) {
    case 0:
      p.oldLog = OldLog::Directory;
      break;
    case 1:
      Fault(p, c, Service::ShellOpenFileByName, 1, c.Percent(30));
      break;
    case 2:
      Fault(p, c, Service::ShellGetFileInfo, c.Range(1, 2));
      break;
    case 3:
      Fault(p, c, Service::ShellGetFileSize, c.Range(1, 2));
      break;
    case 4:
      Fault(p, c, Service::ShellDeleteFile, 1);
      break;
    case 5:
      Fault(p, c, Service::ShellOpenFileByName, 2);
      break;
    default:
      Fault(p, c, Service::LocateProtocol, 1);
      break;
  }
}

// A firmware call of the link layer failing somewhere in the run.
void FirmwareCallFails(Plan& p, Chooser& c) {
  static const Service kLink[] = {Service::LocateHandleBuffer, Service::OpenProtocol,
                                  Service::CloseProtocol};
  const uint32_t perCall = p.handles == 0 ? 1 : p.handles;
  for (uint32_t n = c.Range(1, 2); n > 0; n--) {
    // The fourth choice: an open that succeeds with nothing callable.
    const uint32_t which = c.Below(4);
    const Service s = which < 3 ? kLink[which] : Service::OpenProtocol;
    const uint32_t scale = s == Service::LocateHandleBuffer ? 1 : perCall;
    uint64_t nth = 0;
    switch (c.Pick({6, 3, 1})) {
      case 0:
        nth = c.Range(1, 40 * scale);  // identification and the handshake's start
        break;
      case 1:
        nth = c.Range(1, 400 * scale);
        break;
      default:
        nth = c.Range(1, 66900 * scale);  // anywhere in a whole update
        break;
    }
    if (which < 3) {
      Fault(p, c, s, nth, c.Percent(10));
      continue;
    }
    p.brokenOpen = nth;
    p.defect = static_cast<Defect>(c.Range(1, 3));
  }
}

// A driver call failing in the converter model, on one converter.
void DriverCallFails(Plan& p, Chooser& c) {
  SimScenario& s = p.converters[p.handles > 1 ? c.Below(p.handles) : 0];
  SimCallFailure f{};
  switch (c.Pick({7, 2, 1})) {
    case 0:
      f.count = 1;
      break;
    case 1:
      f.count = c.Range(2, 5);
      break;
    default:
      f.count = kSimNever;
      break;
  }
  // Mostly early calls: a late one costs a whole update to reach.
  const bool early = c.Percent(65);
  switch (c.Below(4)) {
    case 0:
      f.nth = early ? c.Range(1, 120) : c.Range(1, 290);
      s.failDpcdRead = f;
      break;
    case 1:
      f.nth = early ? c.Range(1, 120) : c.Range(1, 540);
      s.failDpcdWrite = f;
      break;
    case 2:
      f.nth = early ? c.Range(1, 12) : c.Range(1, 260);
      s.failI2cRead = f;
      break;
    default:
      f.nth = early ? c.Range(1, 4) : c.Range(1, 65540);
      s.failI2cWrite = f;
      break;
  }
}

// A read-back corrupted at one byte of `page`, or at the image's first or
// last byte: a verification that starts late or stops short misses only
// those, so they are drawn often rather than left to a 1 in 65,536 chance.
void CorruptReadBack(SimScenario& s, uint32_t page, Chooser& c) {
  s.corruptReadBack = true;
  switch (c.Pick({1, 1, 2})) {
    case 0:
      s.corruptPage = 0;
      s.corruptByte = 0;
      return;
    case 1:
      s.corruptPage = 255;
      s.corruptByte = 255;
      return;
    default:
      s.corruptPage = page;
      s.corruptByte = c.Below(256);
      return;
  }
}

// A window write that fails at one byte of some page.
void FailWindowWrite(SimScenario& s, Chooser& c) {
  s.windowWriteFails = true;
  s.windowWriteFailPage = AnyPage(c);
  s.windowWriteFailByte = c.Below(256);
}

// One converter of several behaving differently from the others.
void OneConverterDiffers(Plan& p, Chooser& c) {
  SimScenario& s = p.converters[c.Below(p.handles)];
  p.homogeneous = false;
  const bool late = c.Percent(50);
  switch (c.Below(8)) {
    case 0:
      s.startAck.afterReads = late ? Beyond(c, kLong) : Within(c, kLong);
      break;
    case 1:
      s.pageAckOnlyOnPage = true;
      s.pageAckPage = AnyPage(c);
      s.pageAck.afterReads = late ? Beyond(c, kLong) : Within(c, kLong);
      break;
    case 2:
      s.finishAck.afterReads = late ? Beyond(c, kShort) : Within(c, kShort);
      break;
    case 3:
      s.commandClearReads = late ? Beyond(c, kShort) : Within(c, kShort);
      break;
    case 4:
      s.echo.afterReads = late ? Beyond(c, kShort) : Within(c, kShort);
      break;
    case 5:
      CorruptReadBack(s, AnyPage(c), c);
      break;
    case 6:
      FailWindowWrite(s, c);
      break;
    default:
      s.answeringPort = (s.answeringPort + 2) % 12;
      break;
  }
}

// The aims past the converter's own behaviour: faults of the firmware,
// drawn once the converters are set.
enum FaultAim : size_t { kPoolRefuses = 10, kLogCannotBeHad, kFirmwareCallFails, kDriverCallFails };

// Returns the aim drawn.
size_t Aim(Plan& p, Chooser& c, SimScenario& s) {
  static constexpr const char* kAims[] = {
      "sound",           "late within limits", "read-back corrupted", "finish ack missing",
      "page ack missing", "window write fails", "window read fails",  "start ack missing",
      "echo never right", "command stuck",      "pool refuses",       "log.txt cannot be had",
      "firmware call fails", "driver call fails"};
  static_assert(std::string_view(kAims[kPoolRefuses]) == "pool refuses" &&
                std::string_view(kAims[kDriverCallFails]) == "driver call fails");
  const size_t aim = c.Pick({3, 2, 2, 2, 10, 9, 6, 8, 8, 8, 6, 10, 9, 9});
  p.aim = kAims[aim];
  switch (aim) {
    case 0:
      break;
    case 1:
      LateWithinLimits(c, s, 60);
      break;
    case 2:
      CorruptReadBack(s, c.Below(256), c);
      break;
    case 3:
      s.finishAck.afterReads = Beyond(c, kShort);
      break;
    case 4:
      s.pageAckOnlyOnPage = true;
      s.pageAckPage = AnyPage(c);
      s.pageAck.afterReads = Beyond(c, kLong);
      break;
    case 5:
      FailWindowWrite(s, c);
      break;
    case 6:
      s.windowReadFails = true;
      s.windowReadFailPage = AnyPage(c);
      break;
    case 7:
      s.startAck.afterReads = Beyond(c, kLong);
      break;
    case 8:
      s.commandClearReads = c.Below(3);  // hundreds of passes: keep each one short
      if (c.Percent(40)) {
        s.echo.afterReads = Beyond(c, kShort);
      } else {
        s.badEchoIndex = c.Below(8);
        s.badEchoAttempts = c.Percent(50) ? kSimNever : c.Range(97, 103);
      }
      break;
    case 9:
      s.commandClearReads = Beyond(c, kShort);
      break;
    default:
      break;  // a fault aim
  }
  return aim;
}

void OldLogFile(Plan& p, Chooser& c) {
  switch (c.Pick({40, 15, 15, 15, 10, 5})) {
    case 0:
      p.oldLog = OldLog::Absent;
      return;
    case 1:
      p.oldContent = "failed";
      break;
    case 2:
      p.oldContent = "successful";
      break;
    case 3:
      p.oldContent = std::string(c.Range(1, 700), 'x');  // beyond the 512-byte buffer too
      break;
    case 4:
      p.oldContent = "";
      break;
    default:
      p.oldLog = OldLog::Directory;
      return;
  }
  p.oldLog = OldLog::Content;
}

// What an earlier run (or a person) left in history.csv.
void OldHistoryFile(Plan& p, Chooser& c) {
  static const char* const kLines[] = {
      "2026-01-01T08:00:00,SN1,,0,0x500,0A1B2C,2.0.1,0x07_0x22,07_23 sha256:0011223344556677,successful\r\n",
      "2026-01-01T09:00:00,\"A,\"\"B\"\"\",,4,0x400,0A1B2C,2.0.1,0x07_0x22,x,stopped: 7Cannot get ACK.Update failed\r\n",
      "2026-01-01T10:00:00,SN2,,0,0x5",  // cut short by a power loss
  };
  switch (c.Below(6)) {
    case 0:
    case 1:
      p.oldHistory = OldHistory::Absent;
      return;
    case 2:
      p.oldHistory = OldHistory::Directory;
      return;
    case 3:
      p.oldHistoryContent = "";
      break;
    default:
      p.oldHistoryContent = std::string(kHistoryHeader) + "\r\n";
      for (uint32_t n = c.Range(0, 3); n > 0; n--) p.oldHistoryContent += kLines[c.Below(3)];
      break;
  }
  p.oldHistory = OldHistory::Content;
}

// Faults that never end the update by themselves.
void Noise(Plan& p, Chooser& c) {
  if (c.Percent(5)) Fault(p, c, Service::Stall, c.Range(1, 300), c.Percent(20));
  if (c.Percent(5)) Fault(p, c, Service::OutputString, c.Range(1, 12));
  if (c.Percent(5)) Fault(p, c, Service::FreePool, c.Range(1, 400));
  if (c.Percent(3)) Fault(p, c, Service::ShellWriteFile, 1);
  if (c.Percent(3)) Fault(p, c, Service::ShellCloseFile, c.Range(1, 2));
  if (c.Percent(2)) Fault(p, c, Service::LocateProtocol, c.Range(2, 4));
  // The history's own calls come last: its write, its reads and its close.
  if (c.Percent(3)) Fault(p, c, Service::ShellWriteFile, 2);
  if (c.Percent(2)) Fault(p, c, Service::ShellReadFile, 1);
  if (c.Percent(2)) Fault(p, c, Service::ShellSetFilePosition, c.Range(1, 2));
  if (c.Percent(2)) Fault(p, c, Service::ShellCloseFile, c.Range(2, 3));
  if (c.Percent(2)) Fault(p, c, Service::LocateProtocol, c.Range(5, 12));
  if (c.Percent(6)) {
    static const Service kEarly[] = {Service::LocateHandleBuffer, Service::OpenProtocol,
                                     Service::CloseProtocol};
    Fault(p, c, kEarly[c.Below(3)], c.Range(1, 30));
  }
}

// What the OS left for this start, and how the firmware keeps variables.
void RequestAndVariables(Plan& p, Chooser& c) {
  static const char* const kAfter[] = {"", "after=return\n", "after=reboot\n", "after=shutdown\n"};
  static const char* const kMalformed[] = {
      "format=2\nid=a\n", "format=1\nid=\n", "format=1\nid=a b\n", "format=1\nid=a",
      "format=1\nid=a\nwhen=now\n", "format=1\r\nid=a\r\n", "id=a\n", "format=1\nid=a\nafter=later\n",
      "format=1\nid=a\nmode=install\n", "format=1\nid=a\nallow=newer\n", "format=1\nid=a\nallow=\n",
      "format=1\nid=a\nmode=identify\nmode=identify\n", "format=1\nid=a\nallow=same\nallow=older\n"};
  static const char* const kMode[] = {"", "mode=update\n", "mode=identify\n"};
  static const char* const kAllow[] = {"", "allow=same\n", "allow=older\n", "allow=any\n"};
  switch (c.Pick({60, 30, 10})) {
    case 1: {
      p.request = RequestKind::Valid;
      const size_t kind = c.Below(4);
      p.after = kind <= 1 ? 0 : static_cast<unsigned>(kind - 1);
      p.requestId = c.Percent(20) ? std::string(64, 'z') : "job-" + std::to_string(c.Below(1000)) + ":A_b.9";
      const size_t mode = c.Pick({70, 15, 15}), allow = c.Pick({55, 15, 15, 15});
      p.identify = mode == 2;
      p.allowSame = allow == 1 || allow == 3;
      p.allowOlder = allow >= 2;
      // The keys come in any order after the format line.
      p.requestText = "format=1\n" + std::string(kAllow[allow]) + "id=" + p.requestId + "\n" + kMode[mode] +
                      kAfter[kind];
      break;
    }
    case 2:
      p.request = RequestKind::Malformed;
      p.requestText = c.Percent(10) ? "format=1\nid=" + std::string(65, 'x') + "\n"
                      : c.Percent(10) ? std::string(1100, 'x')
                                      : kMalformed[c.Below(sizeof kMalformed / sizeof kMalformed[0])];
      break;
    default:
      break;
  }
  p.variablesReadOnly = c.Percent(3);
  p.variablesFull = c.Percent(3);
  if (c.Percent(4)) Fault(p, c, Service::GetVariable, 1);
  if (c.Percent(6)) Fault(p, c, Service::SetVariable, c.Range(1, 3));
}

void NetworkWay(Plan& p, Chooser& c) {
  p.net.noService = c.Percent(5);
  p.net.unaddressed = c.Percent(10);
  if (c.Percent(60)) p.net.dhcpAfter = c.Range(1, 12) * uint64_t{1000000};
  for (ServerAnswer& a : p.net.answers) a = static_cast<ServerAnswer>(c.Pick({60, 8, 8, 8, 8, 8}));
}

}  // namespace

Plan Draw(Chooser& c) {
  Plan p;
  p.handles = static_cast<unsigned>(c.Pick({4, 80, 11, 5}));
  SimScenario s = SimDefaultScenario();
  Identity(c, s);
  LateWithinLimits(c, s, 12);
  const size_t aim = Aim(p, c, s);
  for (SimScenario& each : p.converters) each = s;

  OldLogFile(p, c);
  p.createTruncates = c.Percent(50);
  OldHistoryFile(p, c);
  p.withoutShell = c.Percent(25);
  p.network = p.withoutShell && c.Percent(30);
  if (p.network) NetworkWay(p, c);
  RequestAndVariables(p, c);
  if (aim == kPoolRefuses) Fault(p, c, Service::AllocatePool, 1);
  if (aim == kLogCannotBeHad) LogCannotBeHad(p, c);
  if (aim == kFirmwareCallFails) FirmwareCallFails(p, c);
  if (aim == kDriverCallFails && p.handles > 0) DriverCallFails(p, c);
  if (p.handles >= 2 && c.Percent(30)) OneConverterDiffers(p, c);
  Noise(p, c);
  return p;
}

}  // namespace soak
