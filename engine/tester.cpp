#include "engine/tester.h"

#include <exception>

#include "common/conv.h"
#include "common/datetime.h"
#include "engine/error_text.h"
#include "engine/line_format.h"

namespace serivane::engine {

ErrorInfo CurrentError() {
  try {
    throw;
  } catch (const serial::CommError& e) {
    return {e.number(), e.description()};
  } catch (const std::exception& e) {
    return {0, e.what()};
  } catch (...) {
    return {0, "unknown error"};
  }
}

namespace {

// Runs a window call whose failure must not stop the clean-up of a run.
template <typename F>
void Quietly(F&& call) noexcept {
  try {
    call();
  } catch (...) {
  }
}

}  // namespace

Tester::Tester(const FrontEnd& front, serial::CommControl& port, Clock& clock,
               settings::Settings& settings)
    : front_(front),
      port_(port),
      settings_(settings),
      log_(front.results, front.observer),
      monitor_(front.events, port, log_),
      tests_(front.events, front.results, port, clock, settings, log_, monitor_) {}

void Tester::Run() {
  // The status timer calls this directly after it has reopened a closed port, and it can do so
  // while a run yields (a test left the port closed). A run never starts inside another.
  if (in_run_ || Running()) return;
  in_run_ = true;
  try {
    StartRun();
    std::int32_t pass = 0;
    bool all_passed = true;
    do {
      all_passed = RunPass(++pass).passed;
      front_.events.DoEvents();
      // A pass with a failure ends the run, whatever the operator answered.
    } while (front_.answers.RepeatChecked() && all_passed && !stop_requested_);
    if (!stop_requested_) front_.observer.AfterPasses();
    CloseRun(pass);
  } catch (...) {
    AbortRun(CurrentError().description);
  }
  CleanUp();
  stop_requested_ = false;

  bool close_when_finished = false;
  Quietly([&] { close_when_finished = front_.answers.CloseWhenFinished(); });
  if (close_when_finished) {
    in_run_ = false;
    Quietly([&] { front_.controls.Exit(); });
    return;
  }
  Quietly([&] { front_.events.DoEvents(); });
  in_run_ = false;
}

void Tester::StartRun() {
  front_.controls.SetBusyCursor(true);
  front_.events.DoEvents();

  monitor_.SetTestsRunning(true);
  front_.results.SetResultText("");
  front_.results.SetResultBackground(kWhite);

  tests_.ResetSlowOpens();
  log_.OpenFile(settings_.ResultFileName);
  log_.AppendLine("Test started ...");
  log_.WriteLine("Test started " + NowDateTimeText());

  controls_disabled_ = true;
  front_.controls.SetRunControlsEnabled(false);
  if (front_.answers.RepeatChecked()) front_.controls.FocusRepeatBox();
  front_.results.SetResultBackground(kWhite);
  front_.events.DoEvents();
}

PassOutcome Tester::RunPass(std::int32_t pass) {
  PassOutcome outcome;
  outcome.pass = pass;
  bool all_passed = true;
  bool& cut_short = outcome.cut_short;
  for (std::int16_t n = 1; n <= LoopbackTests::kCount; ++n) {
    // Read at this moment: a box changed during the run counts from its next turn.
    if (!settings_.TestSelected[static_cast<std::size_t>(n)]) continue;
    if (stop_requested_) {
      cut_short = true;
      break;
    }
    front_.observer.TestStarting(n);
    outcome.tests.push_back(tests_.Run(n));
    front_.observer.TestFinished(outcome.tests.back());
    if (outcome.tests.back().passed) continue;
    front_.results.SetResultBackground(kRed);
    all_passed = false;
    front_.controls.RestoreIfMinimized();
    const bool go_on = front_.answers.AskFailureContinue(
        "Test " + DecimalText(n) + " failed.\rPress OK to continue test,\rand Cancel to abort",
        "RS-232 Test failed");
    if (!go_on) break;
  }

  if (cut_short) {
    // A pass in which a selected test did not run has earned no summary, whatever the tests
    // that ran showed; it says so in the summary's place.
    const std::string line = "Pass interrupted: not every selected test ran";
    front_.results.SetResultBackground(kRed);
    log_.AppendLine(line);
    log_.WriteLine("-" + line + " " + NowDateTimeText());
    log_.AppendLine("");
    log_.WriteLine("");
    front_.observer.PassFinished(outcome);
    return outcome;
  }

  std::string summary = "All test(s) passed";
  char mark = '+';
  if (!all_passed) {
    front_.results.SetResultBackground(kRed);
    summary = "TEST(S) FAILED !!";
    mark = '-';
  } else if (front_.answers.RepeatChecked()) {
    summary += "  (Loop " + DecimalText(pass) + ")";
  }
  log_.AppendLine(summary);
  log_.WriteLine(std::string(1, mark) + summary + " " + NowDateTimeText());
  log_.AppendLine("");
  log_.WriteLine("");
  outcome.passed = all_passed;
  front_.observer.PassFinished(outcome);
  return outcome;
}

void Tester::CloseRun(std::int32_t passes) {
  controls_disabled_ = false;
  front_.controls.SetRunControlsEnabled(true);
  if (passes < 2) return;
  log_.AppendLine("Test(s) repeated " + DecimalText(passes) + " times");
  if (tests_.SlowOpens() > 0) {
    const std::string slow = "Some 'Close/Open port' tests are slow (>" +
                             DecimalText(settings_.MaxDuration) +
                             "ms): " + DecimalText(tests_.SlowOpens());
    log_.AppendLine(slow);
    log_.WriteLine(slow);
  }
}

void Tester::AbortRun(const std::string& reason) noexcept {
  // Only reached when something other than a test failed (the tests report their own errors):
  // the run ends as a failed run, and the reason is kept in the box and the file.
  Quietly([&] {
    front_.results.SetResultBackground(kRed);
    log_.Report('-', "Test run aborted: " + reason);
  });
}

void Tester::CleanUp() noexcept {
  if (controls_disabled_) {
    controls_disabled_ = false;
    Quietly([&] { front_.controls.SetRunControlsEnabled(true); });
  }
  log_.CloseFile();
  monitor_.SetTestsRunning(false);
  Quietly([&] { front_.controls.FocusRunButton(); });
  Quietly([&] { front_.controls.SetBusyCursor(false); });
}

TestOutcome Tester::Retest(std::int16_t number) {
  monitor_.SetTestsRunning(true);
  struct Done {
    CommMonitor& monitor;
    ~Done() { monitor.SetTestsRunning(false); }
  } done{monitor_};
  return tests_.Run(number);
}

std::optional<std::string> Tester::SetUpPort() {
  // The menus and the port list are disabled during a run; a call that comes anyway must not
  // pull the port away from a test.
  if (Running()) return std::nullopt;

  // A control that opens without complaint but is not open is a failure all the same; it is
  // reported with an empty description and number 0.
  ErrorInfo error;
  try {
    const std::string text = LineConfigFor(settings_).Text();
    port_.LineSettings(text);
    port_.FlowControl(0);
    front_.controls.SetBusyCursor(true);
    if (port_.OpenState()) port_.OpenState(false);
    port_.PortNumber(settings_.ComPort);
    port_.OpenState(true);
    if (port_.OpenState()) {
      port_.RtsOn(front_.answers.RtsChecked());
      port_.DtrOn(front_.answers.DtrChecked());
      log_.AppendLine("Com-port " + DecimalText(settings_.ComPort) + " = " + text);
      front_.controls.SetTestFrameCaption("&Test:  (" + text + ")");
      front_.controls.SetBusyCursor(false);
      return std::nullopt;
    }
  } catch (...) {
    error = CurrentError();
  }

  // Fall back to port 1 before the box is shown: the status timer ticks while the box is open,
  // and it must find Com1 chosen, not the number that just failed (which would take it down
  // its recovery path and suppress the start-up run). A port that did open (the failure came
  // from a later step) is closed, so that the control does not stay on the failed number while
  // the list shows Com1: the status timer opens port 1 at its next tick.
  const std::int16_t failed_port = settings_.ComPort;
  Quietly([&] { port_.OpenState(false); });
  settings_.ComPort = 1;
  Quietly([&] { front_.controls.SelectComEntry(0); });
  Quietly([&] {
    front_.controls.SetBusyCursor(false);
    front_.controls.ShowCriticalMessage(
        "Error opening Com-port " + DecimalText(failed_port) +
            "\rError: " + DescriptionWithNumber(error.description, error.number) + "\r",
        "Error in Setup_ComPort");
  });
  return error.description;
}

}  // namespace serivane::engine
