// What the test engine needs of the main window, and nothing more. The window implements it
// with Qt widgets; tests implement it with a recording fake. All calls come on the
// user-interface thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace serivane::engine {

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};

inline constexpr Rgb kWhite{255, 255, 255};
inline constexpr Rgb kYellow{255, 255, 0};
inline constexpr Rgb kRed{255, 0, 0};

class WindowPort {
 public:
  virtual ~WindowPort() = default;

  // The results box (Result_Text). Its text uses CR LF line ends.
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

  // Enables or disables together: Run_Button, Manual_Frame, Setup_Menu, Func_Menu, Com_Combo.
  virtual void SetRunControlsEnabled(bool enabled) = 0;
  // Loop_Check: true when checked.
  virtual bool RepeatChecked() const = 0;
  virtual void FocusRepeatBox() = 0;
  virtual void FocusRunButton() = 0;
  virtual void RestoreIfMinimized() = 0;

  // Modal box with OK and Cancel, exclamation icon, OK the default. True for OK; false for
  // Cancel or the box closed any other way. Text lines are separated by a single CR.
  virtual bool AskFailureContinue(const std::string& text, const std::string& title) = 0;
  // Modal box with OK only and the critical icon.
  virtual void ShowCriticalMessage(const std::string& text, const std::string& title) = 0;

  // Lets pending window events run once (timers, port events, clicks), then returns.
  virtual void DoEvents() = 0;
  // As DoEvents, but when no event is pending first sleeps until one comes (bytes on the port,
  // its next deadline, a window event) or `max_ms` have passed. Returns false, having done
  // nothing, when the window cannot sleep on its events (its loop does not run on the engine's
  // clock); the engine then pauses on its clock and calls DoEvents.
  virtual bool WaitForEvents(std::int32_t max_ms) = 0;
  // The hourglass pointer on (true) or back to the default (false).
  virtual void SetBusyCursor(bool busy) = 0;

  // Manual line boxes: true when checked.
  virtual bool RtsChecked() const = 0;
  virtual bool DtrChecked() const = 0;
  // Selects entry `index` (0 = "Com1") of the port list.
  virtual void SelectComEntry(int index) = 0;
  virtual void SetTestFrameCaption(const std::string& caption) = 0;

  // tmrOnComm: off, or on with its 1000 ms interval started afresh.
  virtual void SetCommTimerEnabled(bool enabled) = 0;

  // Check mark of "&Close when finished".
  virtual bool CloseWhenFinished() const = 0;
  // The Exit command: closes the port, saves the settings and ends the program. The real
  // window never returns from it; a fake may, and the engine then returns at once.
  virtual void Exit() = 0;

  // Hooks for a front end that follows a run as it happens (the command-line runner). The
  // window needs none of them; by default they do nothing.
  // Test `number` (1 to 5) is about to be called in the pass loop / has returned.
  virtual void TestStarting(std::int16_t /*number*/) {}
  virtual void TestFinished(std::int16_t /*number*/, bool /*failed*/) {}
  // A line has gone to the results box (ResultLog::AppendLine), before any length cut.
  virtual void ResultLineAdded(std::string_view /*line*/) {}
  // Pass `pass` (from 1) has written its summary; `all_passed` is its verdict.
  virtual void PassFinished(std::int32_t /*pass*/, bool /*all_passed*/) {}
};

}  // namespace serivane::engine
