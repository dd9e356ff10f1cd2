// One run: a fresh double and fresh converters set up as the plan says, the
// witness in the tables, the faults armed, the program started as the shell
// starts it, and the run judged.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "payload/firmware_image.h"
#include "platform/efi_network.h"
#include "platform/start.h"
#include "platform/variables.h"
#include "tests/soak/invariants.h"

namespace soak {
namespace {

// The double reports misuse (a bad FreePool, a stale file handle) as a test
// failure; here each becomes a violation of the run.
class Complaints : public testing::EmptyTestEventListener {
 public:
  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (result.failed()) caught.push_back(result.message());
  }
  std::vector<std::string> caught;
};

Complaints& Listener() {
  static Complaints* listener = [] {
    auto* l = new Complaints;
    testing::TestEventListeners& all = testing::UnitTest::GetInstance()->listeners();
    delete all.Release(all.default_result_printer());
    all.Append(l);  // the listener list owns it from here on
    return l;
  }();
  return *listener;
}

dbl::HttpAnswer Answer(ServerAnswer a) {
  switch (a) {
    case ServerAnswer::Slow: return {204, 1000, 9000000};
    case ServerAnswer::Forbidden: return {403};
    case ServerAnswer::ServerError: return {500, 1000, 1000, kEfiHttpError};
    case ServerAnswer::Never: return {201, 1000, std::nullopt};
    case ServerAnswer::Lost: return {201, std::nullopt};
    default: return {};
  }
}

void PrepareLog(const Plan& plan, dbl::UefiDouble& uefi) {
  uefi.SetCreateTruncates(plan.createTruncates);
  // From the volume's root, so log.txt and history.csv lie where a shell
  // start leaves them.
  if (plan.withoutShell) uefi.StartWithoutShell();
  if (plan.network) {
    dbl::NetworkBoot boot;
    boot.httpService = !plan.net.noService;
    boot.addressed = !plan.net.unaddressed;
    if (plan.net.dhcpAfter == 0) boot.dhcpAfter.reset();
    else boot.dhcpAfter = plan.net.dhcpAfter;
    uefi.LoadImageFromNetwork(boot);
    for (ServerAnswer a : plan.net.answers) uefi.AnswerHttp(Answer(a));
  }
  if (plan.request != RequestKind::Absent)
    uefi.PutVariable(u"PelloryRequest", kPelloryVariableGuid, plan.requestText, kPelloryVariableAttributes);
  uefi.SetVariablesReadOnly(plan.variablesReadOnly);
  if (plan.variablesFull) uefi.SetVariableRoom(64);
  if (plan.oldLog == OldLog::Directory) uefi.MakeDirectory("log.txt");
  if (plan.oldLog == OldLog::Content) uefi.PutFile("log.txt", plan.oldContent);
  if (plan.oldHistory == OldHistory::Directory) uefi.MakeDirectory("history.csv");
  if (plan.oldHistory == OldHistory::Content) uefi.PutFile("history.csv", plan.oldHistoryContent);
}

// Faults count from the double's construction; the plan counts from the
// program's start, after the witness's own set-up calls.
void Arm(const Plan& plan, dbl::UefiDouble& uefi) {
  for (const FaultPlan& f : plan.faults) {
    const uint64_t nth = uefi.Calls(f.service) + f.nth;
    if (f.onward) {
      uefi.FailFrom(f.service, nth, f.status);
    } else {
      uefi.FailAt(f.service, nth, f.status);
    }
  }
}

void Collect(dbl::UefiDouble& uefi, SimConverter* const* converters, unsigned count, Final* f) {
  f->micros = uefi.Microseconds();
  f->poolBlocks = uefi.PoolBlocksOutstanding();
  f->openFiles = uefi.OpenFiles();
  f->doubleConsole = uefi.Console();
  f->logExists = uefi.HasFile("log.txt");
  f->logIsDirectory = uefi.IsDirectory("log.txt");
  if (f->logExists && !f->logIsDirectory) f->log = uefi.FileContent("log.txt");
  f->requestLeft = uefi.HasVariable(u"PelloryRequest", kPelloryVariableGuid);
  f->requestNow = uefi.VariableData(u"PelloryRequest", kPelloryVariableGuid);
  for (const dbl::VariableWrite& w : uefi.VariableWrites())
    if (w.name == u"PelloryResult") f->records.push_back(w.data);
  f->getVariableCalls = uefi.Calls(dbl::Service::GetVariable);
  f->setVariableCalls = uefi.Calls(dbl::Service::SetVariable);
  f->reset = uefi.Reset();
  f->requests = uefi.HttpRequests();
  f->historyExists = uefi.HasFile("history.csv");
  f->historyIsDirectory = uefi.IsDirectory("history.csv");
  if (f->historyExists && !f->historyIsDirectory) f->history = uefi.FileContent("history.csv");
  for (unsigned i = 0; i < count; i++) {
    const SimConverter& c = *converters[i];
    f->sequence += c.record.sequence;
    f->modelFailures += c.record.failures;
    f->flashIsImage[i] = std::equal(c.flash, c.flash + kSimFlashSize, FirmwareImage);
    for (uint8_t commits : c.record.pageCommits) f->pageCommits += commits;
    f->modelViolations[i] = c.record.violationCount;
    if (c.record.violationCount > 0) f->firstModelViolation[i] = SimViolationName(c.record.violations[0].code);
  }
}

}  // namespace

RunResult RunOne(const Plan& plan) {
  RunResult result;
  const unsigned count = plan.handles < kMaxConverters ? plan.handles : kMaxConverters;
  std::unique_ptr<SimConverter> owned[kMaxConverters];
  SimConverter* converters[kMaxConverters] = {};
  for (unsigned i = 0; i < count; i++) {
    owned[i] = std::make_unique<SimConverter>();
    converters[i] = owned[i].get();
    SimInit(converters[i], &plan.converters[i]);
  }
  Complaints& complaints = Listener();
  complaints.caught.clear();

  Final final;
  dbl::UefiDouble uefi;
  PrepareLog(plan, uefi);
  {
    Witness witness(uefi, converters, count);
    witness.BreakOpen(plan.brokenOpen, plan.defect);
    Arm(plan, uefi);
    // Where the converters stood at each variable write.
    uefi.onCall = [&](dbl::Service s, uint64_t) {
      if (s == dbl::Service::SetVariable) final.setVariableAt.push_back(witness.Now().sequence);
      if (s == dbl::Service::HttpRequest) final.requestAt.push_back(witness.Now().sequence);
    };
    final.status = RunProgram(uefi.ImageHandle(), uefi.SystemTable());
    uefi.onCall = nullptr;
    witness.Finish();
    Collect(uefi, converters, count, &final);
    final.doubleComplaints = complaints.caught;
    result.outcome = Judge(plan, witness, final, &result.violations);
    result.console = witness.console;
    result.linkOperations = witness.lookups;
  }
  result.micros = final.micros;
  return result;
}

}  // namespace soak

// A whole update allocates and frees a handle list per link operation: a
// small quarantine keeps those pages warm and the fuzzer's memory flat, and
// short allocation stacks keep the bookkeeping cheap. ASAN_OPTIONS still
// overrides both.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:malloc_context_size=8"; }
