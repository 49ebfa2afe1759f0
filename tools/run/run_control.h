// Run control of serivane-run: the port threads, the stop signals, and the exit status.
#pragma once

#include <signal.h>

#include <memory>
#include <ostream>
#include <vector>

#include "common/unique_fd.h"
#include "tools/run/console.h"
#include "tools/run/port_run.h"

namespace serivane::run {

inline constexpr int kExitPassed = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitPort = 3;
inline constexpr int kExitInterrupted = 130;

// How the run shows itself while it goes and at its end.
struct Display {
  Console& console;
  bool quiet = false;     // no lines, no summaries
  bool progress = false;  // a progress line stands below the lines
  bool several = false;   // several ports: messages name each by its short name
};

// The stop signals, taken through a descriptor from before the port threads start until the
// report is written: a signal that comes while the outputs are written still lets them finish.
class StopSignals {
 public:
  // `take` false: no signal is taken, and Take always answers 0.
  explicit StopSignals(bool take);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  int Fd() const { return fd_.get(); }
  // The next signal that came, or 0.
  int Take() const;

 private:
  sigset_t set_{};
  sigset_t old_mask_{};
  UniqueFd fd_;
  bool taken_ = false;
};

// Runs every port on a thread of its own until all are done, showing progress, and answers the
// stop signal that came (0 when none did). The port threads wake this one as each finishes, so
// the run ends as soon as the last port's work does.
int RunAll(const std::vector<std::unique_ptr<PortRun>>& runs, const Display& display,
           const StopSignals& signals, std::ostream& err);

// Says on standard error which ports could not be opened and which result files could not be
// written and, unless quiet, each port's summary and diagnosis; answers the exit status
// (without the report's part in it).
int Conclude(const std::vector<PortOutcome>& outcomes, const Display& display, int stop_signal,
             std::ostream& err);

}  // namespace serivane::run
