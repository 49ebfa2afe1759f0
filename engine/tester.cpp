#include "engine/tester.h"

#include <exception>

#include "common/conv.h"
#include "common/datetime.h"
#include "engine/error_text.h"

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

Tester::Tester(WindowPort& window, serial::CommControl& port, Clock& clock,
               settings::Settings& settings)
    : window_(window),
      port_(port),
      settings_(settings),
      log_(window),
      monitor_(window, port, log_),
      tests_(window, port, clock, settings, log_, monitor_) {}

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
      all_passed = RunPass(++pass);
      window_.DoEvents();
      // A pass with a failure ends the run, whatever the operator answered.
    } while (window_.RepeatChecked() && all_passed && !stop_requested_);
    CloseRun(pass);
  } catch (...) {
    AbortRun(CurrentError().description);
  }
  CleanUp();
  stop_requested_ = false;

  bool close_when_finished = false;
  Quietly([&] { close_when_finished = window_.CloseWhenFinished(); });
  if (close_when_finished) {
    in_run_ = false;
    Quietly([&] { window_.Exit(); });
    return;
  }
  Quietly([&] { window_.DoEvents(); });
  in_run_ = false;
}

void Tester::StartRun() {
  window_.SetBusyCursor(true);
  window_.DoEvents();

  monitor_.SetTestsRunning(true);
  window_.SetResultText("");
  window_.SetResultBackground(kWhite);

  tests_.ResetSlowOpens();
  log_.OpenFile(settings_.ResultFileName);
  log_.AppendLine("Test started ...");
  log_.WriteLine("Test started " + NowDateTimeText());

  controls_disabled_ = true;
  window_.SetRunControlsEnabled(false);
  if (window_.RepeatChecked()) window_.FocusRepeatBox();
  window_.SetResultBackground(kWhite);
  window_.DoEvents();
}

bool Tester::RunPass(std::int32_t pass) {
  bool all_passed = true;
  bool cut_short = false;
  for (std::int16_t n = 1; n <= LoopbackTests::kCount; ++n) {
    // Read at this moment: a box changed during the run counts from its next turn.
    if (!settings_.TestSelected[static_cast<std::size_t>(n)]) continue;
    if (stop_requested_) {
      cut_short = true;
      break;
    }
    window_.TestStarting(n);
    const bool failed = tests_.Run(n);
    window_.TestFinished(n, failed);
    if (!failed) continue;
    window_.SetResultBackground(kRed);
    all_passed = false;
    window_.RestoreIfMinimized();
    const bool go_on = window_.AskFailureContinue(
        "Test " + DecimalText(n) + " failed.\rPress OK to continue test,\rand Cancel to abort",
        "RS-232 Test failed");
    if (!go_on) break;
  }

  if (cut_short) {
    // A pass in which a selected test did not run has earned no summary, whatever the tests
    // that ran showed; it says so in the summary's place.
    const std::string line = "Pass interrupted: not every selected test ran";
    window_.SetResultBackground(kRed);
    log_.AppendLine(line);
    log_.WriteLine("-" + line + " " + NowDateTimeText());
    log_.AppendLine("");
    log_.WriteLine("");
    window_.PassInterrupted(pass);
    return false;
  }

  std::string summary = "All test(s) passed";
  char mark = '+';
  if (!all_passed) {
    window_.SetResultBackground(kRed);
    summary = "TEST(S) FAILED !!";
    mark = '-';
  } else if (window_.RepeatChecked()) {
    summary += "  (Loop " + DecimalText(pass) + ")";
  }
  log_.AppendLine(summary);
  log_.WriteLine(std::string(1, mark) + summary + " " + NowDateTimeText());
  log_.AppendLine("");
  log_.WriteLine("");
  window_.PassFinished(pass, all_passed);
  return all_passed;
}

void Tester::CloseRun(std::int32_t passes) {
  controls_disabled_ = false;
  window_.SetRunControlsEnabled(true);
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
    window_.SetResultBackground(kRed);
    log_.Report('-', "Test run aborted: " + reason);
  });
}

void Tester::CleanUp() noexcept {
  if (controls_disabled_) {
    controls_disabled_ = false;
    Quietly([&] { window_.SetRunControlsEnabled(true); });
  }
  log_.CloseFile();
  monitor_.SetTestsRunning(false);
  Quietly([&] { window_.FocusRunButton(); });
  Quietly([&] { window_.SetBusyCursor(false); });
}

bool Tester::Retest(std::int16_t number) {
  monitor_.SetTestsRunning(true);
  struct Done {
    CommMonitor& monitor;
    ~Done() { monitor.SetTestsRunning(false); }
  } done{monitor_};
  return tests_.Run(number);
}

std::string LineSettingsText(const settings::Settings& settings) {
  const char* parity = "N";
  if (settings.Parity == 2) parity = "O";
  if (settings.Parity == 3) parity = "E";
  return DecimalText(settings.BaudRate) + "," + parity + "," + DecimalText(settings.DataBits) +
         "," + DecimalText(settings.StopBits);
}

std::optional<std::string> Tester::SetUpPort() {
  // The menus and the port list are disabled during a run; a call that comes anyway must not
  // pull the port away from a test.
  if (Running()) return std::nullopt;

  // A control that opens without complaint but is not open is a failure all the same; it is
  // reported with an empty description and number 0.
  ErrorInfo error;
  try {
    const std::string text = LineSettingsText(settings_);
    port_.LineSettings(text);
    port_.FlowControl(0);
    window_.SetBusyCursor(true);
    if (port_.OpenState()) port_.OpenState(false);
    port_.PortNumber(settings_.ComPort);
    port_.OpenState(true);
    if (port_.OpenState()) {
      port_.RtsOn(window_.RtsChecked());
      port_.DtrOn(window_.DtrChecked());
      log_.AppendLine("Com-port " + DecimalText(settings_.ComPort) + " = " + text);
      window_.SetTestFrameCaption("&Test:  (" + text + ")");
      window_.SetBusyCursor(false);
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
  Quietly([&] { window_.SelectComEntry(0); });
  Quietly([&] {
    window_.SetBusyCursor(false);
    window_.ShowCriticalMessage("Error opening Com-port " + DecimalText(failed_port) + "\rError: " +
                                    DescriptionWithNumber(error.description, error.number) + "\r",
                                "Error in Setup_ComPort");
  });
  return error.description;
}

}  // namespace serivane::engine
