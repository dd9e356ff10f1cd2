// soak --runs N --seed S [--jobs J]: N whole runs of the program, run i
// drawn from (S, i); one line per violation, naming the run that replays
// it, then the figures and "N runs, V violations". Exit status 1 on any
// violation.
// soak --seed S --run i: that one run, told in full.
// With --resident, the same for runs of the resident identification driver.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/soak/campaign.h"
#include "tests/soak/resident.h"

namespace {

using soak::Outcome;

constexpr size_t kOutcomes = static_cast<size_t>(Outcome::Count);
constexpr size_t kLefts = static_cast<size_t>(soak::Left::Count);

struct Tally {
  uint64_t runs = 0;
  uint64_t violations = 0;
  uint64_t maxMicros = 0;
  uint64_t maxMicrosRun = 0;
  uint64_t linkOperations = 0;
  uint64_t outcomes[kOutcomes] = {};
  uint64_t lefts[kLefts] = {};
};

struct Options {
  uint64_t runs = 100;
  uint64_t seed = 1;
  unsigned jobs = 1;
  bool replay = false;
  uint64_t run = 0;
  bool resident = false;
};

// Run i of the campaign asked for.
soak::RunResult RunNumbered(const Options& o, uint64_t i) {
  soak::PrngChooser chooser(o.seed, i);
  if (o.resident) return soak::RunResident(soak::DrawResident(chooser));
  return soak::RunOne(soak::Draw(chooser));
}

// One write per line, so that the lines of parallel workers never mix.
void Say(const std::string& line) {
  std::string text = line.size() > 2000 ? line.substr(0, 2000) + "..." : line;
  text += "\n";
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// One broken rule of one run, with the command that replays the run.
void SayViolation(const Options& o, uint64_t run, const std::string& what) {
  const std::string seed = std::to_string(o.seed), number = std::to_string(run);
  Say("violation: seed " + seed + " run " + number + ": " + what + "  (replay: soak " +
      (o.resident ? "--resident " : "") + "--seed " + seed + " --run " + number + ")");
}

// Workers take the next run from a counter they share, so that a worker
// that drew long runs does not hold the others up at the end. `current`
// shows the parent which run a worker is in, should it die there.
void Batch(const Options& o, uint64_t* next, uint64_t* current, Tally* t) {
  for (uint64_t i = __atomic_fetch_add(next, 1, __ATOMIC_RELAXED); i < o.runs;
       i = __atomic_fetch_add(next, 1, __ATOMIC_RELAXED)) {
    __atomic_store_n(current, i, __ATOMIC_RELAXED);
    const soak::RunResult r = RunNumbered(o, i);
    t->runs++;
    t->outcomes[static_cast<size_t>(r.outcome)]++;
    t->lefts[static_cast<size_t>(r.left)]++;
    t->linkOperations += r.linkOperations;
    if (r.micros > t->maxMicros) {
      t->maxMicros = r.micros;
      t->maxMicrosRun = i;
    }
    for (const std::string& v : r.violations) {
      t->violations++;
      SayViolation(o, i, v);
    }
  }
}

void Add(Tally* sum, const Tally& t) {
  sum->runs += t.runs;
  sum->violations += t.violations;
  sum->linkOperations += t.linkOperations;
  if (t.maxMicros > sum->maxMicros) {
    sum->maxMicros = t.maxMicros;
    sum->maxMicrosRun = t.maxMicrosRun;
  }
  for (size_t k = 0; k < kOutcomes; k++) sum->outcomes[k] += t.outcomes[k];
  for (size_t k = 0; k < kLefts; k++) sum->lefts[k] += t.lefts[k];
}

// Workers in processes of their own: the double and the model are single
// instances per process. Each sends its tally back through a pipe; a worker
// that dies (a sanitizer report, a crash) is told with the run it was in.
bool Parallel(const Options& o, Tally* sum) {
  const size_t words = 1 + o.jobs;  // the shared counter, then each worker's run
  void* shared = mmap(nullptr, words * sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return false;
  auto* next = static_cast<uint64_t*>(shared);
  *next = 0;
  int fds[2];
  if (pipe(fds) != 0) return false;
  std::vector<pid_t> workers;
  for (unsigned w = 0; w < o.jobs; w++) {
    next[1 + w] = o.runs;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      close(fds[0]);
      Tally t;
      Batch(o, next, &next[1 + w], &t);
      ssize_t n = write(fds[1], &t, sizeof t);
      _exit(n == static_cast<ssize_t>(sizeof t) ? 0 : 1);
    }
    workers.push_back(pid);
  }
  close(fds[1]);
  bool ok = true;
  for (unsigned w = 0; w < o.jobs; w++) {
    Tally t;
    if (read(fds[0], &t, sizeof t) != static_cast<ssize_t>(sizeof t)) break;
    Add(sum, t);
  }
  close(fds[0]);
  for (unsigned w = 0; w < o.jobs; w++) {
    int status = 0;
    if (waitpid(workers[w], &status, 0) >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) continue;
    ok = false;
    const uint64_t run = __atomic_load_n(&next[1 + w], __ATOMIC_RELAXED);
    if (run < o.runs) SayViolation(o, run, "the run did not end");
  }
  munmap(shared, words * sizeof(uint64_t));
  return ok;
}

// The console as a reader would want it in a report: line ends as lines,
// a run of progress lines as its first and last.
std::string Readable(const std::string& console) {
  std::string out;
  size_t i = 0;
  while (i < console.size()) {
    if (console.compare(i, 5, "Page:") == 0 && i + 8 <= console.size() && console[i + 7] == '\r') {
      size_t first = i, count = 0;
      while (console.compare(i, 5, "Page:") == 0 && i + 8 <= console.size() && console[i + 7] == '\r') {
        i += 8;
        count++;
      }
      out += console.substr(first, 7) + (count > 1 ? " .. " + console.substr(i - 8, 7) : "") + " (" +
             std::to_string(count) + " progress lines, each ending in CR)\n";
      continue;
    }
    if (console.compare(i, 2, "\r\n") == 0) {
      out += "\n";
      i += 2;
      continue;
    }
    out += console[i] == '\r' ? std::string("<CR>") : std::string(1, console[i]);
    i++;
  }
  return out;
}

int Replay(const Options& o) {
  soak::PrngChooser chooser(o.seed, o.run);
  std::string described;
  soak::RunResult r;
  if (o.resident) {
    const soak::ResidentPlan plan = soak::DrawResident(chooser);
    described = soak::DescribeResident(plan);
    r = soak::RunResident(plan);
  } else {
    const soak::Plan plan = soak::Draw(chooser);
    described = soak::Describe(plan);
    r = soak::RunOne(plan);
  }
  std::printf("seed %llu run %llu\n%s\n", static_cast<unsigned long long>(o.seed),
              static_cast<unsigned long long>(o.run), described.c_str());
  std::printf("--- console ---\n%s--- end ---\noutcome: %s, virtual time %.1f s, %llu link operations\n",
              Readable(r.console).c_str(), o.resident ? soak::LeftName(r.left) : soak::OutcomeName(r.outcome),
              static_cast<double>(r.micros) / 1e6,
              static_cast<unsigned long long>(r.linkOperations));
  for (const std::string& v : r.violations) std::printf("violation: %s\n", v.c_str());
  std::printf("1 runs, %zu violations\n", r.violations.size());
  return r.violations.empty() ? 0 : 1;
}

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    if (arg == "--resident") {
      o->resident = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const uint64_t value = std::strtoull(argv[++i], nullptr, 0);
    if (arg == "--runs") {
      o->runs = value;
    } else if (arg == "--seed") {
      o->seed = value;
    } else if (arg == "--jobs") {
      o->jobs = value == 0 ? 1 : static_cast<unsigned>(value);
    } else if (arg == "--run") {
      o->replay = true;
      o->run = value;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, &o)) {
    std::fprintf(stderr, "usage: soak [--resident] --runs N --seed S [--jobs J] | soak [--resident] --seed S --run I\n");
    return 2;
  }
  if (o.replay) return Replay(o);

  const auto begin = std::chrono::steady_clock::now();
  Tally t;
  if (o.jobs > 1) {
    if (!Parallel(o, &t)) {
      Say("soak: a worker did not finish");
      return 2;
    }
  } else {
    uint64_t next = 0, current = 0;
    Batch(o, &next, &current, &t);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

  std::string shares = o.resident ? "readings:" : "outcomes:";
  for (size_t k = 0; !o.resident && k < kOutcomes; k++)
    if (t.outcomes[k] != 0) shares += " " + std::string(soak::OutcomeName(static_cast<Outcome>(k))) + " " + std::to_string(t.outcomes[k]) + ";";
  for (size_t k = 0; o.resident && k < kLefts; k++)
    if (t.lefts[k] != 0) shares += " " + std::string(soak::LeftName(static_cast<soak::Left>(k))) + " " + std::to_string(t.lefts[k]) + ";";
  Say(shares);
  char figures[256];
  std::snprintf(figures, sizeof figures,
                "%.1f runs/s (%.1f s, %u jobs), %.0f link operations a run, longest virtual time %.1f s (run %llu)",
                static_cast<double>(t.runs) / seconds, seconds, o.jobs,
                static_cast<double>(t.linkOperations) / static_cast<double>(t.runs ? t.runs : 1),
                static_cast<double>(t.maxMicros) / 1e6, static_cast<unsigned long long>(t.maxMicrosRun));
  Say(figures);
  Say(std::to_string(t.runs) + " runs, " + std::to_string(t.violations) + " violations");
  return t.violations == 0 && t.runs == o.runs ? 0 : 1;
}
