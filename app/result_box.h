// ResultBox: the window's results box as the engine writes it. It keeps the text as written and
// shows it with CR LF as one line end; the caret and the paint the engine asks for wait until
// Flush, which the window calls before the thread waits or pauses, so that each line is seen
// while a test goes on and lines added together cost one paint.
#pragma once

#include <QTextBlock>
#include <cstddef>
#include <string>

#include "engine/front_end.h"

class QPlainTextEdit;

namespace serivane::app {

class ResultBox final : public engine::ResultsView {
 public:
  // `box` must outlive this. Gives the box a scroll bar that is painted again only when its look
  // changes.
  explicit ResultBox(QPlainTextEdit* box);

  std::string ResultText() const override;
  void SetResultText(const std::string& text) override;
  void AppendResultText(const std::string& text) override;
  std::size_t ResultTextLength() const override;
  void MoveResultCaretToEnd() override;
  void RepaintResult() override;
  void SetResultBackground(engine::Rgb colour) override;

  // Moves the caret and paints the box as asked for since the last time.
  void Flush();

 private:
  void KeepShapedLines(QTextBlock from);

  QPlainTextEdit* box_;
  std::string text_;
  bool caret_pending_ = false;
  bool paint_pending_ = false;
};

}  // namespace serivane::app
