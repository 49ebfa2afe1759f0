// The test engine: test runs of one or more passes over the five loopback tests, and the port
// setup. It reaches its front end only through the parts of FrontEnd and the port only through
// the serial control, so that it runs headless in tests against the virtual plug with a
// ManualClock. Each test and each pass ends with its outcome given to the run observer.
//
// Everything runs on the user-interface thread, except RequestStopAfterCurrentTest.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "common/clock.h"
#include "engine/comm_monitor.h"
#include "engine/front_end.h"
#include "engine/loopback_tests.h"
#include "engine/outcome.h"
#include "engine/result_log.h"
#include "serial/comm_control.h"
#include "settings/settings.h"

namespace serivane::engine {

class Tester {
 public:
  // The front end's parts and the other three must outlive the tester. `settings` is the
  // window's live settings; the tester reads them when it needs them and writes ComPort (port
  // setup fallback).
  Tester(const FrontEnd& front, serial::CommControl& port, Clock& clock,
         settings::Settings& settings);
  Tester(const Tester&) = delete;
  Tester& operator=(const Tester&) = delete;

  // One test run: the selected tests pass after pass while Repeat is checked and every test
  // passes. Returns when the run is over. Does nothing when a run is already in progress,
  // including while the first one yields before it is Running. No exception escapes: anything
  // that is not a test's own failure ends the run with a "Test run aborted: " line, and the run
  // still gives the controls back, closes its file and stops Running. A result file that cannot
  // be created or written does not stop the run; the results box says so once.
  void Run();
  // Asks the run in progress (or the next one) to end after the test that is running: no further
  // test or pass starts, and the result file is complete. A pass that ends before every selected
  // test ran writes "Pass interrupted: not every selected test ran" (mark '-') instead of its
  // summary and counts as not passed. The request is cleared when that run ends. Safe to call
  // from any thread and from a signal handler.
  void RequestStopAfterCurrentTest() noexcept { stop_requested_ = true; }
  // Runs test `number` once more outside a run (no file, no summary), taking its echo as a run
  // does, and answers what it came to.
  TestOutcome Retest(std::int16_t number);

  // Gives the port the current settings and reopens it. A failure is shown in a message box
  // and Com1 is chosen instead; its description is returned ("" when the port did not open
  // without saying why). Does nothing while Running.
  std::optional<std::string> SetUpPort();

  // The port's event handler and the comm timer's tick.
  void HandleCommEvent() { monitor_.HandleEvent(); }
  void CommTimerTick() { monitor_.TimerTick(); }

  // Tests are running: from the start of a run to its end, and during Retest.
  bool Running() const { return monitor_.TestsRunning(); }
  // Open/Close tests of the last run that were slower than the MaxDuration setting.
  std::int32_t SlowOpens() const { return tests_.SlowOpens(); }
  ResultLog& Log() { return log_; }

 private:
  // Clears the box, opens the result file, writes the start lines and takes the controls.
  void StartRun();
  // Runs the selected tests once and writes the pass's summary.
  PassOutcome RunPass(std::int32_t pass);
  // Gives the controls back and writes the closing lines of a run of `passes` passes.
  void CloseRun(std::int32_t passes);
  void AbortRun(const std::string& reason) noexcept;
  // Whatever happened: controls, file, Running, focus and pointer as after a run.
  void CleanUp() noexcept;

  FrontEnd front_;
  serial::CommControl& port_;
  settings::Settings& settings_;
  ResultLog log_;
  CommMonitor monitor_;
  LoopbackTests tests_;

  // True from the first step of Run to its return; a second entry (the status timer while a
  // run waits) returns at once.
  bool in_run_ = false;
  std::atomic<bool> stop_requested_{false};
  bool controls_disabled_ = false;
};

}  // namespace serivane::engine
