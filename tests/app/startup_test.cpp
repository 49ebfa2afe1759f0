// Start-up, the status timer that opens the port, the manual line controls and runs started
// from the window.
#include <QEventLoop>
#include <QFile>
#include <QMenu>

#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using StartupTest = FormTest;

TEST_F(StartupTest, FirstStartWaitsForTheTickThenShowsReady) {
  Create();
  EXPECT_EQ(form_->ResultText(), "Wait ...\r\n");
  EXPECT_FALSE(form_->port().OpenState());
  ASSERT_EQ(form_->Com_Combo->count(), 32);
  for (int i : {0, 31}) {
    EXPECT_EQ(form_->Com_Combo->itemText(i) + " " +
                  form_->Com_Combo->itemData(i, Qt::ToolTipRole).toString(),
              i == 0 ? "Com1 device loopback" : "Com32 nothing at Com32");
  }
  EXPECT_EQ(Marked(), (Strings{"Bits_Menu_8", "Parity_Menu_1", "Stop_Menu_1", "baud_menu_8"}));
  EXPECT_TRUE(form_->RTS_Check->isChecked() && form_->DTR_Check->isChecked());
  form_->show();
  ASSERT_TRUE(WaitTick());
  EXPECT_EQ(form_->ResultText(), "Serivane ready\r\n");
  EXPECT_TRUE(form_->port().OpenState() && form_->port().RtsOn() && form_->port().DtrOn());
  EXPECT_EQ(form_->port().LineSettings(), "38400,N,8,1");
}

// A stored port that names no device: the window says so during a pause and falls back to Com1.
// Delete held through the first tick forces Com1. Either way the start-up run is skipped.
TEST_F(StartupTest, PortFallsBackToCom1WhenItWillNotOpenOrDeleteIsHeld) {
  ports_[5] = "loopback";
  std::string paused;
  clock_.SetSleepHook([&](std::int32_t ms) {
    if (ms > 0) paused += std::to_string(ms) + ": " + form_->ResultText();
  });
  for (const auto& [stored, pause] : {std::pair{"7",
                                                "1000: Illegal port number !!\r\nChanging "
                                                "to default port Com1 ..."},
                                      {"5", ""}}) {
    SCOPED_TRACE(stored);
    Reset();
    Store("Comport", stored);
    Store("Run at Startup", "True");
    paused.clear();
    Start();
    if (*pause == '\0') QTest::keyPress(form_.get(), Qt::Key_Delete);
    ASSERT_TRUE(WaitTick());
    EXPECT_EQ(paused, pause);
    EXPECT_TRUE(form_->port().OpenState());
    EXPECT_EQ(form_->Com_Combo->currentText(), QStringLiteral("Com1"));
    ASSERT_TRUE(WaitTick());
    EXPECT_EQ(form_->ResultText(), "Serivane ready\r\n") << "no start-up run";
    form_->FuncExit_Menu_Click();
    EXPECT_EQ(Stored("Comport"), "1");
  }
}

// When Com1 will not open either, the window says which ports there are and keeps trying at
// every tick without pausing again.
TEST_F(StartupTest, NoPortOpensKeepsTheWindowAliveAndRetries) {
  ports_ = {{3, "loopback?openfail=0"}, {4, "loopback"}};
  Start();
  ASSERT_TRUE(WaitTick());
  const std::string shown = form_->ResultText();
  EXPECT_EQ(shown.rfind("Com-port 1 cannot be opened either:\r\nno such device  (1F42H)", 0), 0u);
  EXPECT_NE(shown.find("\r\nCom3: device loopback?openfail=0\r\nCom4: device loopback\r\n"),
            std::string::npos)
      << shown;
  ASSERT_TRUE(WaitTick() && WaitTick());
  EXPECT_EQ(clock_.slept_ms(), 1000) << "one recovery pause only";
  EXPECT_EQ(form_->ResultText(), shown);
  ports_[1] = "loopback";  // the operator maps a port, say
  ASSERT_TRUE(WaitTick());
  EXPECT_EQ(form_->ResultText(), "Serivane ready\r\n");
}

// Delete pressed and released before the first tick changes nothing.
TEST_F(StartupTest, RunsAtStartupAndFromTheButton) {
  QFile file(dir_.path() + "/result.txt");
  Store("Result FileName", file.fileName().toStdString());
  Store("Run at Startup", "True");
  Store("Comport", "5");
  ports_[5] = "loopback";
  Start();
  QTest::keyClick(form_.get(), Qt::Key_Delete);
  ASSERT_TRUE(WaitRunOver());
  EXPECT_EQ(form_->port().PortNumber(), 5);
  EXPECT_NE(form_->ResultText().find("\r\nAll test(s) passed\r\n"), std::string::npos)
      << form_->ResultText();
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(file.readAll().contains("+All test(s) passed "));
  form_->Test_Check[2]->setChecked(false);
  form_->SetResultText("before");
  QTest::mouseClick(form_->Run_Button, Qt::LeftButton);
  ASSERT_TRUE(WaitRunOver());
  const std::string text = form_->ResultText();
  EXPECT_EQ(text.rfind("Test started ...\r\n", 0), 0u) << text;
  EXPECT_EQ(text.find("Data Tx/Rx"), std::string::npos) << text;
  EXPECT_NE(text.find("All test(s) passed"), std::string::npos) << text;
}

// What the manual lines set on the plug comes back on the status boxes at the next tick (the
// first tick reads them before it opens the port).
TEST_F(StartupTest, LineInputsFollowThePlugWithinOneTick) {
  Start();
  ASSERT_TRUE(WaitTick());
  const std::pair<QCheckBox*, const char*> steps[] = {
      {nullptr, "rts dtr RTS DTR CTS DSR DCD "},
      {form_->RTS_Check, "dtr DTR DSR DCD "},
      {form_->DTR_Check, ""},
      {form_->RTS_Check, "rts RTS CTS "},
      {form_->DTR_Check, "rts dtr RTS DTR CTS DSR DCD "}};
  for (const auto& [clicked, on] : steps) {
    if (clicked) QTest::mouseClick(clicked, Qt::LeftButton);
    ASSERT_TRUE(WaitTick());
    QString shown =
        QString(form_->port().RtsOn() ? "rts " : "") + (form_->port().DtrOn() ? "dtr " : "");
    for (QCheckBox* box : {form_->RTS_Check, form_->DTR_Check, form_->CTS_Check, form_->DSR_Check,
                           form_->DCD_Check}) {
      if (box->isChecked()) shown += box->objectName().left(3) + " ";
    }
    EXPECT_EQ(shown.toStdString(), on);
  }
}

TEST_F(StartupTest, LeavingThePortListSetsThePortUp) {
  ports_[3] = "loopback";
  Start();
  ASSERT_TRUE(Activate() && WaitTick());
  form_->Com_Combo->setFocus();
  form_->Com_Combo->setCurrentIndex(2);
  EXPECT_EQ(form_->port().PortNumber(), 1) << "changing the selection alone does nothing";
  form_->Run_Button->setFocus();
  EXPECT_TRUE(form_->port().OpenState() && form_->port().PortNumber() == 3);
  EXPECT_EQ(form_->ResultText(), "Serivane ready\r\nCom-port 3 = 38400,N,8,1\r\n");
}

// Port events are served by the event loop itself, so the monitor hears them also while a modal
// box runs its own loop and nothing calls DoEvents.
TEST_F(StartupTest, PortEventsReachTheMonitorWhileABoxIsOpen) {
  ports_[1] = "loopback?break=1";
  Start();
  ASSERT_TRUE(WaitTick());
  const auto heard = [&] {
    return form_->ResultText().find("Comm Event: Break received") != std::string::npos;
  };
  bool heard_while_open = false;
  dialogs_.while_message_open = [&] {
    form_->port().TransmitText("A");
    clock_.AdvanceMillis(50);
    QEventLoop box_loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (heard()) box_loop.quit();
    });
    QTimer::singleShot(3000, &box_loop, &QEventLoop::quit);
    poll.start(10);
    box_loop.exec();
    heard_while_open = heard();
  };
  form_->FuncAbout_Menu->trigger();
  EXPECT_TRUE(heard_while_open) << form_->ResultText();
}

}  // namespace
}  // namespace serivane::app::testing
