// The resident driver's campaign: runs of the driver drawn with the same
// kinds of faults as the program's (converters on any port, failing driver
// and firmware calls, several handles, a store that refuses, a clock that
// does not answer, ReadyToBoot signalled more than once), each judged
// against what the converters themselves saw and answered.
#include "tests/soak/resident.h"

#include <memory>

#include "contract/reading.h"
#include "platform/variables.h"
#include "resident/resident.h"
#include "sim/gop_binding.h"

namespace soak {
namespace {

using dbl::Service;

constexpr EFI_GUID kReadyToBoot = {0x7ce88fb3, 0x4bd7, 0x4679, {0x87, 0xa8, 0xa8, 0xd8, 0xde, 0xe5, 0x0d, 0x2b}};
// The probe's six ports and identification's seven reads.
constexpr uint64_t kMostLinkOperations = 13;

constexpr Service kFaultable[] = {Service::CreateEventEx, Service::CloseEvent,    Service::LocateProtocol,
                                  Service::LocateHandleBuffer, Service::OpenProtocol, Service::CloseProtocol,
                                  Service::GetTime,       Service::SetVariable};

void DrawConverter(Chooser& c, SimScenario& s) {
  s = SimDefaultScenario();
  s.displayDriven = c.Percent(90);
  s.answeringPort = c.Percent(80) ? 2 * c.Below(6) : c.Below(12);
  s.noAnsweringPort = c.Percent(5);
  s.downstreamPort = c.Byte();
  for (uint8_t& b : s.oui) b = c.Byte();
  s.firmwareMajor = c.Byte();
  s.firmwareMinor = c.Byte();
  s.bootloader = c.Byte();
  if (c.Percent(20)) s.failDpcdRead = {c.Range(1, 8), c.Percent(20) ? kSimNever : c.Range(1, 3)};
  if (c.Percent(15)) s.failI2cRead = {c.Range(1, 7), c.Percent(20) ? kSimNever : c.Range(1, 3)};
}

std::string Text(text::Span span) { return std::string(span.text, span.length); }

// What a value must read as, when it was read at all.
std::string Hex2(uint8_t v) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string{kDigits[v >> 4], kDigits[v & 15]};
}

// The reading judged against the converters: each value that is there is
// what the last handle's converter holds (the link leaves the last
// handle's byte); each that is not had a read fail.
void JudgeReading(const ResidentPlan& plan, const SimConverter& last, const contract::ReadingFields& r,
                  bool clock, std::vector<std::string>* v) {
  enum { kTime, kPort, kBlock, kOui, kBootloader, kFirmware };
  const SimScenario& s = last.scenario;
  if (plan.handles == 0 && r.state != contract::ReadingState::None) v->push_back("a reading other than none without the driver");
  bool empty = false;
  for (size_t i = kPort; i < contract::kReadingValueCount; i++) empty = empty || r.value[i].length == 0;
  if (r.state == contract::ReadingState::Seen && empty) v->push_back("seen, with a value missing");
  if (r.state == contract::ReadingState::Unreadable && !empty) v->push_back("unreadable, with every value there");
  if (r.state == contract::ReadingState::None && !empty) v->push_back("none, with a value there");
  if (Text(r.value[kTime]) != (clock ? "2026-12-08T12:00:00" : "")) v->push_back("time= is " + Text(r.value[kTime]));
  const auto check = [&](int key, const std::string& want) {
    if (r.value[key].length != 0 && Text(r.value[key]) != want)
      v->push_back(std::string(contract::kReadingKeys[2 + key]) + "= is " + Text(r.value[key]) + ", the converter holds " + want);
  };
  // A port is named only when every converter answers there.
  for (unsigned i = 0; i < plan.handles; i++)
    if (r.value[kPort].length != 0 && (plan.converters[i].noAnsweringPort ||
                                       std::to_string(plan.converters[i].answeringPort) != Text(r.value[kPort])))
      v->push_back("port= " + Text(r.value[kPort]) + " names a port where converter " + std::to_string(i) + " is not");
  check(kBlock, s.downstreamPort & 1 ? "0x500" : "0x400");
  check(kOui, Hex2(last.vendor[kSimRegOui]) + Hex2(last.vendor[kSimRegOui + 1]) + Hex2(last.vendor[kSimRegOui + 2]));
  const char* hex = "0123456789ABCDEF";
  check(kBootloader, std::string{hex[s.bootloader >> 4]} + ".0." + hex[s.bootloader & 15]);
  check(kFirmware, "0x" + Hex2(s.firmwareMajor) + "_0x" + Hex2(s.firmwareMinor));
}

// What a converter may note that is not the driver's doing: DPCD asked
// for before a mode change it must never make, and the vendor block of
// another handle's converter (the block follows the last handle's 0x005).
uint32_t Excused(const ResidentPlan& plan, unsigned i, const SimConverter* c) {
  uint32_t excused = 0;
  if (!plan.converters[i].displayDriven) excused += SimViolationCount(c, SimViolation::kDpcdBeforeModeChange);
  const SimScenario& last = plan.converters[plan.handles - 1];
  if ((last.downstreamPort & 1) != (plan.converters[i].downstreamPort & 1))
    excused += SimViolationCount(c, SimViolation::kOtherVendorBlock);
  return excused;
}

// The firmware's clock answers unless it was made to fail: the driver
// asks it once.
bool ClockAnswers(const ResidentPlan& plan) {
  if (plan.clockFails) return false;
  for (const FaultPlan& f : plan.faults)
    if (f.service == Service::GetTime && f.nth == 1) return false;
  return true;
}

// What the run left behind, against the rules every run keeps.
void Judge(const ResidentPlan& plan, dbl::UefiDouble& uefi, EFI_STATUS entry, SimConverter* const* converters,
           std::vector<std::string>* v) {
  if (uefi.Calls(Service::Stall) != 0) v->push_back("the driver stalled");
  if (!uefi.OutputCalls().empty()) v->push_back("the driver printed: " + uefi.Console());
  if (uefi.PoolBlocksOutstanding() != 0) v->push_back("pool blocks left: " + std::to_string(uefi.PoolBlocksOutstanding()));
  if (uefi.Calls(Service::LocateHandleBuffer) > kMostLinkOperations)
    v->push_back(std::to_string(uefi.Calls(Service::LocateHandleBuffer)) + " link operations");
  if (uefi.Calls(Service::SetVariable) > 1) v->push_back("the reading was written more than once");
  for (unsigned i = 0; i < plan.handles; i++) {
    const SimRecord& r = converters[i]->record;
    if (r.dpcdWrites + r.i2cWrites != 0) v->push_back("a write reached converter " + std::to_string(i));
    if (r.violationCount != Excused(plan, i, converters[i]))
      v->push_back("converter " + std::to_string(i) + ": " + SimViolationName(r.violations[0].code));
    if (r.accessCount > kMostLinkOperations) v->push_back("converter " + std::to_string(i) + " was read more than once a boot");
  }
  const bool registered = !EFI_ERROR(entry);
  const std::string reading = uefi.VariableData(u"PelloryConverter", kPelloryVariableGuid);
  if (!registered && (uefi.Calls(Service::LocateProtocol) != 0 || !reading.empty()))
    v->push_back("the driver read without its event");
  if (reading.empty()) return;
  if (uefi.VariableAttributes(u"PelloryConverter", kPelloryVariableGuid) != kPelloryVolatileAttributes)
    v->push_back("PelloryConverter is not volatile");
  contract::ReadingFields fields;
  if (contract::ParseReading(reading.data(), reading.size(), &fields) != contract::ReadingError::None) {
    v->push_back("PelloryConverter does not parse: " + reading);
    return;
  }
  if (plan.handles > 0) JudgeReading(plan, *converters[plan.handles - 1], fields, ClockAnswers(plan), v);
  else if (fields.state != contract::ReadingState::None) v->push_back("a reading without any converter");
}

}  // namespace

const char* LeftName(Left l) {
  static const char* const kNames[] = {"no event", "no reading", "seen", "unreadable", "none"};
  static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(Left::Count));
  return kNames[static_cast<size_t>(l)];
}

ResidentPlan DrawResident(Chooser& c) {
  ResidentPlan p;
  p.handles = static_cast<unsigned>(c.Pick({8, 80, 12}));
  DrawConverter(c, p.converters[0]);
  for (unsigned i = 1; i < kMaxConverters; i++) p.converters[i] = c.Percent(70) ? p.converters[0] : p.converters[i];
  for (unsigned i = 1; i < p.handles; i++)
    if (c.Percent(30)) DrawConverter(c, p.converters[i]);
  p.signals = c.Range(1, 3);
  p.variablesReadOnly = c.Percent(4);
  p.clockFails = c.Percent(6);
  const unsigned faults = c.Pick({60, 30, 10});
  for (unsigned f = 0; f < faults; f++) {
    const Service s = kFaultable[c.Below(sizeof kFaultable / sizeof kFaultable[0])];
    p.faults.push_back({s, c.Range(1, 8), c.Percent(25), EFI_DEVICE_ERROR});
  }
  return p;
}

std::string DescribeResident(const ResidentPlan& p) {
  std::string text = std::to_string(p.handles) + " handle(s), ReadyToBoot signalled " + std::to_string(p.signals) + " time(s)";
  for (unsigned i = 0; i < p.handles; i++) {
    const SimScenario& s = p.converters[i];
    text += "\nconverter " + std::to_string(i) + ": " +
            (s.noAnsweringPort ? std::string("answers on no port") : "port " + std::to_string(s.answeringPort)) +
            ", 0x005 = " + std::to_string(s.downstreamPort) + (s.displayDriven ? ", drives a display" : "") +
            (s.failDpcdRead.nth ? ", DPCD read " + std::to_string(s.failDpcdRead.nth) + " fails" : "") +
            (s.failI2cRead.nth ? ", I2C read " + std::to_string(s.failI2cRead.nth) + " fails" : "");
  }
  for (const FaultPlan& f : p.faults)
    text += std::string("\n") + dbl::ServiceName(f.service) + " call " + std::to_string(f.nth) + (f.onward ? " on" : "") + " fails";
  if (p.variablesReadOnly) text += "\nthe variable store refuses every write";
  if (p.clockFails) text += "\nthe clock does not answer";
  return text;
}

RunResult RunResident(const ResidentPlan& plan) {
  RunResult result;
  std::unique_ptr<SimConverter> owned[kMaxConverters];
  SimConverter* converters[kMaxConverters] = {};
  dbl::UefiDouble uefi;
  for (unsigned i = 0; i < plan.handles; i++) {
    owned[i] = std::make_unique<SimConverter>();
    converters[i] = owned[i].get();
    SimInit(converters[i], &plan.converters[i]);
  }
  if (plan.handles > 0) {
    EFI_HANDLE made[kSimMaxHandles] = {};
    if (EFI_ERROR(SimInstall(uefi.SystemTable()->BootServices, converters, plan.handles, made)))
      result.violations.push_back("the converters could not be installed");
  }
  uefi.SetVariablesReadOnly(plan.variablesReadOnly);
  if (plan.clockFails) uefi.FailFrom(Service::GetTime, 1);
  for (const FaultPlan& f : plan.faults) {
    const uint64_t nth = uefi.Calls(f.service) + f.nth;
    if (f.onward) uefi.FailFrom(f.service, nth, f.status);
    else uefi.FailAt(f.service, nth, f.status);
  }
  const EFI_STATUS entry = ResidentStart(uefi.ImageHandle(), uefi.SystemTable());
  for (unsigned i = 0; i < plan.signals; i++) (void)uefi.SignalEventGroup(kReadyToBoot);
  Judge(plan, uefi, entry, converters, &result.violations);
  const std::string reading = uefi.VariableData(u"PelloryConverter", kPelloryVariableGuid);
  contract::ReadingFields fields;
  if (EFI_ERROR(entry)) result.left = Left::NoEvent;
  else if (contract::ParseReading(reading.data(), reading.size(), &fields) != contract::ReadingError::None)
    result.left = Left::NoReading;
  else result.left = static_cast<Left>(static_cast<int>(Left::Seen) + static_cast<int>(fields.state));
  for (unsigned i = 0; i < plan.handles; i++) result.linkOperations += converters[i]->record.accessCount;
  result.console = uefi.Console();
  return result;
}

}  // namespace soak
