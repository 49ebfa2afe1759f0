#include "tools/run/run_control.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "tools/run/diagnosis.h"
#include "tools/run/options.h"

namespace serivane::run {

namespace {

// How long a SIGTERM or SIGHUP lets the running tests go on before they are cut.
constexpr std::chrono::milliseconds kTermGrace{500};
// How often the progress line is brought up to date.
constexpr int kProgressMs = 100;

}  // namespace

StopSignals::StopSignals(bool take) {
  if (!take) return;
  sigemptyset(&set_);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set_, s);
  // Blocked before the port threads start, so that they inherit the mask and the signals come
  // here. A background job of a script starts with SIGINT ignored, and an ignored signal is
  // never delivered: the default is put back once the signals are blocked, so that none can
  // end the program in between.
  pthread_sigmask(SIG_BLOCK, &set_, &old_mask_);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
  fd_ = UniqueFd(::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK));
  taken_ = true;
}

StopSignals::~StopSignals() {
  if (taken_) pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}

int StopSignals::Take() const {
  signalfd_siginfo info{};
  if (fd_.get() < 0 || ::read(fd_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info))
    return 0;
  return static_cast<int>(info.ssi_signo);
}

// Runs every port on a thread of its own until all are done, showing progress, and answers the
// stop signal that came (0 when none did). The port threads wake this one as each finishes, so
// the run ends as soon as the last port's work does.
int RunAll(const std::vector<std::unique_ptr<PortRun>>& runs, const Display& display,
           const StopSignals& signals, std::ostream& err) {
  const UniqueFd finished(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  std::vector<std::thread> threads;
  for (auto& r : runs) {
    threads.emplace_back([run = r.get(), fd = finished.get()] {
      run->Execute();
      const std::uint64_t one = 1;
      (void)!::write(fd, &one, sizeof one);
    });
  }

  Console& console = display.console;
  int stop_signal = 0;
  bool aborted = false;
  // When the running tests are cut; never until a SIGTERM or SIGHUP sets it. (A time point, not
  // an optional one: the optimiser cannot follow an optional through the loop and warns.)
  using Steady = std::chrono::steady_clock;
  constexpr Steady::time_point kNever = Steady::time_point::max();
  Steady::time_point abort_at = kNever;
  const auto abort_all = [&] {
    aborted = true;
    abort_at = kNever;
    for (auto& r : runs) r->RequestAbort();
  };
  std::vector<std::string> run_names;
  for (const auto& r : runs) run_names.push_back(r->Outcome().name);
  for (;;) {
    const bool all_done =
        std::all_of(runs.begin(), runs.end(), [](const auto& r) { return r->Finished(); });
    if (all_done) break;
    if (display.progress) console.Progress(ProgressText(runs, run_names));
    int timeout_ms = display.progress ? kProgressMs : -1;
    if (abort_at != kNever) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(abort_at - Steady::now());
      const int left_ms = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
      timeout_ms = timeout_ms < 0 ? left_ms : std::min(timeout_ms, left_ms);
    }
    pollfd fds[2] = {{finished.get(), POLLIN, 0}, {signals.Fd(), POLLIN, 0}};
    (void)::poll(fds, signals.Fd() >= 0 ? 2 : 1, timeout_ms);
    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      (void)!::read(finished.get(), &count, sizeof count);
    }
    if (abort_at != kNever && Steady::now() >= abort_at) abort_all();
    if (!(fds[1].revents & POLLIN)) continue;
    const int got = signals.Take();
    if (got == 0) continue;
    if (stop_signal == 0) {
      stop_signal = got;
      for (auto& r : runs) r->RequestStop();
      if (got != SIGINT) abort_at = Steady::now() + kTermGrace;
      if (!display.quiet) {
        console.Line(got == SIGINT
                         ? "Stopping after the current test (press Ctrl+C again to stop at once)"
                         : "Stopping after the current test");
      }
    } else if (!aborted) {
      abort_all();
      if (!display.quiet) console.Line("Stopping at once");
    } else {
      // The ports did not end when told twice: something in the system holds them.
      console.EndProgress();
      err << kProgram << ": ended without closing the ports\n";
      std::_Exit(128 + got);
    }
  }
  for (std::thread& t : threads) t.join();
  if (display.progress) console.Progress(ProgressText(runs, run_names));
  console.EndProgress();
  return stop_signal;
}

// Says on standard error which ports could not be opened and which result files could not be
// written and, unless quiet, each port's summary and diagnosis; answers the exit status
// (without the report's part in it).
int Conclude(const std::vector<PortOutcome>& outcomes, const Display& display, int stop_signal,
             std::ostream& err) {
  bool any_unopened = false;
  bool any_failed = false;
  bool output_failed = false;
  for (const PortOutcome& o : outcomes) {
    if (!o.opened && !o.interrupted) {
      any_unopened = true;
      err << kProgram << ": " << Head(o, display.several) << ": " << o.error << "\n";
    } else if (!o.Passed()) {
      any_failed = true;
    }
    if (!o.result_file_error.empty()) {
      output_failed = true;
      err << kProgram << ": " << Head(o, display.several) << ": " << o.result_file_error << "\n";
    }
  }
  if (!display.quiet) {
    for (const PortOutcome& o : outcomes) {
      if (!o.opened && !o.interrupted) continue;  // said on standard error
      display.console.Line(SummaryLine(o, display.several));
      for (const std::string& sentence : Diagnose(o)) display.console.Line("  " + sentence);
    }
  }
  if (stop_signal != 0) return 128 + stop_signal;
  if (any_unopened) return kExitPort;
  if (any_failed) return kExitFailed;
  return output_failed ? kExitPort : kExitPassed;
}

}  // namespace serivane::run
