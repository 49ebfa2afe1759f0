// Bytes moved per second through the serial control: the virtual plug on a ManualClock (the
// control's own cost, no wire) against a round trip through a pseudo-terminal pair.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

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

}  // namespace

BENCHMARK_MAIN();
