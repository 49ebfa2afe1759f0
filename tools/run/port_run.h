// One port's run: its own serial control, its own engine and its own settings, driven on the
// calling thread. Nothing is shared with the runs of other ports, so each may run on a thread
// of its own. The run stands in for the window: it answers every failure box with OK (the rest
// of the pass still runs), serves the port and the comm timer whenever the engine yields, and
// follows the run through the engine's hooks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "engine/front_end.h"
#include "engine/outcome.h"
#include "engine/tester.h"
#include "serial/comm_control.h"
#include "settings/settings.h"
#include "tools/run/checks/check.h"
#include "tools/run/identity.h"

namespace serivane::run {

// One test number over all passes of a run.
struct TestRecord {
  std::int16_t number = 0;
  std::int32_t runs = 0;
  std::int32_t failures = 0;
  // The outcome of the first failed run, else of the last one.
  engine::TestOutcome kept;
  // Over all runs, each once, in the order first seen: the event codes, and the handshake
  // levels (tests 4 and 5).
  std::vector<std::int16_t> events;
  std::vector<engine::HandshakeLevels> levels;
  bool operator==(const TestRecord&) const = default;
};

struct PortOutcome {
  std::string port;    // as given: "COM3", "/dev/ttyUSB0", "loopback?cts=off"
  std::string name;    // the port's short name, for line prefixes and file names
  std::string device;  // the path or plug target it was resolved to
  Identity identity;
  settings::Settings settings;  // as the run used them
  std::string settings_text;    // "38400,N,8,1"
  // The result file: given, the path the settings' ResultFileName names, and "" for none; after
  // the run, "" unless it was created.
  std::string result_file;
  std::string result_file_error;  // the first failure to create or write it, "" when none
  bool no_modem_lines = false;    // a pseudo-terminal: the handshake tests cannot pass on it
  std::string error;              // why the port could not be resolved, opened or set up
  bool opened = false;
  bool interrupted = false;
  bool pass_cut_short = false;  // a stop came before every selected test of a pass ran
  std::int32_t passes = 0;      // passes that ran every selected test
  std::int32_t slow_opens = 0;
  std::vector<TestRecord> tests;  // in test number order, those that ran
  // A data test that lost or changed characters is tried once more after the run at a lower
  // rate, to tell a noisy line from a broken one: the rate and whether it passed there.
  std::int32_t lower_rate = 0;
  std::optional<bool> lower_rate_passed;
  std::optional<serial::LineCounters> counters;
  // The checks asked for beyond the tests, in the order they ran.
  std::vector<CheckOutcome> checks;

  const TestRecord* Test(std::int16_t number) const;
  // Opened, no error, no test or check failed and no pass cut short.
  bool Passed() const;
};

// How a line of the results box came about, so the front end can choose what to print.
enum class LineKind {
  kRun,      // the run's own lines: start, pass summaries, closing lines
  kPassed,   // a line of a test that passed
  kFailed,   // a line of a test that failed
  kMessage,  // a comm event message, a result file error
};

class PortRun final : public engine::EventPump,
                      public engine::OperatorAnswers,
                      public engine::RunObserver {
 public:
  // Receives every line of the results box, on the run's thread, during the run only.
  using LineSink = std::function<void(std::string_view line, LineKind kind)>;

  // `outcome` names the port, its device and settings; the run fills in the rest. An outcome
  // that already holds an error (the port names no device) is not run. `repeat` as --repeat.
  // `clock` must outlive the run and is used by this thread only. `checks` run after the last
  // pass unless the run was stopped; `progress` shows their progress lines (may be empty).
  using ProgressSink = std::function<void(std::string_view line)>;
  PortRun(PortOutcome outcome, std::int32_t repeat, Clock& clock, LineSink sink = {},
          CheckOptions checks = {}, ProgressSink progress = {});
  ~PortRun() override;

  // Opens and sets up the port, runs, and reads the counters. Call once.
  void Execute();
  const PortOutcome& Outcome() const { return outcome_; }

  // From any thread: the run ends after the current test (or does not start).
  void RequestStop() noexcept;
  // From any thread: as RequestStop, and the test that is running ends at its next wait, its
  // lines saying it was stopped; it does not count as run. The port is closed as after a run.
  void RequestAbort() noexcept;
  std::int32_t PassesDone() const { return passes_done_; }
  std::int32_t FailuresSoFar() const { return failures_; }
  bool Finished() const { return finished_; }

  // The engine's front end: its event loop, the answers and the observer.
  void DoEvents() override;
  bool WaitForEvents(std::int32_t max_ms) override;
  void SetCommTimerEnabled(bool enabled) override;
  bool RepeatChecked() const override;
  bool AskFailureContinue(const std::string&, const std::string&) override { return true; }
  bool RtsChecked() const override { return true; }
  bool DtrChecked() const override { return true; }
  bool CloseWhenFinished() const override { return false; }
  void TestStarting(std::int16_t number) override;
  void TestFinished(const engine::TestOutcome& outcome) override;
  void LineAdded(std::string_view line, engine::LineOrigin origin) override;
  void PassFinished(const engine::PassOutcome& pass) override;
  void AfterPasses() override;

 private:
  class Checking;
  void ReportCheck(const CheckOutcome& check);
  void RunPort();
  void CheckAtLowerRate();
  TestRecord& Record(std::int16_t number);

  PortOutcome outcome_;
  std::int32_t repeat_;
  Clock& clock_;
  LineSink sink_;
  CheckOptions check_options_;
  ProgressSink progress_;
  serial::CommControl port_;
  engine::Tester tester_;

  // Ends the wait the engine is in, once per RequestAbort.
  void ThrowIfAborted();

  std::atomic<bool> stop_{false};
  std::atomic<bool> abort_{false};
  bool aborted_test_ = false;  // the running test was ended by RequestAbort
  std::atomic<std::int32_t> passes_done_{0};
  std::atomic<std::int32_t> failures_{0};
  std::atomic<bool> finished_{false};

  bool in_run_ = false;  // lines go to the sink
  std::int16_t current_test_ = 0;
  bool comm_timer_on_ = false;
  std::int64_t comm_timer_due_us_ = 0;
  // While checks run, the events the port raises, for the check to take.
  std::vector<std::int16_t>* check_events_ = nullptr;
};

}  // namespace serivane::run
