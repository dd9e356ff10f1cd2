// bench_host: the whole update on the host, as the host tests run it (the
// converter model installed in the UEFI double, the program started the way
// the shell starts it), but built at -O2 without sanitizers so the time is
// the code's own. Prints one figure a line: name, value, unit, separated by
// tabs. The floor application (floor.cpp) runs the same way, for the
// double's and the model's share of the time. Figures only; nothing here
// passes or fails.
//
//   bench_host [--runs N]             N >= 20 runs of each, default 31
//   bench_host --once program|floor   one run and no figures, for a profiler
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/start.h"
#include "sim/converter.h"
#include "sim/gop_binding.h"
#include "tests/double/uefi_double.h"

extern "C" EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable);

namespace {

using dbl::Service;

enum class Subject { Program, Floor };

constexpr int kMinRuns = 20;

// What one run leaves: the converter's record and the double's figures.
struct Run {
  double milliseconds;
  uint64_t dpcdReads, dpcdWrites, i2cReads, i2cWrites;
  uint64_t calls[static_cast<int>(Service::Count)];
  uint64_t stallCalls, stallMicroseconds;
  size_t poolHighWater, poolBlocksLeft, poolBytesLeft;
  std::string log;
  bool operator==(const Run& o) const {
    return dpcdReads == o.dpcdReads && dpcdWrites == o.dpcdWrites && i2cReads == o.i2cReads &&
           i2cWrites == o.i2cWrites && std::equal(calls, calls + std::size(calls), o.calls) &&
           stallCalls == o.stallCalls && poolHighWater == o.poolHighWater &&
           poolBlocksLeft == o.poolBlocksLeft && log == o.log;
  }
};

// A fresh double and converter for every run, so no run inherits a pool,
// a file or a converter state from the one before.
Run OneRun(Subject subject) {
  dbl::UefiDouble uefi;
  auto converter = std::make_unique<SimConverter>();
  const SimScenario scenario = SimDefaultScenario();
  SimInit(converter.get(), &scenario);
  SimConverter* list[] = {converter.get()};
  EFI_HANDLE handles[1] = {};
  if (EFI_ERROR(SimInstall(uefi.SystemTable()->BootServices, list, 1, handles))) {
    std::fprintf(stderr, "bench_host: the converter could not be installed in the double\n");
    std::exit(1);
  }

  // Calls made while setting up are not the program's.
  uint64_t before[static_cast<int>(Service::Count)];
  for (int s = 0; s < static_cast<int>(Service::Count); s++)
    before[s] = uefi.Calls(static_cast<Service>(s));

  const auto start = std::chrono::steady_clock::now();
  if (subject == Subject::Program) {
    (void)RunProgram(uefi.ImageHandle(), uefi.SystemTable());
  } else {
    (void)efi_main(uefi.ImageHandle(), uefi.SystemTable());
  }
  const auto stop = std::chrono::steady_clock::now();

  Run r{};
  r.milliseconds = std::chrono::duration<double, std::milli>(stop - start).count();
  const SimRecord& rec = converter->record;
  r.dpcdReads = rec.dpcdReads;
  r.dpcdWrites = rec.dpcdWrites;
  r.i2cReads = rec.i2cReads;
  r.i2cWrites = rec.i2cWrites;
  for (int s = 0; s < static_cast<int>(Service::Count); s++)
    r.calls[s] = uefi.Calls(static_cast<Service>(s)) - before[s];
  r.stallCalls = uefi.StallCalls();
  r.stallMicroseconds = uefi.Microseconds();
  r.poolHighWater = uefi.PoolHighWaterBytes();
  r.poolBlocksLeft = uefi.PoolBlocksOutstanding();
  r.poolBytesLeft = uefi.PoolBytesOutstanding();
  r.log = uefi.HasFile("log.txt") ? uefi.FileContent("log.txt") : "(none)";
  return r;
}

void Row(const char* name, const std::string& value, const char* unit) {
  std::printf("%s\t%s\t%s\n", name, value.c_str(), unit);
}

void Row(const char* name, uint64_t value, const char* unit) {
  Row(name, std::to_string(value), unit);
}

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

constexpr Service kBootServices[] = {
    Service::LocateHandleBuffer, Service::OpenProtocol,    Service::CloseProtocol,
    Service::HandleProtocol,     Service::LocateProtocol,  Service::InstallProtocolInterface,
    Service::Stall,              Service::AllocatePool,    Service::FreePool};

std::vector<double> SortedTimes(const std::vector<Run>& runs) {
  std::vector<double> times;
  for (const Run& r : runs) times.push_back(r.milliseconds);
  std::sort(times.begin(), times.end());
  return times;
}

double Median(const std::vector<double>& sorted) {
  const size_t n = sorted.size();
  return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

void Report(const std::vector<Run>& runs, const std::vector<Run>& floorRuns) {
  const std::vector<double> times = SortedTimes(runs);
  const size_t n = times.size();
  const double median = Median(times);
  const double floorMedian = Median(SortedTimes(floorRuns));
  const Run& r = runs.front();
  const bool same = std::all_of(runs.begin(), runs.end(), [&](const Run& o) { return o == r; });

  Row("host: whole update, median wall time", Fixed(median, 2), "ms");
  Row("host: fastest / slowest run", Fixed(times.front(), 2) + " / " + Fixed(times.back(), 2),
      "ms");
  Row("host: floor application, median wall time", Fixed(floorMedian, 2), "ms");
  Row("host: program / floor", Fixed(median / floorMedian, 2), "x");
  Row("host: runs", n, same ? "runs (every run made the same calls)" : "runs (RUNS DIFFERED)");
  Row("host: log.txt", r.log, "");
  Row("host: link ReadDPCD", r.dpcdReads, "calls");
  Row("host: link WriteDPCD", r.dpcdWrites, "calls");
  Row("host: link I2CProtocolRead", r.i2cReads, "calls");
  Row("host: link I2CProtocolWrite", r.i2cWrites, "calls");
  for (Service s : kBootServices) {
    const std::string name = std::string("host: boot service ") + dbl::ServiceName(s);
    Row(name.c_str(), r.calls[static_cast<int>(s)], "calls");
  }
  for (int s = static_cast<int>(Service::OutputString); s < static_cast<int>(Service::Count); s++) {
    if (r.calls[s] == 0) continue;
    const std::string name =
        std::string("host: console/shell ") + dbl::ServiceName(static_cast<Service>(s));
    Row(name.c_str(), r.calls[s], "calls");
  }
  Row("host: stalls", r.stallCalls, "calls");
  Row("host: stalled (virtual clock)", r.stallMicroseconds, "us");
  Row("host: pool high-water mark", r.poolHighWater, "bytes");
  Row("host: pool blocks outstanding at exit", r.poolBlocksLeft, "blocks");
  Row("host: pool bytes outstanding at exit", r.poolBytesLeft, "bytes");
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 31;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--once") == 0 && i + 1 < argc) {
      (void)OneRun(std::strcmp(argv[++i], "floor") == 0 ? Subject::Floor : Subject::Program);
      return 0;
    } else {
      std::fprintf(stderr, "usage: bench_host [--runs N] | --once program|floor   (N >= %d)\n", kMinRuns);
      return 2;
    }
  }
  runs = std::max(runs, kMinRuns);

  // One of each first warms caches and the allocator; not counted.
  (void)OneRun(Subject::Program);
  (void)OneRun(Subject::Floor);
  std::vector<Run> program, floor;
  for (int i = 0; i < runs; i++) {
    program.push_back(OneRun(Subject::Program));
    floor.push_back(OneRun(Subject::Floor));
  }
  Report(program, floor);
  return 0;
}
