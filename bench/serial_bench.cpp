// Bytes moved per second through the serial control: the virtual plug on a ManualClock (the
// control's own cost, no wire) against a round trip through a pseudo-terminal pair. Then a close
// and open of the control on a pseudo-terminal beside the raw system calls on the same terminal,
// with the ratio printed at the end (the figure to compare: absolute times vary with the load).
// Build with the bench preset; on a busy machine repeat in random order (one command line):
//   serial_bench --benchmark_filter=CloseOpen --benchmark_repetitions=5
//                --benchmark_enable_random_interleaving=true
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/clock.h"
#include "serial/comm_control.h"

namespace {

using serivane::ManualClock;
using serivane::serial::CommControl;
using serivane::serial::SystemPaths;

std::string Block(std::size_t n) {
  std::string block(n, '\0');
  for (std::size_t i = 0; i < n; ++i) block[i] = static_cast<char>(i);
  return block;
}

void BM_VirtualPlugRoundTrip(benchmark::State& state) {
  ManualClock clock;
  CommControl control([](std::int16_t) { return std::string("loopback"); }, clock);
  control.LineSettings("4000000,N,8,1");
  control.ReceiveThreshold(0);
  control.OpenState(true);
  const std::string block = Block(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    control.TransmitText(block);
    clock.AdvanceMillis(1000);
    control.Service();
    benchmark::DoNotOptimize(control.ReceivedText());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_VirtualPlugRoundTrip)->Arg(256)->Arg(4096)->Arg(60000);

// The far end of the pseudo-terminal echoes from a thread, as a loopback plug would.
void BM_PseudoTerminalRoundTrip(benchmark::State& state) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  termios raw{};
  tcgetattr(master, &raw);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);
  const std::string slave = ptsname(master);
  const std::string lock_dir = std::filesystem::temp_directory_path().string();

  std::atomic<bool> stop{false};
  std::thread echo([&] {
    char buf[4096];
    while (!stop) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 5) <= 0 || !(p.revents & POLLIN)) continue;
      const ssize_t n = read(master, buf, sizeof buf);
      for (ssize_t done = 0; n > 0 && done < n;) {
        const ssize_t w = write(master, buf + done, static_cast<std::size_t>(n - done));
        if (w > 0) done += w;
      }
    }
  });

  {
    CommControl control([&](std::int16_t) { return slave; }, serivane::SystemClock(),
                        SystemPaths{lock_dir + "/serivane-bench-no-sysfs", lock_dir});
    control.ReceiveThreshold(0);
    control.OpenState(true);
    const std::string block = Block(static_cast<std::size_t>(state.range(0)));
    const auto size = static_cast<std::int32_t>(block.size());
    for (auto _ : state) {
      control.TransmitText(block);
      for (;;) {
        control.Service();
        if (!control.OpenState() || control.InBufferCount() >= size) break;
        pollfd p{control.WatchFd(), POLLIN, 0};
        poll(&p, 1, control.NextServiceMs());
      }
      benchmark::DoNotOptimize(control.ReceivedText());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
  }
  stop = true;
  echo.join();
  close(master);
}
BENCHMARK(BM_PseudoTerminalRoundTrip)->Arg(256)->Arg(4096)->UseRealTime();

// A pseudo-terminal whose slave side stays open in the benchmark, so that the terminal never
// hangs up between a close and the next open.
struct HeldPty {
  HeldPty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    slave = ptsname(master);
    keep = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~HeldPty() {
    if (keep >= 0) close(keep);
    if (master >= 0) close(master);
  }
  int master = -1;
  int keep = -1;
  std::string slave;
};

// The floor: open the terminal, make it raw, close it.
int OpenRaw(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fd;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

void BM_Raw_CloseOpen(benchmark::State& state) {
  HeldPty pty;
  int fd = OpenRaw(pty.slave);
  if (fd < 0) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  for (auto _ : state) {
    close(fd);
    fd = OpenRaw(pty.slave);
  }
  close(fd);
}
BENCHMARK(BM_Raw_CloseOpen)->UseRealTime();

// The control's close and open with every check it makes: the console guard on this machine's
// own sysfs, the lock file, the exclusive open and the settings read back. The path reaches the
// terminal through a link, as /dev/serial/by-id names an adapter. The lock folder is a folder of
// its own on tmpfs (/dev/shm), as /run/lock is on most systems, or on the temporary folder's
// file system when there is no /dev/shm; with argument 1 it is missing, which the control
// tolerates by taking no lock file. The lock file is taken at the first open and kept over each
// close; the difference is the reopen's check that it is still the control's own.
void BM_Control_CloseOpen(benchmark::State& state) {
  HeldPty pty;
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
  std::string dir = (base / "serivane-bench-XXXXXX").string();
  if (pty.keep < 0 || mkdtemp(dir.data()) == nullptr) {
    state.SkipWithError("no pseudo-terminal or no temporary folder");
    return;
  }
  const std::string link = dir + "/port";
  std::filesystem::create_symlink(pty.slave, link);
  const std::string lock_dir = state.range(0) == 0 ? dir : dir + "/missing";
  {
    CommControl control([&](std::int16_t) { return link; }, serivane::SystemClock(),
                        SystemPaths{"/sys", lock_dir});
    control.OpenState(true);
    for (auto _ : state) {
      control.OpenState(false);
      control.OpenState(true);
    }
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_Control_CloseOpen)->Arg(0)->Arg(1)->UseRealTime();

// Prints each control case as a multiple of its raw baseline (the median, when repeated).
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      std::string name = run.benchmark_name();
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name != "median") continue;
        name.resize(name.size() - std::string("_median").size());
      }
      const double to_us = 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      micros_[name] = run.GetAdjustedRealTime() * to_us;
    }
  }

  void Summary() const {
    const auto raw = micros_.find("BM_Raw_CloseOpen/real_time");
    if (raw == micros_.end()) return;
    std::printf("\n%-44s %10s %10s %8s\n", "case / baseline", "case us", "base us", "ratio");
    const std::pair<const char*, const char*> cases[] = {
        {"Control_CloseOpen / Raw_CloseOpen", "BM_Control_CloseOpen/0/real_time"},
        {"... without a lock folder / Raw_CloseOpen", "BM_Control_CloseOpen/1/real_time"}};
    for (const auto& [label, name] : cases) {
      const auto it = micros_.find(name);
      if (it == micros_.end()) continue;
      std::printf("%-44s %10.2f %10.2f %7.2fx\n", label, it->second, raw->second,
                  it->second / raw->second);
    }
  }

 private:
  std::map<std::string, double> micros_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Summary();
  benchmark::Shutdown();
  return 0;
}
