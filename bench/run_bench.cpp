// serivane-run's goal for many ports at once: each port on its own thread with its own control
// and engine, so 8 plug ports together take at most 1.3 times one port alone, and 32 at most
// 2 times. One pass of all five tests on the virtual plug in real time, the way serivane-run
// drives it (without result files); then 64 plug ports, and 1 and 64 pseudo-terminals whose far
// ends echo from one thread (tests 1 to 3: a terminal has no modem lines), where 64 should take
// at most 1.2 times one. The ratios to one port of each kind are printed at the end of the run.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/clock.h"
#include "tools/run/port_run.h"

namespace {

using serivane::run::PortOutcome;
using serivane::run::PortRun;

// Seconds per iteration of each port count, as measured in this run: plug ports as the count,
// pseudo-terminals as the count plus kPty.
constexpr int kPty = 1000;
std::map<int, double> seconds;

// Runs one pass on each outcome at once, one thread a port; false when a port failed.
bool RunAtOnce(const std::vector<PortOutcome>& outcomes) {
  std::vector<std::unique_ptr<PortRun>> runs;
  for (const PortOutcome& outcome : outcomes)
    runs.push_back(std::make_unique<PortRun>(outcome, 1, serivane::SystemClock()));
  std::vector<std::thread> threads;
  for (auto& run : runs) threads.emplace_back([&run] { run->Execute(); });
  for (auto& t : threads) t.join();
  return std::all_of(runs.begin(), runs.end(),
                     [](const auto& run) { return run->Outcome().Passed(); });
}

void BM_PlugPortsAtOnce(benchmark::State& state) {
  const int ports = static_cast<int>(state.range(0));
  PortOutcome outcome;
  outcome.port = outcome.device = "loopback";
  outcome.settings.ResultFileName = "/dev/null";
  const std::vector<PortOutcome> outcomes(static_cast<std::size_t>(ports), outcome);
  bool all_passed = true;
  for (auto _ : state) all_passed = RunAtOnce(outcomes) && all_passed;
  if (!all_passed) state.SkipWithError("a port failed its tests");
  state.counters["ports"] = ports;
}
BENCHMARK(BM_PlugPortsAtOnce)
    ->Arg(1)
    ->Arg(8)
    ->Arg(32)
    ->Arg(64)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Pseudo-terminals whose far ends one thread echoes, as a loopback plug on each would.
class EchoTerminals {
 public:
  explicit EchoTerminals(int count) {
    for (int i = 0; i < count; ++i) {
      const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
      if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return;
      masters_.push_back(master);
      paths_.emplace_back(::ptsname(master));
      // Held open so that a terminal does not hang up between the runs.
      keep_.push_back(::open(paths_.back().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    }
    echo_ = std::thread([this] { Echo(); });
  }
  ~EchoTerminals() {
    done_ = true;
    echo_.join();
    for (int fd : keep_) ::close(fd);
    for (int fd : masters_) ::close(fd);
  }
  const std::vector<std::string>& paths() const { return paths_; }

 private:
  void Echo() {
    std::vector<pollfd> fds;
    for (int fd : masters_) fds.push_back({fd, POLLIN, 0});
    char buffer[4096];
    while (!done_) {
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (const pollfd& p : fds) {
        if ((p.revents & POLLIN) == 0) continue;
        const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
        for (ssize_t at = 0; n > 0 && at < n;) {
          const ssize_t w = ::write(p.fd, buffer + at, static_cast<std::size_t>(n - at));
          if (w > 0) at += w;
          if (w < 0) {
            pollfd out{p.fd, POLLOUT, 0};
            ::poll(&out, 1, 10);
          }
        }
      }
    }
  }

  std::vector<int> masters_;
  std::vector<int> keep_;
  std::vector<std::string> paths_;
  std::atomic<bool> done_{false};
  std::thread echo_;
};

void BM_PtyPortsAtOnce(benchmark::State& state) {
  const int ports = static_cast<int>(state.range(0));
  EchoTerminals terminals(ports);
  if (static_cast<int>(terminals.paths().size()) != ports) {
    state.SkipWithError("not enough pseudo-terminals");
    return;
  }
  std::vector<PortOutcome> outcomes;
  for (const std::string& path : terminals.paths()) {
    PortOutcome outcome;
    outcome.port = outcome.device = path;
    outcome.no_modem_lines = true;
    outcome.settings.ResultFileName = "/dev/null";
    outcome.settings.TestSelected = {false, true, true, true, false, false};
    outcomes.push_back(outcome);
  }
  bool all_passed = true;
  for (auto _ : state) all_passed = RunAtOnce(outcomes) && all_passed;
  if (!all_passed) state.SkipWithError("a port failed its tests");
  state.counters["ports"] = kPty + ports;
}
BENCHMARK(BM_PtyPortsAtOnce)
    ->Arg(1)
    ->Arg(64)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Keeps the measured time of each port count for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0 || run.error_occurred) continue;
      seconds[static_cast<int>(run.counters.at("ports").value)] =
          run.real_accumulated_time / static_cast<double>(run.iterations);
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const int base : {0, kPty}) {
    if (seconds.count(base + 1) == 0) continue;
    const double one = seconds[base + 1];
    for (const auto& [key, s] : seconds) {
      if (key <= base || key > base + kPty - 1) continue;
      const int ports = key - base;
      const double goal = base == kPty ? 1.2 : ports >= 32 ? 2.0 : ports >= 8 ? 1.3 : 1.0;
      std::printf("%2d %s: %7.1f ms, %.2f x one (goal <= %.1f x): %s\n", ports,
                  base == kPty ? "ptys " : "plugs", s * 1000, s / one, goal,
                  s / one <= goal ? "met" : "NOT met");
    }
  }
  benchmark::Shutdown();
  return 0;
}
