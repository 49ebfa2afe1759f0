// The run driver: one call of Run_Button_Click is one test run of one or more passes.
#include "engine/tester.h"

#include <exception>

#include "common/conv.h"
#include "common/datetime.h"
#include "common/paths.h"
#include "engine/error_text.h"
#include "engine/result_file.h"

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
    : window_(window), port_(port), clock_(clock), settings_(settings) {}

Tester::~Tester() = default;

void Tester::Test_Check_Click(std::int16_t index, int value) {
  if (index < 1 || index > 5) return;
  settings_.TestSelected[static_cast<std::size_t>(index)] = value != 0;
}

void Tester::Run_Button_Click() {
  // The status timer calls this directly after it has reopened a closed port, and it can do so
  // while a run yields (a test left the port closed). A run never starts inside another.
  if (in_run_ || TestRunning) return;
  in_run_ = true;
  try {
    RunPasses();
  } catch (...) {
    AbortRun(CurrentError().description);
  }
  FinishRun();
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

void Tester::RunPasses() {
  window_.SetBusyCursor(true);
  window_.DoEvents();

  TestRunning = true;
  window_.SetResultText("");
  window_.SetResultBackground(kWhite);

  SlowOpenCloseCount = 0;
  OpenResultFile();
  AppendResultLine("Test started ...");
  PrintResultLine("Test started " + NowDateTimeText());

  controls_disabled_ = true;
  window_.SetRunControlsEnabled(false);
  if (window_.RepeatChecked()) window_.FocusRepeatBox();
  window_.SetResultBackground(kWhite);
  window_.DoEvents();

  std::int32_t pass = 1;
  bool all_passed = true;
  do {
    all_passed = true;
    for (std::int16_t n = 1; n <= 5; ++n) {
      if (stop_requested_) break;
      bool test_failed = false;
      // Read at this moment: a box changed during the run counts from its next turn.
      if (settings_.TestSelected[static_cast<std::size_t>(n)]) {
        window_.TestStarting(n);
        switch (n) {
          case 1:
            test_failed = Test_OpenClose();
            break;
          case 2:
            test_failed = Test_DataTxRx();
            break;
          case 3:
            test_failed = Test_SingleBytes();
            break;
          case 4:
            test_failed = Test_RtsCts();
            break;
          default:
            test_failed = Test_DtrDsr();
            break;
        }
        window_.TestFinished(n, test_failed);
      }
      if (!test_failed) continue;
      window_.SetResultBackground(kRed);
      all_passed = false;
      window_.RestoreIfMinimized();
      const bool go_on = window_.AskFailureContinue(
          "Test " + DecimalText(n) + " failed.\rPress OK to continue test,\rand Cancel to abort",
          "RS-232 Test failed");
      if (!go_on) break;
    }

    std::string summary;
    char mark = '+';
    if (all_passed) {
      summary = window_.RepeatChecked() ? "All test(s) passed  (Loop " + DecimalText(pass) + ")"
                                        : "All test(s) passed";
    } else {
      window_.SetResultBackground(kRed);
      summary = "TEST(S) FAILED !!";
      mark = '-';
    }
    AppendResultLine(summary);
    PrintResultLine(std::string(1, mark) + summary + " " + NowDateTimeText());
    AppendResultLine("");
    PrintResultLine("");
    window_.PassFinished(pass, all_passed);

    ++pass;
    window_.DoEvents();
    // A pass with a failure ends the run, whatever the operator answered.
  } while (window_.RepeatChecked() && all_passed && !stop_requested_);

  controls_disabled_ = false;
  window_.SetRunControlsEnabled(true);

  if (pass > 2) {
    AppendResultLine("Test(s) repeated " + DecimalText(pass - 1) + " times");
    if (SlowOpenCloseCount > 0) {
      const std::string slow = "Some 'Close/Open port' tests are slow (>" +
                               DecimalText(settings_.MaxDuration) +
                               "ms): " + DecimalText(SlowOpenCloseCount);
      AppendResultLine(slow);
      PrintResultLine(slow);
    }
  }
}

void Tester::OpenResultFile() {
  result_file_ = std::make_unique<ResultFile>();
  result_file_failed_ = false;
  result_file_create_error_.clear();
  const std::string& stored = settings_.ResultFileName;
  const std::optional<std::string> path = ResolveDrivePath(stored, HomeFolder());
  result_file_shown_name_ = stored;
  if (path && *path != stored) result_file_shown_name_ += " (" + *path + ")";
  const std::string reason = path ? result_file_->Create(*path) : "no such drive";
  // The failure is told at the first line meant for the file (PrintResultLine), so that it
  // stands after the start line in the box.
  if (!reason.empty())
    result_file_create_error_ =
        "Result file error: cannot create " + result_file_shown_name_ + ": " + reason;
}

void Tester::AbortRun(const std::string& reason) noexcept {
  // Only reached when something other than a test failed (the tests report their own errors):
  // the run ends as a failed run, and the reason is kept in the box and the file.
  Quietly([&] {
    window_.SetResultBackground(kRed);
    ReportLine('-', "Test run aborted: " + reason);
  });
}

void Tester::FinishRun() noexcept {
  if (controls_disabled_) {
    controls_disabled_ = false;
    Quietly([&] { window_.SetRunControlsEnabled(true); });
  }
  if (result_file_) {
    const std::string reason = result_file_->Close();
    if (!reason.empty() && !result_file_failed_) {
      result_file_failed_ = true;
      Quietly([&] {
        AppendResultLine("Result file error: cannot write " + result_file_shown_name_ + ": " +
                         reason);
      });
    }
    result_file_.reset();
  }
  TestRunning = false;
  Quietly([&] { window_.FocusRunButton(); });
  Quietly([&] { window_.SetBusyCursor(false); });
}

}  // namespace serivane::engine
