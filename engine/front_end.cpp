#include "engine/front_end.h"

namespace serivane::engine {

namespace {

class NoResultsView final : public ResultsView {
 public:
  std::string ResultText() const override { return {}; }
  void SetResultText(const std::string&) override {}
  void AppendResultText(const std::string&) override {}
  std::size_t ResultTextLength() const override { return 0; }
  void MoveResultCaretToEnd() override {}
  void RepaintResult() override {}
  void SetResultBackground(Rgb) override {}
};

class NoControls final : public WindowControls {
 public:
  void SetRunControlsEnabled(bool) override {}
  void FocusRepeatBox() override {}
  void FocusRunButton() override {}
  void RestoreIfMinimized() override {}
  void SetBusyCursor(bool) override {}
  void SelectComEntry(int) override {}
  void SetTestFrameCaption(const std::string&) override {}
  void ShowCriticalMessage(const std::string&, const std::string&) override {}
  void Exit() override {}
};

// Stateless: one of each serves every engine on every thread.
NoResultsView no_results;
NoControls no_controls;
RunObserver no_observer;

}  // namespace

FrontEnd::FrontEnd(EventPump& pump, OperatorAnswers& operator_answers, ResultsView* box,
                   WindowControls* window, RunObserver* watcher)
    : events(pump),
      answers(operator_answers),
      results(box != nullptr ? *box : no_results),
      controls(window != nullptr ? *window : no_controls),
      observer(watcher != nullptr ? *watcher : no_observer) {}

}  // namespace serivane::engine
