// Start-up, the status timer that opens the port, the manual line controls and runs started
// from the window.
#include <QEventLoop>
#include <QFile>
#include <QMenu>
#include <QTimer>

#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using StartupTest = FormTest;

TEST_F(StartupTest, FirstStartWaitsForTheTickThenShowsReady) {
  Create();
  EXPECT_EQ(form_->ResultText(), "Wait ...\r\n");
  EXPECT_FALSE(form_->port().OpenState());
  Strings entries;
  for (int i = 0; i < form_->Com_Combo->count(); ++i) {
    entries.push_back(form_->Com_Combo->itemText(i).toStdString() + " " +
                      form_->Com_Combo->itemData(i, Qt::ToolTipRole).toString().toStdString());
  }
  ASSERT_EQ(entries.size(), 32u);
  EXPECT_EQ(entries[0], "Com1 device loopback");
  EXPECT_EQ(entries[31], "Com32 nothing at Com32");
  EXPECT_EQ(form_->Com_Combo->currentText(), QStringLiteral("Com1"));
  EXPECT_EQ(Marked(), (Strings{"Bits_Menu_8", "Parity_Menu_1", "Stop_Menu_1", "baud_menu_8"}));
  for (QCheckBox* box : {form_->RTS_Check, form_->DTR_Check, form_->Test_Check[1],
                         form_->Test_Check[3], form_->Test_Check[5]}) {
    EXPECT_TRUE(box->isChecked()) << box->objectName().toStdString();
  }
  form_->show();
  ASSERT_TRUE(WaitTick());
  EXPECT_EQ(form_->ResultText(), "Serivane ready\r\n");
  EXPECT_TRUE(form_->port().OpenState() && form_->port().RtsOn() && form_->port().DtrOn());
  EXPECT_EQ(form_->port().LineSettings(), "38400,N,8,1");
}

// Delete held through the first tick forces port 1 and skips the start-up run; pressed and
// released before the tick it changes nothing.
TEST_F(StartupTest, DeleteHeldThroughTheFirstTickForcesPort1) {
  ports_[5] = "loopback";
  for (const bool held : {true, false}) {
    SCOPED_TRACE(held ? "held" : "released before the tick");
    Reset();
    Store("Comport", "5");
    Store("Run at Startup", "True");
    Start();
    QTest::keyPress(form_.get(), Qt::Key_Delete);
    if (!held) QTest::keyRelease(form_.get(), Qt::Key_Delete);
    ASSERT_TRUE(WaitTick());
    EXPECT_EQ(form_->port().PortNumber(), held ? 1 : 5);
    EXPECT_EQ(form_->Com_Combo->currentText(), held ? "Com1" : "Com5");
    if (held) {
      ASSERT_TRUE(WaitTick());
      EXPECT_EQ(form_->ResultText(), "Serivane ready\r\n") << "no start-up run";
      form_->FuncExit_Menu_Click();
      EXPECT_EQ(Stored("Comport"), "1");
    } else {
      EXPECT_TRUE(WaitRunOver());
    }
  }
}

TEST_F(StartupTest, StoredPortThatWillNotOpenFallsBackToPort1WithoutARun) {
  Store("Comport", "7");
  Store("Run at Startup", "True");
  Strings shown_during_pause;
  clock_.SetSleepHook([&](std::int32_t ms) {
    if (ms == 1000) shown_during_pause.push_back(form_->ResultText());
  });
  Start();
  EXPECT_EQ(form_->Com_Combo->currentText(), QStringLiteral("Com7"));
  ASSERT_TRUE(WaitTick());
  EXPECT_EQ(shown_during_pause,
            Strings{"Illegal port number !!\r\nChanging to default port Com1 ..."});
  EXPECT_EQ(form_->Com_Combo->currentText(), QStringLiteral("Com1"));
  EXPECT_EQ(form_->settings().ComPort, 1);
  EXPECT_TRUE(form_->port().OpenState());
  ASSERT_TRUE(WaitTick());
  EXPECT_EQ(form_->ResultText(), "Serivane ready\r\n") << "no start-up run";
}

// When port 1 will not open either, the window says which ports there are and keeps trying at
// every tick without pausing for the recovery again.
TEST_F(StartupTest, NoPortOpensKeepsTheWindowAliveAndRetries) {
  ports_ = {{3, "loopback?openfail=0"}, {4, "loopback"}};
  Start();
  ASSERT_TRUE(WaitTick());
  const std::string shown = form_->ResultText();
  EXPECT_EQ(shown.rfind("Com-port 1 cannot be opened either:\r\nCom1 names no device  (1F42H)", 0),
            0u)
      << shown;
  EXPECT_NE(shown.find("\r\nCom3: device loopback?openfail=0\r\nCom4: device loopback\r\n"),
            std::string::npos)
      << shown;
  EXPECT_EQ(shown.find("Com2:"), std::string::npos);
  ASSERT_TRUE(WaitTick());
  ASSERT_TRUE(WaitTick());
  EXPECT_EQ(clock_.slept_ms(), 1000) << "one recovery pause only";
  EXPECT_EQ(form_->ResultText(), shown);
  ports_[1] = "loopback";  // the operator maps a port, say
  ASSERT_TRUE(WaitTick());
  EXPECT_TRUE(form_->port().OpenState());
  EXPECT_EQ(form_->ResultText(), "Serivane ready\r\n");
}

TEST_F(StartupTest, RunsAtStartupAndFromTheButton) {
  QFile file(dir_.path() + "/result.txt");
  Store("Result FileName", file.fileName().toStdString());
  Store("Run at Startup", "True");
  Start();
  ASSERT_TRUE(WaitRunOver());
  std::string text = form_->ResultText();
  EXPECT_NE(text.find("\r\nAll test(s) passed\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("FAIL"), std::string::npos) << text;
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(file.readAll().contains("+All test(s) passed "));

  form_->Test_Check[2]->setChecked(false);
  form_->SetResultText("before");
  QTest::mouseClick(form_->Run_Button, Qt::LeftButton);
  ASSERT_TRUE(WaitRunOver());
  text = form_->ResultText();
  EXPECT_EQ(text.rfind("Test started ...\r\n", 0), 0u) << text;
  EXPECT_EQ(text.find("Data Tx/Rx"), std::string::npos) << text;
  EXPECT_NE(text.find("All test(s) passed"), std::string::npos) << text;
  EXPECT_TRUE(exits_.empty());
}

TEST_F(StartupTest, LineInputsFollowThePlugWithinOneTick) {
  Start();
  ASSERT_TRUE(WaitTick());  // reads the lines before it opens the port; the next shows them
  const std::pair<QCheckBox*, const char*> steps[] = {{nullptr, "CTS DSR DCD "},
                                                      {form_->RTS_Check, "DSR DCD "},
                                                      {form_->DTR_Check, ""},
                                                      {form_->RTS_Check, "CTS "},
                                                      {form_->DTR_Check, "CTS DSR DCD "}};
  for (const auto& [clicked, inputs] : steps) {
    if (clicked) QTest::mouseClick(clicked, Qt::LeftButton);
    ASSERT_TRUE(WaitTick());
    QString on;
    for (QCheckBox* box : {form_->RTS_Check, form_->DTR_Check, form_->CTS_Check, form_->DSR_Check,
                           form_->DCD_Check}) {
      if (box->isChecked()) on += box->objectName().left(3) + " ";
    }
    EXPECT_EQ(on.toStdString(), std::string(form_->port().RtsOn() ? "RTS " : "") +
                                    (form_->port().DtrOn() ? "DTR " : "") + inputs);
  }
}

TEST_F(StartupTest, LeavingThePortListSetsThePortUp) {
  ports_[3] = "loopback";
  Start();
  ASSERT_TRUE(Activate());
  ASSERT_TRUE(WaitTick());
  form_->Com_Combo->setFocus();
  form_->Com_Combo->setCurrentIndex(2);
  EXPECT_EQ(form_->port().PortNumber(), 1) << "changing the selection alone does nothing";
  form_->Run_Button->setFocus();
  EXPECT_EQ(form_->port().PortNumber(), 3);
  EXPECT_TRUE(form_->port().OpenState());
  EXPECT_EQ(form_->settings().ComPort, 3);
  form_->Com_Combo->setFocus();  // left again unchanged: set up again
  form_->Loop_Check->setFocus();
  EXPECT_EQ(form_->ResultText(),
            "Serivane ready\r\nCom-port 3 = 38400,N,8,1\r\nCom-port 3 = 38400,N,8,1\r\n");
  // A port that names no device: the setup says so and falls back to Com1.
  form_->Com_Combo->setFocus();
  form_->Com_Combo->setCurrentIndex(9);
  form_->Run_Button->setFocus();
  ASSERT_EQ(dialogs_.messages.size(), 1u);
  EXPECT_EQ(dialogs_.messages[0].rfind("Error in Setup_ComPort|", 0), 0u);
  EXPECT_EQ(form_->Com_Combo->currentText(), QStringLiteral("Com1"));
  ASSERT_TRUE(WaitTick());
  EXPECT_EQ(form_->port().PortNumber(), 1);
  EXPECT_TRUE(form_->port().OpenState());
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
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (form_->ResultText().find("Break received") != std::string::npos) box_loop.quit();
    });
    QTimer::singleShot(3000, &box_loop, &QEventLoop::quit);
    poll.start(10);
    box_loop.exec();
    seen = form_->ResultText();
  };
  form_->FuncAbout_Menu->trigger();
  EXPECT_NE(seen.find("Comm Event: Break received"), std::string::npos) << seen;
}

}  // namespace
}  // namespace serivane::app::testing
