// The rules of the record and the request: what the plan leads a run to
// before the converter is touched, and what the firmware variables hold
// once it has returned. Judged from the double's variable store and call
// counts, never from what the program says about itself.
#include <optional>

#include "contract/contract.h"
#include "platform/efi_network.h"
#include "tests/soak/invariants.h"

namespace soak {
namespace {

using dbl::Service;

// The status the plan's faults give the nth call of `s`, if any.
std::optional<EFI_STATUS> FaultOn(const Plan& p, Service s, uint64_t n) {
  for (const FaultPlan& f : p.faults)
    if (f.service == s && (n == f.nth || (f.onward && n > f.nth))) return f.status;
  return std::nullopt;
}

// The record's lines, name and value, in order; false when one is no
// `name=value` line.
bool Split(const std::string& text, std::vector<std::pair<std::string, std::string>>* lines) {
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    const size_t equals = text.find('=', at);
    if (end == std::string::npos || equals == std::string::npos || equals > end) return false;
    lines->emplace_back(text.substr(at, equals - at), text.substr(equals + 1, end - equals - 1));
    at = end + 1;
  }
  return true;
}

constexpr const char* const* kKeys = contract::kRecordKeys;

// One record against what it must say; the converter's fields are empty
// until identification read them.
void CheckRecord(const std::string& text, const char* which, const std::string& request,
                 const std::string& start, const std::string& bootloader, const std::string& firmware,
                 const std::string& outcome, std::vector<std::string>& v) {
  std::vector<std::pair<std::string, std::string>> lines;
  bool ok = text.size() <= 1024 && Split(text, &lines) && lines.size() == contract::kRecordKeyCount;
  for (size_t i = 0; ok && i < lines.size(); i++) ok = lines[i].first == kKeys[i];
  if (!ok) return v.push_back(std::string(which) + " record is not the record's lines: \"" + text.substr(0, 200) + "\"");
  const auto expect = [&](size_t i, const std::string& value) {
    if (lines[i].second != value)
      v.push_back(std::string(which) + " record has " + kKeys[i] + "=" + lines[i].second + ", not " + value);
  };
  expect(0, "1");
  expect(1, request);
  expect(2, start);
  expect(9, bootloader);
  expect(10, firmware);
  expect(12, outcome);
  if (bootloader.empty()) expect(8, "");
}

}  // namespace

namespace {

bool Started(const dbl::HttpRequestSeen& r) { return r.body.ends_with("\noutcome=started\n"); }

// The sends: only a network start's, each at most once, to one file, with
// the record's bytes of its moment: the first before the converter is
// touched, the final once it is left alone (and the same bytes as the
// variable's last write).
void JudgeSends(const Expectation& e, const Final& f, const std::string& request, const std::string& outcome,
                const std::string& bootloader, const std::string& firmware, std::vector<std::string>& v) {
  const auto expect = [&](bool ok, const std::string& what) {
    if (!ok) v.push_back(what);
  };
  if (!e.network) return expect(f.requestAt.empty(), "a start other than the network's sent its record");
  expect(f.requestAt.size() <= 2, std::to_string(f.requestAt.size()) + " requests to the boot server");
  for (size_t i = 0; i < f.requests.size(); i++) {
    const dbl::HttpRequestSeen& r = f.requests[i];
    const bool first = Started(r);
    expect(r.method == HttpMethodPut && r.url == f.requests[0].url &&
               r.url.starts_with("http://10.0.2.2/pellory-results/525400123456-") && r.url.ends_with(".txt"),
           "a request other than the PUT of the run's one file: " + r.url);
    expect(!first || i == 0, "the started record sent after another");
    if (first) CheckRecord(r.body, "the first send", request, "network", "", "", "started", v);
    else CheckRecord(r.body, "the final send", request, "network", bootloader, firmware, outcome, v);
    if (!first && e.finalKept && !f.records.empty()) expect(r.body == f.records.back(), "the final send's bytes are not the record's");
  }
  if (!f.requestAt.empty() && !f.requests.empty() && Started(f.requests.front()))
    expect(f.requestAt.front() == 0, "the converter was touched before the first send");
  if (f.requestAt.size() == 2 || (f.requestAt.size() == 1 && !f.requests.empty() && !Started(f.requests.back())))
    expect(f.requestAt.back() == f.sequence, "converter calls after the final send");
}

}  // namespace

Expectation Foresee(const Plan& p, bool withoutShell, bool network,
                    const std::vector<dbl::HttpRequestSeen>& requests) {
  Expectation e;
  e.firstSent = network && !requests.empty() && Started(requests.front()) && requests.front().taken;
  e.finalSent = network && !requests.empty() && !Started(requests.back()) && requests.back().taken;
  e.withoutShell = withoutShell;
  e.network = network;
  if (withoutShell) {
    const std::optional<EFI_STATUS> read = FaultOn(p, Service::GetVariable, 1);
    // A firmware that keeps no variables, or says there is none, has no
    // request; any other failure is a request that cannot be read.
    e.requestSeen = read ? *read != EFI_NOT_FOUND && *read != EFI_UNSUPPORTED : p.request != RequestKind::Absent;
    e.valid = e.requestSeen && !read && p.request == RequestKind::Valid;
  }
  uint64_t call = 0;
  const auto kept = [&](bool deletion) {
    ++call;
    return !FaultOn(p, Service::SetVariable, call) && !p.variablesReadOnly && (deletion || !p.variablesFull);
  };
  if (e.requestSeen) e.deleted = kept(true) && p.request != RequestKind::Absent;
  e.firstKept = kept(false);
  e.finalKept = kept(false);
  e.unattended = e.requestSeen;
  e.prompt = withoutShell && !e.unattended;
  if (e.requestSeen && !e.valid) {
    e.early = Outcome::Request;
  } else if (e.valid && !e.deleted) {
    e.early = Outcome::Uncleared;
  } else if (network && !e.firstKept && !e.firstSent) {
    e.early = Outcome::File;
  }
  if (e.valid && p.after == 1) e.reset = EfiResetCold;
  if (e.valid && p.after == 2) e.reset = EfiResetShutdown;
  e.status = e.unattended ? EFI_ABORTED : EFI_SUCCESS;
  return e;
}

void JudgeRecord(const Plan& p, const Expectation& e, const Final& f, const std::string& outcome,
                 const std::string& bootloader, const std::string& firmware, std::vector<std::string>* violations) {
  std::vector<std::string>& v = *violations;
  const auto expect = [&](bool ok, const std::string& what) {
    if (!ok) v.push_back(what);
  };
  expect(f.getVariableCalls == (e.withoutShell ? 1u : 0u),
         std::to_string(f.getVariableCalls) + " reads of a variable" + (e.withoutShell ? "" : " under a shell"));
  const uint64_t writes = 2 + (e.requestSeen ? 1 : 0);
  expect(f.setVariableCalls == writes,
         std::to_string(f.setVariableCalls) + " variable writes, not " + std::to_string(writes));
  // The request's deletion and the first record before the converter is
  // touched; the last record once it is left alone for good.
  for (size_t i = 0; i + 1 < f.setVariableAt.size(); i++)
    expect(f.setVariableAt[i] == 0, "variable write " + std::to_string(i + 1) + " after " +
                                        std::to_string(f.setVariableAt[i]) + " converter calls");
  if (!f.setVariableAt.empty())
    expect(f.setVariableAt.back() == f.sequence, "converter calls after the record's last write");

  const std::string start = !e.withoutShell ? "shell" : e.network ? "network" : "boot";
  const std::string request = e.valid ? p.requestId : "";
  const size_t kept = (e.firstKept ? 1 : 0) + (e.finalKept ? 1 : 0);
  expect(f.records.size() == kept, std::to_string(f.records.size()) + " records kept, not " + std::to_string(kept));
  if (f.records.size() == kept && e.firstKept) CheckRecord(f.records[0], "the first", request, start, "", "", "started", v);
  if (f.records.size() == kept && e.finalKept)
    CheckRecord(f.records.back(), "the last", request, start, bootloader, firmware, outcome, v);

  // Served once: deleted before anything else; a shell start leaves it be.
  const bool planted = p.request != RequestKind::Absent;
  const bool left = e.requestSeen ? planted && !e.deleted : planted;
  expect(f.requestLeft == left, std::string("the request is ") + (f.requestLeft ? "still there" : "gone"));
  if (left) expect(f.requestNow == p.requestText, "the request's bytes changed");
  expect(f.reset == e.reset, f.reset ? "an unasked reset of type " + std::to_string(*f.reset) : "no reset");
  JudgeSends(e, f, request, outcome, bootloader, firmware, v);
}

}  // namespace soak
