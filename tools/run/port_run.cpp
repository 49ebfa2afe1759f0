#include "tools/run/port_run.h"

#include <poll.h>

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

#include "common/conv.h"
#include "engine/line_format.h"
#include "tools/run/checks/checks.h"
#include "tools/run/diagnosis.h"
#include "tools/run/options.h"

namespace serivane::run {

const TestRecord* PortOutcome::Test(std::int16_t number) const {
  for (const TestRecord& t : tests)
    if (t.number == number) return &t;
  return nullptr;
}

bool PortOutcome::Passed() const {
  return opened && error.empty() && !pass_cut_short &&
         std::all_of(tests.begin(), tests.end(),
                     [](const TestRecord& t) { return t.failures == 0; }) &&
         std::all_of(checks.begin(), checks.end(), [](const CheckOutcome& c) { return c.passed; });
}

PortRun::PortRun(PortOutcome outcome, std::int32_t repeat, Clock& clock, LineSink sink,
                 CheckOptions checks, ProgressSink progress)
    : outcome_(std::move(outcome)),
      repeat_(repeat),
      clock_(clock),
      sink_(std::move(sink)),
      check_options_(std::move(checks)),
      progress_(std::move(progress)),
      // The port was resolved before the run: its number only has to be valid.
      port_([target = outcome_.device](std::int16_t) { return target; }, clock),
      tester_(engine::FrontEnd(*this, *this, nullptr, nullptr, this), port_, clock,
              outcome_.settings) {
  port_.OnCommEvent = [this] {
    if (check_events_ != nullptr) check_events_->push_back(port_.CommEvent());
    tester_.HandleCommEvent();
  };
  tester_.Log().SetFileWanted(!outcome_.result_file.empty());
  // A port given by its path is called by it in messages; a COM number keeps "Com-port <n>".
  if (!ComNumber(outcome_.port)) port_.PortLabel(outcome_.device);
  outcome_.settings_text = engine::LineConfigFor(outcome_.settings).Text();
}

PortRun::~PortRun() {
  port_.OnCommEvent = nullptr;
}

void PortRun::RequestStop() noexcept {
  stop_ = true;
  tester_.RequestStopAfterCurrentTest();
}

void PortRun::RequestAbort() noexcept {
  RequestStop();
  abort_ = true;
}

void PortRun::ThrowIfAborted() {
  // Only inside the run: the port setup and the check at a lower rate are short and not cut.
  if (!in_run_ || !abort_.exchange(false)) return;
  if (current_test_ != 0) aborted_test_ = true;
  throw std::runtime_error("the run was stopped");
}

void PortRun::Execute() {
  struct Done {
    std::atomic<bool>& flag;
    ~Done() { flag = true; }
  } done{finished_};
  if (!outcome_.error.empty()) return;
  // The engine keeps its own errors in; anything else (memory, a broken clock) must end this
  // port's run, not the program with every other port in it.
  try {
    RunPort();
  } catch (const std::exception& e) {
    outcome_.error = std::string("the run ended abnormally: ") + e.what();
  } catch (...) {
    outcome_.error = "the run ended abnormally";
  }
  outcome_.result_file_error = tester_.Log().FileFailure();
  if (!tester_.Log().FileCreated()) outcome_.result_file.clear();
}

void PortRun::RunPort() {
  if (stop_) {
    outcome_.interrupted = true;
    return;
  }
  // As the window does at start: the control's first line settings are the stored ones.
  try {
    port_.LineSettings(engine::LineConfigFor(outcome_.settings).Text());
  } catch (const serial::CommError&) {
    // The port setup reports settings the control refuses.
  }
  if (const std::optional<std::string> failure = tester_.SetUpPort()) {
    // The description says why: busy and by whom, permission and the group, missing.
    outcome_.error = failure->empty() ? "the port did not open" : *failure;
    return;
  }
  outcome_.opened = true;
  if (!stop_) {
    in_run_ = true;
    tester_.Run();
    in_run_ = false;
  }
  // A test cut short by a stop never finished: it is no run of that test.
  std::erase_if(outcome_.tests, [](const TestRecord& t) { return t.runs == 0; });

  outcome_.interrupted = stop_;
  outcome_.passes = passes_done_;
  outcome_.slow_opens = tester_.SlowOpens();
  if (!stop_) CheckAtLowerRate();
  outcome_.counters = port_.Counters();
  port_.Release();
}

void PortRun::CheckAtLowerRate() {
  const std::int32_t rate = outcome_.settings.BaudRate;
  const std::int32_t lower = rate > 9600 ? 9600 : rate > 1200 ? 1200 : 0;
  const bool data = LostOrChanged(outcome_, 2);
  const bool single = LostOrChanged(outcome_, 3);
  if (lower == 0 || (!data && !single) || !port_.OpenState()) return;
  outcome_.settings.BaudRate = lower;
  try {
    port_.LineSettings(engine::LineConfigFor(outcome_.settings).Text());
    bool failed = false;
    if (data) failed = !tester_.Retest(2).passed || failed;
    if (single) failed = !tester_.Retest(3).passed || failed;
    outcome_.lower_rate = lower;
    outcome_.lower_rate_passed = !failed;
  } catch (const serial::CommError&) {
  }
  outcome_.settings.BaudRate = rate;
  try {
    port_.LineSettings(engine::LineConfigFor(outcome_.settings).Text());
  } catch (const serial::CommError&) {
  }
}

TestRecord& PortRun::Record(std::int16_t number) {
  auto it = std::find_if(outcome_.tests.begin(), outcome_.tests.end(),
                         [&](const TestRecord& t) { return t.number >= number; });
  if (it == outcome_.tests.end() || it->number != number) {
    TestRecord record;
    record.number = number;
    it = outcome_.tests.insert(it, record);
  }
  return *it;
}

bool PortRun::RepeatChecked() const {
  return repeat_ != 1 && (repeat_ == 0 || passes_done_ < repeat_);
}

void PortRun::DoEvents() {
  ThrowIfAborted();
  // The runner's event loop: the port when its descriptor is readable or its deadline has
  // passed, and the comm timer.
  bool due = port_.NextServiceMs() == 0;
  if (const int fd = port_.WatchFd(); !due && fd >= 0) {
    pollfd p{fd, POLLIN, 0};
    due = ::poll(&p, 1, 0) > 0;
  }
  if (due) {
    try {
      port_.Service();
    } catch (const serial::CommError& error) {
      tester_.Log().AppendLine(error.description());
    }
  }
  if (comm_timer_on_ && clock_.NowMicros() >= comm_timer_due_us_) {
    comm_timer_due_us_ = clock_.NowMicros() + 1'000'000;
    tester_.CommTimerTick();
  }
}

bool PortRun::WaitForEvents(std::int32_t max_ms) {
  ThrowIfAborted();
  // poll() sleeps on the system's clock; a run given another clock (tests) pauses on that one.
  if (&clock_ != &SystemClock()) return false;
  std::int64_t wait_ms = std::max<std::int32_t>(max_ms, 0);
  if (const int next = port_.NextServiceMs(); next >= 0)
    wait_ms = std::min<std::int64_t>(wait_ms, next);
  if (comm_timer_on_) {
    const std::int64_t timer_ms = (comm_timer_due_us_ - clock_.NowMicros() + 999) / 1000;
    wait_ms = std::clamp<std::int64_t>(timer_ms, 0, wait_ms);
  }
  pollfd p{port_.WatchFd(), POLLIN, 0};
  // A negative descriptor is ignored by poll(), which then only sleeps. A signal (Ctrl+C) ends
  // the sleep early, which is what it should do.
  (void)::poll(&p, 1, static_cast<int>(wait_ms));
  DoEvents();
  return true;
}

void PortRun::SetCommTimerEnabled(bool enabled) {
  comm_timer_on_ = enabled;
  if (enabled) comm_timer_due_us_ = clock_.NowMicros() + 1'000'000;
}

void PortRun::TestStarting(std::int16_t number) {
  if (!in_run_) return;
  current_test_ = number;
  Record(number);
}

void PortRun::TestFinished(const engine::TestOutcome& outcome) {
  if (!in_run_) return;
  current_test_ = 0;
  if (std::exchange(aborted_test_, false)) {
    // Its lines (saying it was stopped) are still shown; it counts neither way.
    if (sink_)
      for (const std::string& line : outcome.lines) sink_(line, LineKind::kMessage);
    return;
  }
  TestRecord& record = Record(outcome.number);
  ++record.runs;
  if (!outcome.passed) {
    ++record.failures;
    ++failures_;
  }
  for (const std::int16_t code : outcome.events)
    if (std::find(record.events.begin(), record.events.end(), code) == record.events.end())
      record.events.push_back(code);
  for (const engine::HandshakeLevels& levels : outcome.levels)
    if (std::find(record.levels.begin(), record.levels.end(), levels) == record.levels.end())
      record.levels.push_back(levels);
  // The first failure is the one worth keeping; until then, the latest run.
  if (record.failures == 0 || (!outcome.passed && record.failures == 1)) record.kept = outcome;
  if (sink_)
    for (const std::string& line : outcome.lines)
      sink_(line, outcome.passed ? LineKind::kPassed : LineKind::kFailed);
}

void PortRun::LineAdded(std::string_view line, engine::LineOrigin origin) {
  // A test's own lines go out with its outcome, marked by how it ended.
  if (!in_run_ || !sink_ || origin == engine::LineOrigin::kTest) return;
  sink_(line, origin == engine::LineOrigin::kEvent ? LineKind::kMessage : LineKind::kRun);
}

void PortRun::PassFinished(const engine::PassOutcome& pass) {
  if (pass.cut_short) {
    outcome_.pass_cut_short = true;
  } else {
    passes_done_ = pass.pass;
  }
}

}  // namespace serivane::run

namespace serivane::run {

// The run as a check sees it.
class PortRun::Checking final : public CheckContext {
 public:
  explicit Checking(PortRun& run) : run_(run) {}
  serial::CommControl& Port() override { return run_.port_; }
  Clock& GetClock() override { return run_.clock_; }
  const settings::Settings& RunSettings() const override { return run_.outcome_.settings; }
  void Wait(std::int32_t max_ms) override {
    try {
      if (!run_.WaitForEvents(max_ms)) {
        run_.clock_.Sleep(max_ms);
        run_.DoEvents();
      }
    } catch (const std::runtime_error&) {
      // A second stop request: the stop flag is set, and the check ends at its next look.
    }
  }
  bool StopRequested() const override { return run_.stop_; }
  void Progress(std::string_view line) override {
    if (run_.progress_) run_.progress_(line);
  }
  std::vector<std::int16_t> TakeEvents() override { return std::exchange(events_, {}); }
  bool NoModemLines() const override { return run_.outcome_.no_modem_lines; }
  std::optional<int> LatencyTimerMs() const override {
    return run_.outcome_.identity.latency_timer_ms;
  }
  bool OnUsb() const override { return !run_.outcome_.identity.vendor_id.empty(); }

  std::vector<std::int16_t> events_;

 private:
  PortRun& run_;
};

void PortRun::AfterPasses() {
  if (!check_options_.Any() || !port_.OpenState()) return;
  Checking context(*this);
  const std::int16_t threshold = port_.ReceiveThreshold();
  port_.ReceiveThreshold(0);
  check_events_ = &context.events_;
  struct Restore {
    PortRun& run;
    std::int16_t threshold;
    ~Restore() {
      run.check_events_ = nullptr;
      try {
        run.port_.ReceiveThreshold(threshold);
      } catch (...) {
      }
    }
  } restore{*this, threshold};
  outcome_.checks = RunChecks(check_options_, context);
  for (const CheckOutcome& check : outcome_.checks) ReportCheck(check);
}

void PortRun::ReportCheck(const CheckOutcome& check) {
  bool first = true;
  for (const std::string& line : check.lines) {
    const char mark = !first ? ' ' : check.passed ? '+' : '-';
    tester_.Log().WriteLine(std::string(1, mark) + line);
    if (sink_) sink_(line, check.passed ? LineKind::kPassed : LineKind::kFailed);
    first = false;
  }
  if (check.lines.empty()) return;
  tester_.Log().WriteLine("");
  if (sink_) sink_("", LineKind::kRun);
}

}  // namespace serivane::run
