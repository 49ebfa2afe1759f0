// The results box: the text the engine writes, shown with CR LF as one line end, and brought up
// to date on the screen only when the thread is about to wait.
#include "app/result_box.h"

#include <QPaintEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <algorithm>
#include <optional>

#include "app/dialogs.h"

namespace serivane::app {

namespace {

// Each line added to the box moves its scroll bar's range and value, and a scroll bar repaints
// itself at every such move. Once the box is full, the handle is at its smallest size at the
// foot of the groove and a move changes nothing that is seen: this one paints again only when
// the handle's place or size, the end it stands at or its state changes.
class SteadyScrollBar final : public QScrollBar {
 public:
  explicit SteadyScrollBar(Qt::Orientation orientation) : QScrollBar(orientation) {}

 protected:
  void sliderChange(SliderChange change) override {
    if ((change == SliderRangeChange || change == SliderValueChange) && painted_ &&
        *painted_ == CurrentLook())
      return;
    QScrollBar::sliderChange(change);
  }

  void paintEvent(QPaintEvent* event) override {
    painted_ = CurrentLook();
    QScrollBar::paintEvent(event);
  }

 private:
  struct Look {
    QRect rect;
    QRect handle;
    bool at_minimum;
    bool at_maximum;
    bool no_range;
    int state;
    int active;
    bool operator==(const Look&) const = default;
  };

  Look CurrentLook() const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    return {
        option.rect,
        style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
        option.sliderPosition == option.minimum,
        option.sliderPosition == option.maximum,
        option.minimum == option.maximum,
        static_cast<int>(option.state),
        static_cast<int>(option.activeSubControls)};
  }

  std::optional<Look> painted_;
};

}  // namespace

ResultBox::ResultBox(QPlainTextEdit* box) : box_(box) {
  box_->setVerticalScrollBar(new SteadyScrollBar(Qt::Vertical));
}

std::string ResultBox::ResultText() const {
  return text_;
}

void ResultBox::SetResultText(const std::string& text) {
  text_ = text;
  box_->setPlainText(ToQString(DisplayLines(text)));
  KeepShapedLines(box_->document()->firstBlock());
}

void ResultBox::KeepShapedLines(QTextBlock from) {
  // A text layout forgets its glyphs once laid out unless told to keep them, and every paint
  // of the box would shape each visible line again. The box holds at most about 20 000
  // characters, so what is kept stays small.
  for (QTextBlock block = from; block.isValid(); block = block.next()) {
    if (QTextLayout* layout = block.layout()) layout->setCacheEnabled(true);
  }
}

void ResultBox::AppendResultText(const std::string& text) {
  // The box shows its whole text decoded as UTF-8, or as Latin-1 when it is not valid UTF-8, with
  // CR LF as one line end. Plain ASCII that does not complete a CR LF pair shows the same
  // either way when added on its own; anything else is set with the whole text.
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  const bool completes_pair =
      !text_.empty() && text_.back() == '\r' && !text.empty() && text.front() == '\n';
  if (!ascii || completes_pair) {
    SetResultText(text_ + text);
    return;
  }
  text_ += text;
  QTextCursor end(box_->document());
  end.movePosition(QTextCursor::End);
  const QTextBlock first = end.block();
  end.insertText(ToQString(DisplayLines(text)));
  KeepShapedLines(first);
}

std::size_t ResultBox::ResultTextLength() const {
  return text_.size();
}

void ResultBox::MoveResultCaretToEnd() {
  caret_pending_ = true;
}

void ResultBox::RepaintResult() {
  paint_pending_ = true;
}

void ResultBox::Flush() {
  if (caret_pending_) {
    caret_pending_ = false;
    // Text added at the caret carries it along; moving it costs a paint of its own.
    if (!box_->textCursor().atEnd()) box_->moveCursor(QTextCursor::End);
    box_->ensureCursorVisible();
  }
  if (paint_pending_) {
    paint_pending_ = false;
    box_->viewport()->repaint();
  }
}

void ResultBox::SetResultBackground(engine::Rgb colour) {
  QPalette palette = box_->palette();
  palette.setColor(QPalette::Base, QColor(colour.r, colour.g, colour.b));
  box_->setPalette(palette);
}

}  // namespace serivane::app
