// serivane-run's goal for many ports at once: each port on its own thread with its own control
// and engine, so 8 plug ports together take at most 1.3 times one port alone, and 32 at most
// 2 times. One pass of all five tests on the virtual plug in real time, the way serivane-run
// drives it (without result files). The ratios to one port are printed at the end of the run.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/clock.h"
#include "tools/run/port_run.h"

namespace {

using serivane::run::PortOutcome;
using serivane::run::PortRun;

// Seconds per iteration of each port count, as measured in this run.
std::map<int, double> seconds;

void BM_PlugPortsAtOnce(benchmark::State& state) {
  const int ports = static_cast<int>(state.range(0));
  PortOutcome outcome;
  outcome.port = outcome.device = "loopback";
  outcome.settings.ResultFileName = "/dev/null";
  bool all_passed = true;
  for (auto _ : state) {
    std::vector<std::unique_ptr<PortRun>> runs;
    for (int i = 0; i < ports; ++i)
      runs.push_back(std::make_unique<PortRun>(outcome, 1, serivane::SystemClock()));
    std::vector<std::thread> threads;
    for (auto& run : runs) threads.emplace_back([&run] { run->Execute(); });
    for (auto& t : threads) t.join();
    for (auto& run : runs) all_passed = all_passed && run->Outcome().Passed();
  }
  if (!all_passed) state.SkipWithError("a port failed its tests");
  state.counters["ports"] = ports;
}
BENCHMARK(BM_PlugPortsAtOnce)
    ->Arg(1)
    ->Arg(8)
    ->Arg(32)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Keeps the measured time of each port count for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
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
  if (seconds.count(1) != 0) {
    const double one = seconds[1];
    for (const auto& [ports, s] : seconds) {
      const double goal = ports >= 32 ? 2.0 : ports >= 8 ? 1.3 : 1.0;
      std::printf("%2d ports: %7.1f ms, %.2f x one port (goal <= %.1f x): %s\n", ports, s * 1000,
                  s / one, goal, s / one <= goal ? "met" : "NOT met");
    }
  }
  benchmark::Shutdown();
  return 0;
}
