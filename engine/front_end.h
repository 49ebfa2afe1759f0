// What the test engine needs of a front end, in the parts its users tell apart: the results
// box, the window's controls, the operator's answers, the event loop, and an observer of the
// run. A front end implements the parts it has and leaves the others out; the engine then does
// without them (a results view that shows nothing, controls that are not there, nobody
// watching). The window implements all five; the command-line runner only the event loop, the
// answers and the observer. All calls come on the engine's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/outcome.h"

namespace serivane::engine {

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};

inline constexpr Rgb kWhite{255, 255, 255};
inline constexpr Rgb kYellow{255, 255, 0};
inline constexpr Rgb kRed{255, 0, 0};

// The results box (Result_Text). Its text uses CR LF line ends.
class ResultsView {
 public:
  virtual ~ResultsView() = default;
  virtual std::string ResultText() const = 0;
  virtual void SetResultText(const std::string& text) = 0;
  // Adds `text` to the end of the box, as SetResultText(ResultText() + text) would, but without
  // setting the whole text again; the caret stays where it was.
  virtual void AppendResultText(const std::string& text) { SetResultText(ResultText() + text); }
  // Characters (bytes) in the box, as ResultText().size().
  virtual std::size_t ResultTextLength() const { return ResultText().size(); }
  virtual void MoveResultCaretToEnd() = 0;
  // Repaints the box at once, so that a line shows while a test goes on without yielding.
  virtual void RepaintResult() = 0;
  virtual void SetResultBackground(Rgb colour) = 0;
};

// The window's controls and boxes around a run and the port setup.
class WindowControls {
 public:
  virtual ~WindowControls() = default;
  // Enables or disables together: Run_Button, Manual_Frame, Setup_Menu, Func_Menu, Com_Combo.
  virtual void SetRunControlsEnabled(bool enabled) = 0;
  virtual void FocusRepeatBox() = 0;
  virtual void FocusRunButton() = 0;
  virtual void RestoreIfMinimized() = 0;
  // The hourglass pointer on (true) or back to the default (false).
  virtual void SetBusyCursor(bool busy) = 0;
  // Selects entry `index` (0 = "Com1") of the port list.
  virtual void SelectComEntry(int index) = 0;
  virtual void SetTestFrameCaption(const std::string& caption) = 0;
  // Modal box with OK only and the critical icon. Text lines are separated by a single CR.
  virtual void ShowCriticalMessage(const std::string& text, const std::string& title) = 0;
  // The Exit command: closes the port, saves the settings and ends the program. The real
  // window never returns from it; a fake may, and the engine then returns at once.
  virtual void Exit() = 0;
};

// What the operator has chosen or answers.
class OperatorAnswers {
 public:
  virtual ~OperatorAnswers() = default;
  // Loop_Check: true when checked.
  virtual bool RepeatChecked() const = 0;
  // Modal box with OK and Cancel, exclamation icon, OK the default. True for OK; false for
  // Cancel or the box closed any other way. Text lines are separated by a single CR.
  virtual bool AskFailureContinue(const std::string& text, const std::string& title) = 0;
  // Manual line boxes: true when checked.
  virtual bool RtsChecked() const = 0;
  virtual bool DtrChecked() const = 0;
  // Check mark of "&Close when finished": the engine calls Exit after the run.
  virtual bool CloseWhenFinished() const = 0;
};

// The front end's event loop.
class EventPump {
 public:
  virtual ~EventPump() = default;
  // Lets pending events run once (timers, port events, clicks), then returns.
  virtual void DoEvents() = 0;
  // As DoEvents, but when no event is pending first sleeps until one comes (bytes on the port,
  // its next deadline, a window event) or `max_ms` have passed. Returns false, having done
  // nothing, when the loop cannot sleep on its events (it does not run on the engine's clock);
  // the engine then pauses on its clock and calls DoEvents.
  virtual bool WaitForEvents(std::int32_t max_ms) = 0;
  // tmrOnComm: off, or on with its 1000 ms interval started afresh.
  virtual void SetCommTimerEnabled(bool enabled) = 0;
};

// Where a line of the results box comes from.
enum class LineOrigin {
  kRun,    // the run's own lines (start, summaries, closing lines) and those outside any run
  kTest,   // a line of the running test; it is in the test's outcome as well
  kEvent,  // a port event's message
};

// Follows runs as they happen.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // Test `number` (1 to 5) of a run's pass is about to run.
  virtual void TestStarting(std::int16_t /*number*/) {}
  // It has ended, as `outcome` tells.
  virtual void TestFinished(const TestOutcome& /*outcome*/) {}
  // A line has gone to the results box, before any length cut.
  virtual void LineAdded(std::string_view /*line*/, LineOrigin /*origin*/) {}
  // A pass has ended: after its summary, or cut short by a stop request without one.
  virtual void PassFinished(const PassOutcome& /*pass*/) {}
  // Every pass has run and no stop was asked for; the run's result file is still open and the
  // tests still own the port's events, so a front end may run checks of its own here and
  // report them through the run's log.
  virtual void AfterPasses() {}
};

// The parts a front end gives the engine. The event loop and the answers are needed; a part
// left out (null) is replaced by one that does nothing. The parts must outlive the engine.
class FrontEnd {
 public:
  FrontEnd(EventPump& events, OperatorAnswers& answers, ResultsView* results = nullptr,
           WindowControls* controls = nullptr, RunObserver* observer = nullptr);

  EventPump& events;
  OperatorAnswers& answers;
  ResultsView& results;
  WindowControls& controls;
  RunObserver& observer;
};

}  // namespace serivane::engine
