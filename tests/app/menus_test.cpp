// The Setup and Function menus.
#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QMessageBox>
#include <QPalette>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <functional>

#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using MenusTest = FormTest;

TEST_F(MenusTest, LineParameterItemsMarkTheirChoiceAndReopenThePort) {
  struct Case {
    const char* item;
    const char* settings_text;
    std::vector<const char*> marked;  // of the item's group
  };
  const Case cases[] = {
      {"baud_menu_7", "19200,N,8,1", {"baud_menu_7"}},
      {"baud_menu_1", "300,N,8,1", {"baud_menu_1"}},
      {"Bits_Menu_7", "300,N,7,1", {"Bits_Menu_7"}},
      {"Stop_Menu_2", "300,N,7,2", {"Stop_Menu_2"}},
      {"Parity_Menu_3", "300,E,7,2", {"Parity_Menu_3"}},
      {"Parity_Menu_2", "300,O,7,2", {"Parity_Menu_2"}},
      {"Parity_Menu_2", "300,O,7,2", {"Parity_Menu_2"}},  // chosen again: set up again
  };
  Start();
  ASSERT_TRUE(WaitTick());
  std::string expected = "Serivane ready\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item);
    auto* action = form_->findChild<QAction*>(QString::fromUtf8(c.item));
    ASSERT_NE(action, nullptr);
    action->trigger();
    expected += std::string("Com-port 1 = ") + c.settings_text + "\r\n";
    EXPECT_EQ(form_->ResultText(), expected);
    EXPECT_EQ(form_->port().LineSettings(), c.settings_text);
    EXPECT_TRUE(form_->port().OpenState());
    EXPECT_EQ(form_->Test_Frame->title().toStdString(),
              std::string("&Test:  (") + c.settings_text + ")");
    const QString group = QString::fromUtf8(c.item).section('_', 0, 1);
    std::vector<std::string> marked;
    for (QAction* item : form_->findChildren<QAction*>()) {
      if (item->objectName().startsWith(group) && item->isChecked()) {
        marked.push_back(item->objectName().toStdString());
      }
    }
    EXPECT_EQ(marked, std::vector<std::string>(c.marked.begin(), c.marked.end()));
  }
  EXPECT_EQ(form_->settings().BaudRate, 300);
  EXPECT_EQ(form_->settings().DataBits, 7);
  EXPECT_EQ(form_->settings().StopBits, 2);
  EXPECT_EQ(form_->settings().Parity, 2);
}

TEST_F(MenusTest, InputBoxAnswersAreReadLikeNumbersAndCheckedAgainstTheirLimits) {
  struct Case {
    const char* item;
    const char* answer;  // "" is Cancel
    std::int16_t expected;
  };
  // Each case starts from the defaults: delay 50, duration 2000.
  const Case cases[] = {
      {"SetupDelay_Menu", "abc", 50},      {"SetupDelay_Menu", "0", 50},
      {"SetupDelay_Menu", "", 50},         {"SetupDelay_Menu", "-5", 50},
      {"SetupDelay_Menu", "25ms", 25},     {"SetupDelay_Menu", "1 000", 1000},
      {"SetupDelay_Menu", "2.5", 2},       {"SetupDelay_Menu", "3.5", 4},
      {"SetupDelay_Menu", "0.4", 0},       {"SetupDelay_Menu", "&H20", 32},
      {"SetupDelay_Menu", "32767", 32767}, {"SetupDelay_Menu", "32768", 50},
      {"SetupDelay_Menu", "1e9", 50},      {"SetupDuration_Menu", "100", 2000},
      {"SetupDuration_Menu", "101", 101},  {"SetupDuration_Menu", "100.4", 100},
      {"SetupDuration_Menu", "abc", 2000},
  };
  Create();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.item) + " answered \"" + c.answer + "\"");
    form_->settings().HandshakeDelay = 50;
    form_->settings().MaxDuration = 2000;
    dialogs_.inputs.clear();
    dialogs_.input_answers = {c.answer};
    form_->findChild<QAction*>(QString::fromUtf8(c.item))->trigger();
    ASSERT_EQ(dialogs_.inputs.size(), 1u);
    const bool delay = std::string(c.item) == "SetupDelay_Menu";
    EXPECT_EQ(delay ? form_->settings().HandshakeDelay : form_->settings().MaxDuration, c.expected);
    EXPECT_EQ(dialogs_.inputs[0].default_text, delay ? "50" : "2000");
    EXPECT_EQ(dialogs_.inputs[0].title,
              delay ? "Handshake test delay" : "Max. close/open duration");
    EXPECT_EQ(dialogs_.inputs[0].prompt,
              delay ? "Enter delay in milliseconds from RTS/DTR line set to CTS/DSR line is "
                      "checked:"
                    : "Enter maximum allow duration milliseconds for close/open Com port:");
  }
  EXPECT_TRUE(dialogs_.messages.empty()) << "bad input is ignored without a message";
}

TEST_F(MenusTest, ResultFileDialogIsAskedForTheStoredNameAndKeepsItOnCancel) {
  Create();
  form_->SetupFile_Menu_Click();
  ASSERT_EQ(dialogs_.file_requests.size(), 1u);
  const FileDialogRequest request = dialogs_.file_requests[0];
  EXPECT_EQ(request.title, "Select or enter file to write results to:");
  EXPECT_EQ(request.initial_folder, "C:");
  EXPECT_EQ(request.file_name, "RS-232_Result.Txt");
  EXPECT_EQ(request.filter, "Txt file (*.txt)|*.txt|All files (*.*)|*.*");
  EXPECT_EQ(request.flags, 2054);
  EXPECT_EQ(form_->settings().ResultFileName, "C:\\RS-232_Result.Txt");

  dialogs_.file_answer = "/tmp/chosen.txt";
  form_->SetupFile_Menu_Click();
  EXPECT_EQ(form_->settings().ResultFileName, "/tmp/chosen.txt");
  EXPECT_EQ(QtFilterList(request.filter), "Txt file (*.txt);;All files (*.*)");
  EXPECT_EQ(QtFilterList("Text|*.txt;*.log"), "Text (*.txt *.log)");
}

TEST_F(MenusTest, FunctionSwitchesClearAndAbout) {
  Create();
  for (QAction* item : {form_->FuncStart_Menu, form_->FuncClose_Menu}) {
    SCOPED_TRACE(item->objectName().toStdString());
    item->trigger();
    EXPECT_TRUE(item->isChecked());
    item->trigger();
    EXPECT_FALSE(item->isChecked());
  }
  EXPECT_TRUE(exits_.empty());

  form_->SetResultBackground(engine::kRed);
  form_->SetResultText("TEST(S) FAILED !!\r\n");
  EXPECT_EQ(form_->Result_Text->toPlainText(), QStringLiteral("TEST(S) FAILED !!\n"));
  form_->FuncClear_Menu->trigger();
  EXPECT_EQ(form_->ResultText(), "");
  EXPECT_EQ(form_->Result_Text->toPlainText(), QString());
  EXPECT_EQ(form_->Result_Text->palette().color(QPalette::Base), QColor(255, 0, 0));

  form_->FuncAbout_Menu->trigger();
  ASSERT_EQ(dialogs_.messages.size(), 1u);
  EXPECT_EQ(
      dialogs_.messages[0].text,
      "RS-232 Serivane1.4.0\r\r(Hold down <Delete> during startup to reset Com-port to Com1)");
  EXPECT_EQ(dialogs_.messages[0].title, "About RS-232 Serivane");
  EXPECT_EQ(dialogs_.messages[0].icon, MessageIcon::kInformation);
  EXPECT_FALSE(dialogs_.messages[0].ok_cancel);
  EXPECT_EQ(
      DisplayLines(dialogs_.messages[0].text),
      "RS-232 Serivane1.4.0\n\n(Hold down <Delete> during startup to reset Com-port to Com1)");
}

}  // namespace
}  // namespace serivane::app::testing

namespace serivane::app::testing {
namespace {

// Answers the next modal dialog with `key` once it is up, after handing it to `inspect`.
void AnswerNextDialog(Qt::Key key, std::function<void(QWidget*)> inspect = {}) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, poll, [poll, key, inspect] {
    QWidget* dialog = QApplication::activeModalWidget();
    if (dialog == nullptr) return;
    if (inspect) inspect(dialog);
    QWidget* target = dialog->focusWidget() != nullptr ? dialog->focusWidget() : dialog;
    QTest::keyClick(target, key);
    poll->deleteLater();
  });
  poll->start(20);
}

TEST(QtDialogsTest, MessageBoxBreaksLinesAtCrAndTakesEscapeAsCancel) {
  QtDialogs dialogs;
  struct Case {
    Qt::Key key;
    bool ok_cancel;
    bool expected;
  };
  const Case cases[] = {
      {Qt::Key_Escape, true, false}, {Qt::Key_Return, true, true}, {Qt::Key_Escape, false, true}};
  for (const Case& c : cases) {
    QString shown;
    AnswerNextDialog(c.key, [&](QWidget* dialog) {
      if (auto* box = qobject_cast<QMessageBox*>(dialog)) shown = box->text();
    });
    EXPECT_EQ(dialogs.Message("Test 2 failed.\rPress OK to continue test,\rand Cancel to abort",
                              "RS-232 Test failed", MessageIcon::kExclamation, c.ok_cancel),
              c.expected);
    EXPECT_EQ(shown,
              QStringLiteral("Test 2 failed.\nPress OK to continue test,\nand Cancel to abort"));
  }
}

TEST(QtDialogsTest, InputBoxGivesTheFieldOnOkAndNothingOnCancel) {
  QtDialogs dialogs;
  AnswerNextDialog(Qt::Key_Return);
  EXPECT_EQ(dialogs.Input("Enter delay:", "Handshake test delay", "50"), "50");
  AnswerNextDialog(Qt::Key_Escape);
  EXPECT_EQ(dialogs.Input("Enter delay:", "Handshake test delay", "50"), "");
}

}  // namespace
}  // namespace serivane::app::testing
