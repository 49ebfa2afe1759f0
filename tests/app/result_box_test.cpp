// The results box takes lines by appending; what it shows must be what setting the whole text
// at once shows.
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

}  // namespace
}  // namespace serivane::app::testing
