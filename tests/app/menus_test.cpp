// The Setup and Function menus, and the program's own message and input boxes.
#include <QMessageBox>

#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using MenusTest = FormTest;

// From the menu or by a direct call of its handler, a choice marks its item alone in its group
// and sets the port up again; an index outside the group changes nothing.
TEST_F(MenusTest, LineParameterChoicesMarkTheirItemAndSetThePortUp) {
  Start();
  ASSERT_TRUE(WaitTick());
  const std::function<void()> choices[] = {
      [&] { Find<QAction>("baud_menu_10")->trigger(); },
      [&] { form_->Bits_Menu_Click(7); },
      [&] { form_->Stop_Menu_Click(2); },
      [&] { Find<QAction>("Parity_Menu_3")->trigger(); },
      [&] { form_->Parity_Menu_Click(2); },
      [&] { form_->baud_menu_Click(1); },
      [&] { Find<QAction>("baud_menu_1")->trigger(); },  // the marked one again: set up again
      [&] {
        for (int bad : {0, 11}) form_->baud_menu_Click(static_cast<std::int16_t>(bad));
        for (int bad : {6, 9}) form_->Bits_Menu_Click(static_cast<std::int16_t>(bad));
        for (int bad : {0, 3}) form_->Stop_Menu_Click(static_cast<std::int16_t>(bad));
        for (int bad : {0, 4}) form_->Parity_Menu_Click(static_cast<std::int16_t>(bad));
      }};
  const std::pair<const char*, Strings> after[] = {
      {"115200,N,8,1", {"Bits_Menu_8", "Parity_Menu_1", "Stop_Menu_1", "baud_menu_10"}},
      {"115200,N,7,1", {"Bits_Menu_7", "Parity_Menu_1", "Stop_Menu_1", "baud_menu_10"}},
      {"115200,N,7,2", {"Bits_Menu_7", "Parity_Menu_1", "Stop_Menu_2", "baud_menu_10"}},
      {"115200,E,7,2", {"Bits_Menu_7", "Parity_Menu_3", "Stop_Menu_2", "baud_menu_10"}},
      {"115200,O,7,2", {"Bits_Menu_7", "Parity_Menu_2", "Stop_Menu_2", "baud_menu_10"}},
      {"300,O,7,2", {"Bits_Menu_7", "Parity_Menu_2", "Stop_Menu_2", "baud_menu_1"}},
      {"300,O,7,2", {"Bits_Menu_7", "Parity_Menu_2", "Stop_Menu_2", "baud_menu_1"}},
      {"300,O,7,2", {"Bits_Menu_7", "Parity_Menu_2", "Stop_Menu_2", "baud_menu_1"}}};
  for (std::size_t i = 0; i < std::size(choices); ++i) {
    SCOPED_TRACE(i);
    form_->SetResultText("");
    choices[i]();
    const std::string line = after[i].first;
    EXPECT_EQ(Marked(), after[i].second);
    ASSERT_TRUE(form_->port().OpenState());
    EXPECT_EQ(form_->port().LineSettings(), line);
    EXPECT_EQ(Find<QGroupBox>("Test_Frame")->title().toStdString(), "&Test:  (" + line + ")");
    EXPECT_EQ(form_->ResultText(),
              i + 1 < std::size(choices) ? "Com-port 1 = " + line + "\r\n" : "");
  }
}

// An answer is read as a number and rounded; the rounded number is stored when it is above 0
// (the delay) or 100 (the duration) and fits in 16 bits; otherwise the value stays, unsaid.
TEST_F(MenusTest, InputBoxAnswersAreStoredOnlyAboveTheirLimits) {
  const struct {
    bool delay;          // else the close/open duration
    const char* answer;  // "" is Cancel
    std::int16_t stored;
  } cases[] = {{true, "", 50},         {true, "abc", 50},     {true, "0", 50},
               {true, "0.4", 50},      {true, "0.6", 1},      {true, "25ms", 25},
               {true, "32767", 32767}, {true, "32768", 50},   {false, "100", 2000},
               {false, "100.4", 2000}, {false, "100.6", 101}, {false, "101", 101}};
  Create();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.delay ? "delay \"" : "duration \"") + c.answer + "\"");
    form_->settings().HandshakeDelay = 50;
    form_->settings().MaxDuration = 2000;
    dialogs_.input_answer = c.answer;
    Find<QAction>(c.delay ? "SetupDelay_Menu" : "SetupDuration_Menu")->trigger();
    EXPECT_EQ(c.delay ? form_->settings().HandshakeDelay : form_->settings().MaxDuration, c.stored);
    EXPECT_EQ(dialogs_.inputs.back(), c.delay ? "50" : "2000") << "the box shows the value";
  }
  EXPECT_TRUE(dialogs_.messages.empty());
}

TEST_F(MenusTest, ResultFileDialogAsksForTheStoredNameAndKeepsItOnCancel) {
  Create();
  form_->SetupFile_Menu_Click();
  EXPECT_EQ(form_->settings().ResultFileName, "C:\\RS-232_Result.Txt");
  dialogs_.file_answer = "/tmp/chosen.txt";
  form_->SetupFile_Menu_Click();
  EXPECT_EQ(form_->settings().ResultFileName, "/tmp/chosen.txt");
  const FileDialogRequest& r = dialogs_.file_request;
  EXPECT_EQ(r.initial_folder + "|" + r.file_name, "C:|RS-232_Result.Txt");
  EXPECT_EQ(QtFilterList(r.filter), "Txt file (*.txt);;All files (*.*)");
  EXPECT_EQ(QtFilterList("Text|*.txt;*.log"), "Text (*.txt *.log)");
}

// The two switches keep their settings in step with their marks however the mark changes.
TEST_F(MenusTest, FunctionSwitchesClearAndAbout) {
  Create();
  QAction* start = Find<QAction>("FuncStart_Menu");
  QAction* close = Find<QAction>("FuncClose_Menu");
  const std::function<void()> changes[] = {[&] { start->trigger(); }, [&] { close->toggle(); },
                                           [&] { start->setChecked(false); }};
  for (const auto& change : changes) {
    change();
    EXPECT_EQ(form_->settings().RunAtStartup, start->isChecked());
    EXPECT_EQ(form_->settings().CloseWhenFinish, close->isChecked());
  }
  EXPECT_TRUE(close->isChecked());
  form_->SetResultText("TEST(S) FAILED !!\r\n");
  Find<QAction>("FuncClear_Menu")->trigger();
  EXPECT_EQ(form_->ResultText() + Find<QPlainTextEdit>("Result_Text")->toPlainText().toStdString(),
            "");
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
    EXPECT_EQ(dialogs.Message("Test 2 failed.\rPress OK,\r\nCancel", "", MessageIcon::kExclamation,
                              ok_cancel),
              ok);
    EXPECT_EQ(shown, QStringLiteral("Test 2 failed.\nPress OK,\nCancel"));
  }
  answer_next(Qt::Key_Return);
  EXPECT_EQ(dialogs.Input("Enter delay:", "Handshake test delay", "50"), "50");
  answer_next(Qt::Key_Escape);
  EXPECT_EQ(dialogs.Input("Enter delay:", "Handshake test delay", "50"), "");
}

}  // namespace
}  // namespace serivane::app::testing
