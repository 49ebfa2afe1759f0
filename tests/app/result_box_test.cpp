// The results box takes lines by appending; what it shows must be what setting the whole text
// at once shows.
#include <QScreen>
#include <QScrollBar>
#include <QTextCursor>

#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using ResultBoxTest = FormTest;

// Where an added piece completes a CR LF pair, or is not plain ASCII (the whole text is then
// decoded again, as UTF-8 or else as Latin-1), the box must not show the pieces decoded apart.
TEST_F(ResultBoxTest, AppendedPiecesShowAsTheWholeText) {
  Start();
  const std::pair<Strings, QString> rows[] = {
      {{"Serivane ready\r\n", "Test started ...\r\n"}, "Serivane ready\nTest started ...\n"},
      {{"abc\r", "\ndef"}, "abc\ndef"},
      {{"caf\xC3\xA9\r\n", "x\r\n"}, QString::fromUtf8("caf\xC3\xA9\nx\n")},
      {{"\xFF\r\n", "\xC3\xA9"}, QString::fromLatin1("\xFF\n\xC3\xA9")},
      {{"ok\r\n", "\xC3\xA9"}, QString::fromUtf8("ok\n\xC3\xA9")}};
  for (const auto& [pieces, shown] : rows) {
    form_->results().SetResultText("");
    std::string whole;
    for (const std::string& piece : pieces) {
      form_->results().AppendResultText(piece);
      whole += piece;
    }
    EXPECT_EQ(Find<QPlainTextEdit>("Result_Text")->toPlainText(), shown) << whole;
    EXPECT_EQ(form_->results().ResultText(), whole);
  }
  // Result lines leave the caret at the end; the cut sets the box again and leaves its last 10000
  // characters, shown as they are kept.
  form_->results().SetResultText("");
  const std::string line = "Data Tx/Rx: 256 bytes send/received --- OK";  // 44 with CR LF
  for (int i = 0; i < 454; ++i) form_->tester().Log().AppendLine(line);
  EXPECT_EQ(form_->results().ResultText().size(), 19976u);
  EXPECT_TRUE(Find<QPlainTextEdit>("Result_Text")->textCursor().atEnd());
  form_->tester().Log().AppendLine(line);
  ASSERT_EQ(form_->results().ResultText().size(), 10000u);
  // 227 whole lines and a 12-character fragment that ends in CR LF: 228 pairs, each shown as one.
  EXPECT_EQ(Find<QPlainTextEdit>("Result_Text")->toPlainText().size(), 10000 - 228);
  EXPECT_TRUE(Find<QPlainTextEdit>("Result_Text")->toPlainText().endsWith(" OK\n"));
  EXPECT_FALSE(Find<QPlainTextEdit>("Result_Text")->document()->isUndoAvailable());
}

// The box's scroll bar is painted again only when a line changes how it looks. What the screen
// shows of it must be, after every line, what drawing it afresh shows; and once the box is full
// and the handle stays at the foot, a line must not paint it at all.
TEST_F(ResultBoxTest, TheScrollBarOnScreenFollowsEachLineAndAFullBoxLeavesItAlone) {
  Start();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
  auto* box = Find<QPlainTextEdit>("Result_Text");
  QScrollBar* bar = box->verticalScrollBar();
  QWidget* holder = bar->parentWidget();
  struct PaintCount final : QObject {
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++paints;
      return false;
    }
    int paints = 0;
  } count;
  bar->installEventFilter(&count);
  form_->results().SetResultText("");
  QApplication::processEvents();
  const auto on_screen = [&] {
    const QRect where(holder->mapTo(form_.get(), QPoint(0, 0)), holder->size());
    return form_->screen()->grabWindow(form_->winId()).copy(where).toImage();
  };
  // Paints on the screen only: drawing it afresh paints it too.
  int screen_paints = 0;
  int paints_while_full = -1;
  int handle_moves = 0;
  int last_handle = -1;
  for (int i = 0; i < 80; ++i) {
    count.paints = 0;
    form_->tester().Log().AppendLine("Line " + std::to_string(i));
    form_->results().Flush();
    QApplication::processEvents();
    screen_paints += count.paints;
    EXPECT_EQ(on_screen(), holder->grab().toImage()) << "after line " << i;
    if (bar->value() != last_handle) ++handle_moves;
    last_handle = bar->value();
    // By then the handle is at its smallest, at the foot of the groove.
    if (i == 60) paints_while_full = screen_paints;
  }
  EXPECT_GT(handle_moves, 50);
  EXPECT_EQ(screen_paints, paints_while_full) << "lines that change nothing seen repaint the bar";
}

}  // namespace
}  // namespace serivane::app::testing
