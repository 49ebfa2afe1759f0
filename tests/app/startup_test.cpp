// Start-up, the status timer that opens the port, the manual line controls and runs started
// from the window.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QGroupBox>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using StartupTest = FormTest;

std::vector<std::string> CheckedNames(std::initializer_list<QAction*> actions) {
  std::vector<std::string> names;
  for (QAction* action : actions) {
    if (action->isChecked()) names.push_back(action->objectName().toStdString());
  }
  return names;
}

TEST_F(StartupTest, FirstStartWaitsForTheTickThenShowsReady) {
  Create();
  EXPECT_EQ(form_->ResultText(), "Wait ...\r\n");
  EXPECT_FALSE(form_->port().OpenState());
  ASSERT_EQ(form_->Com_Combo->count(), 32);
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(form_->Com_Combo->itemText(i).toStdString(), "Com" + std::to_string(i + 1));
  }
  EXPECT_EQ(form_->Com_Combo->itemData(0, Qt::ToolTipRole).toString().toStdString(),
            "device loopback");
  EXPECT_EQ(form_->Com_Combo->itemData(4, Qt::ToolTipRole).toString().toStdString(),
            "nothing at Com5");
  EXPECT_EQ(form_->Com_Combo->currentText(), QStringLiteral("Com1"));
  EXPECT_TRUE(form_->RTS_Check->isChecked());
  EXPECT_TRUE(form_->DTR_Check->isChecked());
  EXPECT_TRUE(form_->port().RtsOn());
  EXPECT_TRUE(form_->port().DtrOn());
  std::vector<std::string> marked;
  for (std::size_t i = 1; i <= 10; ++i) {
    if (form_->baud_menu[i]->isChecked())
      marked.push_back(form_->baud_menu[i]->text().toStdString());
  }
  EXPECT_EQ(marked, std::vector<std::string>{"&38400"});
  EXPECT_EQ(CheckedNames({form_->Bits_Menu[7], form_->Bits_Menu[8], form_->Stop_Menu[1],
                          form_->Stop_Menu[2], form_->Parity_Menu[1], form_->Parity_Menu[2],
                          form_->Parity_Menu[3]}),
            (std::vector<std::string>{"Bits_Menu_8", "Stop_Menu_1", "Parity_Menu_1"}));
  EXPECT_FALSE(form_->FuncStart_Menu->isChecked());
  EXPECT_FALSE(form_->FuncClose_Menu->isChecked());
  for (std::size_t n = 1; n <= 5; ++n) EXPECT_TRUE(form_->Test_Check[n]->isChecked());

  form_->show();
  ASSERT_TRUE(WaitTick());
  EXPECT_TRUE(form_->port().OpenState());
  EXPECT_EQ(form_->port().PortNumber(), 1);
  EXPECT_EQ(form_->ResultText(), "Serivane ready\r\n");
  EXPECT_EQ(form_->Test_Frame->title(), QStringLiteral("&Test:  (38400,N,8,1)"));
  // The port runs at the stored line settings from the first tick, as the caption says.
  EXPECT_EQ(form_->port().LineSettings(), "38400,N,8,1");
}

// Delete held from the start through the first tick forces port 1 and skips the start-up run;
// pressed and released before the tick it changes nothing.
TEST_F(StartupTest, DeleteHeldThroughTheFirstTickForcesPort1) {
  for (const bool released : {false, true}) {
    SCOPED_TRACE(released ? "released before the tick" : "held");
    TearDown();
    SetUp();
    ports_ = {{1, "loopback"}, {5, "loopback"}};
    Store("Comport", "5");
    Store("Run at Startup", "True");
    Store("Result FileName", ResultFilePath());
    StoreSelection(true, false, false, false, false);
    Start();
    QTest::keyPress(form_.get(), Qt::Key_Delete);
    if (released) QTest::keyRelease(form_.get(), Qt::Key_Delete);
    ASSERT_TRUE(WaitTick());
    if (!released) {
      EXPECT_TRUE(form_->UseDefaultPort());
      EXPECT_EQ(form_->port().PortNumber(), 1);
      EXPECT_EQ(form_->Com_Combo->currentText(), QStringLiteral("Com1"));
      ASSERT_TRUE(WaitTick());
      EXPECT_EQ(form_->ResultText(), "Serivane ready\r\n") << "no start-up run";
      form_->FuncExit_Menu_Click();
      EXPECT_EQ(Stored("Comport"), "1");
    } else {
      EXPECT_EQ(form_->port().PortNumber(), 5);
      EXPECT_EQ(form_->Com_Combo->currentText(), QStringLiteral("Com5"));
      ASSERT_TRUE(WaitRunOver());
      EXPECT_NE(form_->ResultText().find("All test(s) passed"), std::string::npos);
    }
  }
}

TEST_F(StartupTest, StoredPortThatWillNotOpenFallsBackToPort1WithoutARun) {
  Store("Comport", "7");
  Store("Run at Startup", "True");
  std::vector<std::string> shown_during_pause;
  clock_.SetSleepHook([&](std::int32_t ms) {
    if (ms == 1000) shown_during_pause.push_back(form_->ResultText());
  });
  Start();
  EXPECT_EQ(form_->Com_Combo->currentText(), QStringLiteral("Com7"));
  ASSERT_TRUE(WaitTick());
  EXPECT_EQ(shown_during_pause, std::vector<std::string>{
                                    "Illegal port number !!\r\nChanging to default port Com1 ..."});
  EXPECT_EQ(form_->ResultText(), "Serivane ready\r\n");
  EXPECT_EQ(form_->Com_Combo->currentText(), QStringLiteral("Com1"));
  EXPECT_EQ(form_->settings().ComPort, 1);
  EXPECT_TRUE(form_->port().OpenState());
  EXPECT_TRUE(form_->UseDefaultPort());
  ASSERT_TRUE(WaitTick());
  EXPECT_EQ(form_->ResultText(), "Serivane ready\r\n") << "no start-up run";
}

// When port 1 will not open either, the window says which ports there are and keeps trying at
// every tick without freezing for the recovery pause again.
TEST_F(StartupTest, NoPortOpensKeepsTheWindowAliveAndRetries) {
  ports_ = {{3, "loopback?openfail=0"}, {4, "loopback"}};
  Start();
  ASSERT_TRUE(WaitTick());
  EXPECT_EQ(clock_.slept_ms(), 1000);
  const std::string shown = form_->ResultText();
  EXPECT_EQ(shown.rfind("Com-port 1 cannot be opened either:\r\nCom1 names no device  (1F42H)", 0),
            0u)
      << shown;
  EXPECT_NE(shown.find("Com3: device loopback?openfail=0\r\nCom4: device loopback\r\n"),
            std::string::npos)
      << shown;
  EXPECT_EQ(shown.find("Com2:"), std::string::npos);
  ASSERT_TRUE(WaitTick());
  ASSERT_TRUE(WaitTick());
  EXPECT_EQ(clock_.slept_ms(), 1000) << "no second pause";
  EXPECT_EQ(form_->ResultText(), shown);
  EXPECT_FALSE(form_->port().OpenState());

  ports_[1] = "loopback";  // the operator maps a port, say
  ASSERT_TRUE(WaitTick());
  EXPECT_TRUE(form_->port().OpenState());
  EXPECT_EQ(form_->ResultText(), "Serivane ready\r\n");
}

TEST_F(StartupTest, RunsFromTheButtonAndAtStartup) {
  Store("Result FileName", ResultFilePath());
  Store("Run at Startup", "True");
  Start();
  ASSERT_TRUE(WaitRunOver());
  const std::string first = form_->ResultText();
  // Every test of the plug passes: seven OK lines, the summary, and nothing failed.
  int ok_lines = 0;
  for (std::size_t at = first.find("--- OK"); at != std::string::npos;
       at = first.find("--- OK", at + 1)) {
    ++ok_lines;
  }
  EXPECT_EQ(ok_lines, 7) << first;
  EXPECT_NE(first.find("\r\nAll test(s) passed\r\n"), std::string::npos) << first;
  EXPECT_EQ(first.find("FAIL"), std::string::npos) << first;
  EXPECT_EQ(ReadResultFile().rfind("Test started ", 0), 0u);
  EXPECT_NE(ReadResultFile().find("+All test(s) passed "), std::string::npos);

  form_->Test_Check[2]->setChecked(false);
  form_->SetResultText("before");
  QTest::mouseClick(form_->Run_Button, Qt::LeftButton);
  ASSERT_TRUE(WaitRunOver());
  EXPECT_EQ(form_->ResultText().find("Data Tx/Rx"), std::string::npos);
  EXPECT_EQ(form_->ResultText().rfind("Test started ...\r\n", 0), 0u);
  EXPECT_TRUE(form_->Func_Menu->menuAction()->isEnabled());
  EXPECT_TRUE(form_->Com_Combo->isEnabled());
  EXPECT_FALSE(form_->settings().TestSelected[2]);
  EXPECT_TRUE(exits_.empty());
}

TEST_F(StartupTest, LineInputsFollowThePlugWithinOneTick) {
  Start();
  // The first tick reads the lines before it opens the port; the second shows them.
  ASSERT_TRUE(WaitTick());
  EXPECT_FALSE(form_->CTS_Check->isChecked());
  ASSERT_TRUE(WaitTick());
  EXPECT_TRUE(form_->CTS_Check->isChecked());
  EXPECT_TRUE(form_->DSR_Check->isChecked());
  EXPECT_TRUE(form_->DCD_Check->isChecked());
  struct Step {
    QCheckBox* output;
    bool on;
    bool cts, dsr, dcd;
  };
  const Step steps[] = {
      {form_->RTS_Check, false, false, true, true},
      {form_->DTR_Check, false, false, false, false},
      {form_->RTS_Check, true, true, false, false},
      {form_->DTR_Check, true, true, true, true},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.output->objectName().toStdString() + (s.on ? " on" : " off"));
    QTest::mouseClick(s.output, Qt::LeftButton);
    EXPECT_EQ(s.output->isChecked(), s.on);
    ASSERT_TRUE(WaitTick());
    EXPECT_EQ(form_->CTS_Check->isChecked(), s.cts);
    EXPECT_EQ(form_->DSR_Check->isChecked(), s.dsr);
    EXPECT_EQ(form_->DCD_Check->isChecked(), s.dcd);
  }
  // A display box flips when clicked, and the next tick puts it back.
  QTest::mouseClick(form_->CTS_Check, Qt::LeftButton);
  EXPECT_FALSE(form_->CTS_Check->isChecked());
  ASSERT_TRUE(WaitTick());
  EXPECT_TRUE(form_->CTS_Check->isChecked());
}

TEST_F(StartupTest, LeavingThePortListSetsThePortUp) {
  ports_[3] = "loopback";
  Start();
  QApplication::setActiveWindow(form_.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
  ASSERT_TRUE(WaitTick());
  form_->Com_Combo->setFocus();
  form_->Com_Combo->setCurrentIndex(2);
  EXPECT_EQ(form_->port().PortNumber(), 1) << "changing the selection alone does nothing";
  form_->Run_Button->setFocus();
  EXPECT_EQ(form_->port().PortNumber(), 3);
  EXPECT_TRUE(form_->port().OpenState());
  EXPECT_EQ(form_->settings().ComPort, 3);
  EXPECT_EQ(form_->ResultText(), "Serivane ready\r\nCom-port 3 = 38400,N,8,1\r\n");
  // Leaving it again unchanged reopens the port and writes the line again.
  form_->Com_Combo->setFocus();
  form_->Loop_Check->setFocus();
  EXPECT_EQ(form_->ResultText(),
            "Serivane ready\r\nCom-port 3 = 38400,N,8,1\r\nCom-port 3 = 38400,N,8,1\r\n");
  // A port that does not exist: the setup tells so and falls back to Com1.
  form_->Com_Combo->setFocus();
  form_->Com_Combo->setCurrentIndex(9);
  form_->Run_Button->setFocus();
  ASSERT_EQ(dialogs_.messages.size(), 1u);
  EXPECT_EQ(dialogs_.messages[0].title, "Error in Setup_ComPort");
  EXPECT_EQ(form_->Com_Combo->currentText(), QStringLiteral("Com1"));
  ASSERT_TRUE(WaitTick());
  EXPECT_TRUE(form_->port().OpenState());
  EXPECT_EQ(form_->port().PortNumber(), 1);
}

// Port events are served by the event loop itself, so the monitor hears them also while a modal
// box runs its own loop and nothing calls DoEvents.
TEST_F(StartupTest, PortEventsReachTheMonitorWhileABoxIsOpen) {
  ports_[1] = "loopback?break=1";
  Start();
  ASSERT_TRUE(WaitTick());
  std::string seen;
  dialogs_.while_message_open = [&] {
    form_->port().TransmitText("A");
    clock_.AdvanceMillis(50);
    QEventLoop box_loop;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (form_->ResultText().find("Break received") != std::string::npos) box_loop.quit();
    });
    QTimer::singleShot(3000, &box_loop, &QEventLoop::quit);
    poll.start();
    box_loop.exec();
    seen = form_->ResultText();
  };
  form_->FuncAbout_Menu->trigger();
  EXPECT_NE(seen.find("Comm Event: Break received"), std::string::npos) << seen;
}

}  // namespace
}  // namespace serivane::app::testing
