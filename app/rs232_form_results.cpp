// The results box: the text the engine writes, shown with CR LF as one line end, and brought up
// to date on the screen only when the thread is about to wait.
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <algorithm>

#include "app/rs232_form.h"

namespace serivane::app {

std::string RS232_Form::ResultText() const {
  return result_text_;
}

void RS232_Form::SetResultText(const std::string& text) {
  result_text_ = text;
  Result_Text->setPlainText(ToQString(DisplayLines(text)));
  KeepShapedLines(Result_Text->document()->firstBlock());
}

void RS232_Form::KeepShapedLines(QTextBlock from) {
  // A text layout forgets its glyphs once laid out unless told to keep them, and every paint
  // of the box would shape each visible line again. The box holds at most about 20 000
  // characters, so what is kept stays small.
  for (QTextBlock block = from; block.isValid(); block = block.next()) {
    if (QTextLayout* layout = block.layout()) layout->setCacheEnabled(true);
  }
}

void RS232_Form::AppendResultText(const std::string& text) {
  // The box shows its whole text decoded as UTF-8, or as Latin-1 when it is not valid UTF-8, with
  // CR LF as one line end. Plain ASCII that does not complete a CR LF pair shows the same
  // either way when added on its own; anything else is set with the whole text.
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  const bool completes_pair =
      !result_text_.empty() && result_text_.back() == '\r' && !text.empty() && text.front() == '\n';
  if (!ascii || completes_pair) {
    SetResultText(result_text_ + text);
    return;
  }
  result_text_ += text;
  QTextCursor end(Result_Text->document());
  end.movePosition(QTextCursor::End);
  const QTextBlock first = end.block();
  end.insertText(ToQString(DisplayLines(text)));
  KeepShapedLines(first);
}

std::size_t RS232_Form::ResultTextLength() const {
  return result_text_.size();
}

void RS232_Form::MoveResultCaretToEnd() {
  caret_pending_ = true;
}

void RS232_Form::RepaintResult() {
  paint_pending_ = true;
}

void RS232_Form::FlushResultBox() {
  if (caret_pending_) {
    caret_pending_ = false;
    // Text added at the caret carries it along; moving it costs a paint of its own.
    if (!Result_Text->textCursor().atEnd()) Result_Text->moveCursor(QTextCursor::End);
    Result_Text->ensureCursorVisible();
  }
  if (paint_pending_) {
    paint_pending_ = false;
    Result_Text->viewport()->repaint();
  }
}

void RS232_Form::SetResultBackground(engine::Rgb colour) {
  QPalette palette = Result_Text->palette();
  palette.setColor(QPalette::Base, QColor(colour.r, colour.g, colour.b));
  Result_Text->setPalette(palette);
}

}  // namespace serivane::app
