// serivane-run as a whole process against the raw floor, side by side in one run:
//
// 1. `serivane-run --tests 1,2,3 --single-bytes 1000` on a pseudo-terminal whose far end echoes,
//    against bench/run_floor making the same system calls on the same terminal: the ratio of the
//    median wall times, process start to exit (goal: at most 2x).
// 2. A five-test pass on the virtual plug: the time from the last test's result line on the
//    program's output to the program's exit (goal: at most 2 ms).
// 3. Scale: the whole process on 64 ports at once against the same on one, for pseudo-terminals
//    (tests 1-3, each terminal's far end echoing on a thread of its own) and for plug ports
//    (five tests) (goal: at most 1.2x). Beside the terminals, bench/run_floor on the same 64 and
//    on one, a thread a terminal: what the kernel's terminals themselves cost as they scale.
//
//   run_process_bench [ROUNDS]
//
// SERIVANE_RUN in the environment names another serivane-run to measure (an earlier build).
// The settings live in a temporary folder of their own; no result file is written.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Starts `args`; its standard output goes to `out_fd` when given, else nowhere.
pid_t Start(const std::vector<std::string>& args, int out_fd = -1) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(out_fd >= 0 ? out_fd : null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Wall time of one run of `args`, or a negative number when it did not end with `expected`.
double TimeRun(const std::vector<std::string>& args, int expected) {
  const auto start = Clock::now();
  const int status = Wait(Start(args));
  const double ms = Ms(Clock::now() - start);
  return status == expected ? ms : -1;
}

// Milliseconds from the line holding `last` on the program's output to its exit.
double TailAfter(const std::vector<std::string>& args, const std::string& last) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return -1;
  const pid_t pid = Start(args, pipe_fds[1]);
  ::close(pipe_fds[1]);
  std::string text;
  std::optional<Clock::time_point> seen;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (!seen && text.find(last) != std::string::npos) seen = Clock::now();
  }
  ::close(pipe_fds[0]);
  const int status = Wait(pid);
  const auto end = Clock::now();
  return seen && status == 0 ? Ms(end - *seen) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 21;
  signal(SIGPIPE, SIG_IGN);
  std::string folder = (std::filesystem::temp_directory_path() / "serivane-bench-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) return 1;
  ::setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
  ::setenv("HOME", folder.c_str(), 1);

  // The far end of the terminal echoes all it reads, on a thread of its own.
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return 1;
  const std::string terminal = ::ptsname(master);
  // Held open so that the terminal does not hang up between the runs.
  const int keep = ::open(terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::atomic<bool> done{false};
  std::thread echo([&] {
    char buffer[4096];
    while (!done) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      for (ssize_t at = 0; n > 0 && at < n;) {
        const ssize_t w = ::write(master, buffer + at, static_cast<std::size_t>(n - at));
        if (w > 0) at += w;
      }
    }
  });

  const char* other = std::getenv("SERIVANE_RUN");
  const std::string program = other != nullptr ? other : SERIVANE_RUN_PATH;
  const std::vector<std::string> runner = {program, "--tests",          "1,2,3", "--single-bytes",
                                           "1000",  "--no-result-file", "-q",    terminal};
  const std::vector<std::string> floor = {RUN_FLOOR_PATH, "1000", terminal};
  std::vector<double> runner_ms, floor_ms;
  bool all_ok = true;
  // Interleaved, so that both see the same state of the machine.
  for (int i = 0; i < rounds; ++i) {
    const double r = TimeRun(runner, 0);
    const double f = TimeRun(floor, 0);
    all_ok = all_ok && r >= 0 && f >= 0;
    runner_ms.push_back(r);
    floor_ms.push_back(f);
  }
  const double runner_median = Median(runner_ms);
  const double floor_median = Median(floor_ms);
  const double ratio = floor_median > 0 ? runner_median / floor_median : 0;
  std::printf("%s\ntests 1-3, 1000 single bytes, pty echo, %d rounds (medians)\n", program.c_str(),
              rounds);
  std::printf("  serivane-run  %8.2f ms\n", runner_median);
  std::printf("  raw floor     %8.2f ms\n", floor_median);
  std::printf("  ratio         %8.2f x (goal <= 2.0 x): %s\n", ratio,
              all_ok && ratio <= 2.0 ? "met" : "NOT met");

  std::vector<double> tails;
  const std::vector<std::string> plug = {program, "--tests", "1,2,3,4,5", "--no-result-file",
                                         "loopback"};
  for (int i = 0; i < rounds; ++i) {
    const double t = TailAfter(plug, "DTR/DSR handshake: DTR/DSR= on");
    all_ok = all_ok && t >= 0;
    tails.push_back(t);
  }
  const double tail = Median(tails);
  std::printf(
      "five tests on the plug: exit %.2f ms after the last test's line (max %.2f, goal "
      "<= 2 ms): %s\n",
      tail, *std::max_element(tails.begin(), tails.end()),
      all_ok && tail <= 2.0 ? "met" : "NOT met");

  // 64 more terminals, each with its own echoing far end.
  struct Far {
    int master = -1;
    int keep = -1;
    std::string name;
  };
  std::vector<Far> fars;
  std::vector<std::thread> echoes;
  for (int i = 0; i < 64; ++i) {
    Far f;
    f.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (f.master < 0 || ::grantpt(f.master) != 0 || ::unlockpt(f.master) != 0) return 1;
    f.name = ::ptsname(f.master);
    f.keep = ::open(f.name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    fars.push_back(f);
  }
  for (const Far& f : fars) {
    echoes.emplace_back([&done, m = f.master] {
      char buffer[4096];
      while (!done) {
        pollfd p{m, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::read(m, buffer, sizeof buffer);
        for (ssize_t at = 0; n > 0 && at < n;) {
          const ssize_t w = ::write(m, buffer + at, static_cast<std::size_t>(n - at));
          if (w > 0) at += w;
        }
      }
    });
  }
  const std::vector<std::string> pty_base = {program, "--tests", "1,2,3", "--no-result-file", "-q"};
  std::vector<std::string> pty_one = pty_base, pty_all = pty_base;
  pty_one.push_back(fars[0].name);
  for (const Far& f : fars) pty_all.push_back(f.name);
  const std::vector<std::string> plug_base = {program, "--tests", "1,2,3,4,5", "--no-result-file",
                                              "-q"};
  std::vector<std::string> plug_one = plug_base, plug_all = plug_base;
  plug_one.push_back("loopback");
  for (int i = 0; i < 64; ++i) plug_all.push_back("loopback");
  // 100 single bytes, the runner's own count when none is given, as in the runs above.
  std::vector<std::string> floor_one = {RUN_FLOOR_PATH, "100", fars[0].name};
  std::vector<std::string> floor_all = {RUN_FLOOR_PATH, "100"};
  for (const Far& f : fars) floor_all.push_back(f.name);
  std::vector<double> pty1, pty64, floor1, floor64, plug1, plug64;
  const int scale_rounds = std::max(3, rounds / 3);
  for (int i = 0; i < scale_rounds; ++i) {
    pty1.push_back(TimeRun(pty_one, 0));
    pty64.push_back(TimeRun(pty_all, 0));
    floor1.push_back(TimeRun(floor_one, 0));
    floor64.push_back(TimeRun(floor_all, 0));
    plug1.push_back(TimeRun(plug_one, 0));
    plug64.push_back(TimeRun(plug_all, 0));
  }
  for (const auto* v : {&pty1, &pty64, &floor1, &floor64, &plug1, &plug64})
    all_ok = all_ok && *std::min_element(v->begin(), v->end()) >= 0;
  const double pty_ratio = Median(pty64) / Median(pty1);
  const double plug_ratio = Median(plug64) / Median(plug1);
  std::printf("whole process, 64 ports against one, %d rounds (medians)\n", scale_rounds);
  std::printf(
      "  pseudo-terminals, tests 1-3  %8.2f ms against %8.2f ms: %.2f x (goal <= 1.2 x): %s\n",
      Median(pty64), Median(pty1), pty_ratio, pty_ratio <= 1.2 ? "met" : "NOT met");
  std::printf("  ... raw floor, the same calls  %8.2f ms against %8.2f ms: %.2f x\n",
              Median(floor64), Median(floor1), Median(floor64) / Median(floor1));
  std::printf("  ... serivane-run on 64 against the raw floor on 64: %.2f x\n",
              Median(pty64) / Median(floor64));
  std::printf(
      "  plug ports, five tests       %8.2f ms against %8.2f ms: %.2f x (goal <= 1.2 x): %s\n",
      Median(plug64), Median(plug1), plug_ratio, plug_ratio <= 1.2 ? "met" : "NOT met");

  done = true;
  echo.join();
  for (std::thread& t : echoes) t.join();
  for (const Far& f : fars) {
    ::close(f.keep);
    ::close(f.master);
  }
  ::close(keep);
  ::close(master);
  std::filesystem::remove_all(folder);
  if (!all_ok) std::printf("a run did not end as it should (status or missing line)\n");
  return all_ok ? 0 : 1;
}
