// The Setup and Function menus, and the program's own message and input boxes.
#include <QMessageBox>

#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using MenusTest = FormTest;

TEST_F(MenusTest, LineParameterItemsMarkTheirChoiceAndReopenThePort) {
  Start();
  ASSERT_TRUE(WaitTick());
  std::string expected = "Serivane ready\r\n";
  for (const auto& [item, line] : {std::pair{"baud_menu_7", "19200,N,8,1"},
                                   {"baud_menu_1", "300,N,8,1"},
                                   {"Bits_Menu_7", "300,N,7,1"},
                                   {"Stop_Menu_2", "300,N,7,2"},
                                   {"Parity_Menu_3", "300,E,7,2"},
                                   {"Parity_Menu_2", "300,O,7,2"},
                                   {"Parity_Menu_2", "300,O,7,2"}}) {  // again: set up again
    SCOPED_TRACE(item);
    form_->findChild<QAction*>(item)->trigger();
    expected += std::string("Com-port 1 = ") + line + "\r\n";
    EXPECT_EQ(form_->ResultText(), expected);
    EXPECT_EQ(form_->port().OpenState() ? form_->port().LineSettings() : "closed", line);
    EXPECT_EQ(Find<QGroupBox>("Test_Frame")->title().toStdString(),
              std::string("&Test:  (") + line + ")");
  }
  EXPECT_EQ(Marked(), (Strings{"Bits_Menu_7", "Parity_Menu_2", "Stop_Menu_2", "baud_menu_1"}));
}

// An answer is read as a number and rounded half to even; the rounded number is stored when it
// is above 0 (the delay) or 100 (the duration) and fits in 16 bits; otherwise the value stays.
// Rounding comes first, so no value the check refuses is ever stored (0.4, 100.4).
TEST_F(MenusTest, InputBoxAnswersAreReadAsNumbersAndCheckedAgainstTheirLimits) {
  const struct {
    bool delay;          // else the close/open duration
    const char* answer;  // "" is Cancel
    std::int16_t stored;
  } cases[] = {
      {true, "abc", 50},     {true, "0", 50},        {true, "", 50},         {true, "25ms", 25},
      {true, "1 000", 1000}, {true, "2.5", 2},       {true, "3.5", 4},       {true, "0.4", 50},
      {true, "0.6", 1},      {true, "&H20", 32},     {true, "32768", 50},    {false, "100", 2000},
      {false, "101", 101},   {false, "100.4", 2000}, {false, "100.5", 2000}, {false, "100.6", 101}};
  Create();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.delay ? "delay \"" : "duration \"") + c.answer + "\"");
    form_->settings().HandshakeDelay = 50;
    form_->settings().MaxDuration = 2000;
    dialogs_.inputs.clear();
    dialogs_.input_answer = c.answer;
    (c.delay ? Find<QAction>("SetupDelay_Menu") : Find<QAction>("SetupDuration_Menu"))->trigger();
    EXPECT_EQ(c.delay ? form_->settings().HandshakeDelay : form_->settings().MaxDuration, c.stored);
    EXPECT_EQ(dialogs_.inputs,
              Strings{c.delay ? "Handshake test delay|50|Enter delay in milliseconds from "
                                "RTS/DTR line set to CTS/DSR line is checked:"
                              : "Max. close/open duration|2000|Enter maximum allow duration "
                                "milliseconds for close/open Com port:"});
  }
  EXPECT_TRUE(dialogs_.messages.empty()) << "bad input is ignored without a message";
}

TEST_F(MenusTest, ResultFileDialogAsksForTheStoredNameAndKeepsItOnCancel) {
  Create();
  form_->SetupFile_Menu_Click();
  EXPECT_EQ(form_->settings().ResultFileName, "C:\\RS-232_Result.Txt");
  dialogs_.file_answer = "/tmp/chosen.txt";
  form_->SetupFile_Menu_Click();
  EXPECT_EQ(form_->settings().ResultFileName, "/tmp/chosen.txt");
  const FileDialogRequest& r = dialogs_.file_request;
  EXPECT_EQ(r.title + "|" + r.initial_folder + "|" + r.file_name + "|" + std::to_string(r.flags),
            "Select or enter file to write results to:|C:|RS-232_Result.Txt|2054");
  EXPECT_EQ(QtFilterList(r.filter), "Txt file (*.txt);;All files (*.*)");
  EXPECT_EQ(QtFilterList("Text|*.txt;*.log"), "Text (*.txt *.log)");
}

TEST_F(MenusTest, FunctionSwitchesClearAndAbout) {
  Create();
  for (QAction* item : {Find<QAction>("FuncStart_Menu"), Find<QAction>("FuncClose_Menu"),
                        Find<QAction>("FuncStart_Menu")})
    item->trigger();
  EXPECT_EQ(Marked(), (Strings{"Bits_Menu_8", "FuncClose_Menu", "Parity_Menu_1", "Stop_Menu_1",
                               "baud_menu_8"}));
  form_->SetResultBackground(engine::kRed);
  form_->SetResultText("TEST(S) FAILED !!\r\n");
  EXPECT_EQ(Find<QPlainTextEdit>("Result_Text")->toPlainText(),
            QStringLiteral("TEST(S) FAILED !!\n"));
  // Received codes above 127 stay visible byte for byte; the program's UTF-8 texts stay UTF-8.
  form_->SetResultText("7\xff\xe9");
  EXPECT_EQ(Find<QPlainTextEdit>("Result_Text")->toPlainText(), QString::fromLatin1("7\xff\xe9"));
  form_->SetResultText("/dev/caf\xc3\xa9");
  EXPECT_EQ(Find<QPlainTextEdit>("Result_Text")->toPlainText(),
            QString::fromUtf8("/dev/caf\xc3\xa9"));
  Find<QAction>("FuncClear_Menu")->trigger();
  EXPECT_EQ(form_->ResultText() + Find<QPlainTextEdit>("Result_Text")->toPlainText().toStdString(),
            "");
  EXPECT_EQ(Find<QPlainTextEdit>("Result_Text")->palette().color(QPalette::Base),
            QColor(255, 0, 0));
  Find<QAction>("FuncAbout_Menu")->trigger();
  EXPECT_EQ(dialogs_.messages, Strings{"About RS-232 Serivane|0|RS-232 Serivane1.4.0\r\r(Hold "
                                       "down <Delete> during startup to reset Com-port to Com1)"});
  EXPECT_TRUE(exits_.empty());
}

// The real boxes: CR breaks lines, Escape is Cancel where there is one, OK otherwise.
TEST(QtDialogsTest, BoxesBreakLinesAtCrAndTakeEscapeAsCancel) {
  QtDialogs dialogs;
  QString shown;
  const auto answer_next = [&](Qt::Key key) {
    QTimer::singleShot(50, [&shown, key] {
      QWidget* box = QApplication::activeModalWidget();
      if (auto* message = qobject_cast<QMessageBox*>(box)) shown = message->text();
      QTest::keyClick(box->focusWidget() ? box->focusWidget() : box, key);
    });
  };
  for (const auto& [key, ok_cancel, ok] : {std::tuple{Qt::Key_Escape, true, false},
                                           {Qt::Key_Return, true, true},
                                           {Qt::Key_Escape, false, true}}) {
    answer_next(key);
    EXPECT_EQ(dialogs.Message("Test 2 failed.\rPress OK,\rCancel to abort", "RS-232 Test failed",
                              MessageIcon::kExclamation, ok_cancel),
              ok);
    EXPECT_EQ(shown, QStringLiteral("Test 2 failed.\nPress OK,\nCancel to abort"));
    shown.clear();
  }
  answer_next(Qt::Key_Return);
  EXPECT_EQ(dialogs.Input("Enter delay:", "Handshake test delay", "50"), "50");
  answer_next(Qt::Key_Escape);
  EXPECT_EQ(dialogs.Input("Enter delay:", "Handshake test delay", "50"), "");
}

}  // namespace
}  // namespace serivane::app::testing
