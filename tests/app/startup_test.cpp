// Start-up, the status timer that opens the port, the manual line controls and runs started
// from the window.
#include <fcntl.h>
#include <unistd.h>

#include <QMenuBar>

#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using StartupTest = FormTest;

// A stored port that will not open: the window, drawn, says why during a pause and falls back to
// Com1, warning that a pass on the virtual plug proves nothing about the port that failed. Delete
// held through the first tick forces Com1. Either way the start-up run is skipped.
TEST_F(StartupTest, PortFallsBackToCom1WhenItWillNotOpenOrDeleteIsHeld) {
  const int pty = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_TRUE(pty >= 0 && grantpt(pty) == 0 && unlockpt(pty) == 0);
  const std::string illegal =
      "1000: Illegal port number !!\r\nChanging to default port Com1 ...\r\nWait ...\r\n";
  const std::string why =
      "Com-port 7: no such device  (1F42H)\r\nCom1 is the built-in virtual loopback plug: a pass "
      "on Com1 says nothing about Com-port 7.\r\n";
  const std::string why_no_plug =
      "Com-port 7: Cannot open the virtual loopback plug: the hardware is not available  "
      "(1F4AH)\r\n";
  const std::array<std::string, 3> cases[] = {{"loopback", "", why},
                                              {ptsname(pty), "loopback?openfail=0", why_no_plug},
                                              {"loopback", "loopback", ""}};
  for (const auto& [com1, com7, reason] : cases) {
    SCOPED_TRACE(com1 + " " + com7);
    Reset();
    ports_ = {{1, com1}};
    if (!com7.empty()) ports_[7] = com7;
    Store({{"Comport", "7"}, {"Run at Startup", "True"}});
    std::string paused;
    clock_.SetSleepHook([&](std::int32_t ms) {
      if (ms <= 0) return;
      paused += std::to_string(ms) + ": " + form_->results().ResultText();
      if (!form_->windowHandle()->isExposed()) paused += "(not drawn)";
    });
    Start();
    if (reason.empty()) QTest::keyPress(form_.get(), Qt::Key_Delete);
    ASSERT_TRUE(WaitTick());
    EXPECT_EQ(paused, reason.empty() ? "" : illegal + reason);
    EXPECT_EQ(form_->port().OpenState() ? form_->port().PortNumber() : 0, 1);
    EXPECT_EQ(Find<QComboBox>("Com_Combo")->currentText(), QStringLiteral("Com1"));
    ASSERT_TRUE(WaitTick());
    EXPECT_EQ(form_->results().ResultText(), "Serivane ready\r\n" + reason)
        << "no start-up run, and the reason stays in view";
    form_->FuncExit_Menu_Click();
    EXPECT_EQ(Stored("Comport"), "1");
    clock_.SetSleepHook(nullptr);
  }
  close(pty);
}

// When Com1 will not open either, the window says which ports there are and keeps trying at
// every tick without pausing again.
TEST_F(StartupTest, NoPortOpensKeepsTheWindowAliveAndRetries) {
  ports_ = {{3, "loopback?openfail=0"}, {4, "loopback"}};
  Start();
  ASSERT_TRUE(WaitTick());
  const std::string shown = form_->results().ResultText();
  EXPECT_EQ(shown.rfind("Com-port 1 cannot be opened either:\r\nno such device  (1F42H)", 0), 0u);
  EXPECT_NE(shown.find("\r\nCom3: device loopback?openfail=0\r\nCom4: device loopback\r\n"),
            std::string::npos)
      << shown;
  ASSERT_TRUE(WaitTick() && WaitTick());
  EXPECT_EQ(clock_.slept_ms(), 1000) << "one recovery pause only";
  EXPECT_EQ(form_->results().ResultText(), shown);
  ports_[1] = "loopback";  // the operator maps a port, say
  ASSERT_TRUE(WaitTick());
  EXPECT_EQ(form_->results().ResultText(), "Serivane ready\r\n");
}

// Delete pressed and released before the first tick changes nothing. During a run the operator
// can reach neither the menus nor the port's controls.
TEST_F(StartupTest, RunsAtStartupAndAfterThePortListChanges) {
  Store({{"Result FileName", (dir_.path() + "/result.txt").toStdString()},
         {"Run at Startup", "True"},
         {"Comport", "5"}});
  ports_[5] = "loopback";
  std::string usable_in_run = "(no run)";
  clock_.SetSleepHook([&](std::int32_t) {
    if (!form_->tester().Running()) return;
    usable_in_run.clear();
    for (QAction* menu : form_->menuBar()->actions()) usable_in_run += menu->isEnabled() ? "m" : "";
    for (const char* name : {"Manual_Frame", "Com_Combo", "Run_Button", "Test_Frame"})
      usable_in_run += Find<QWidget>(name)->isEnabled() ? name : "";
  });
  Start();
  QTest::keyClick(form_.get(), Qt::Key_Delete);
  ASSERT_TRUE(WaitRunOver());
  EXPECT_EQ(form_->port().PortNumber(), 5);
  EXPECT_NE(form_->results().ResultText().find("\r\nAll test(s) passed\r\n"), std::string::npos)
      << form_->results().ResultText();
  EXPECT_EQ(usable_in_run, "Test_Frame");
  clock_.SetSleepHook(nullptr);
  // Leaving the port list sets the chosen port up. One that fails falls back to Com1 before its
  // box shows, so the tick while the box is open opens Com1 and goes on as after start-up, with
  // the start-up run and without the recovery's pause that would suppress it.
  ports_[3] = "loopback";
  ASSERT_TRUE(Activate());
  auto* list = Find<QComboBox>("Com_Combo");
  list->setFocus();
  list->setCurrentIndex(2);
  EXPECT_EQ(form_->port().PortNumber(), 5) << "changing the selection alone does nothing";
  form_->results().SetResultText("");
  Find<QPushButton>("Run_Button")->setFocus();
  EXPECT_TRUE(form_->port().OpenState() && form_->port().PortNumber() == 3);
  EXPECT_EQ(form_->results().ResultText(), "Com-port 3 = 38400,N,8,1\r\n");
  dialogs_.while_message_open = [&] { QTest::qWait(1300); };
  std::int32_t longest_pause = 0;
  clock_.SetSleepHook([&](std::int32_t ms) { longest_pause = std::max(longest_pause, ms); });
  list->setCurrentIndex(6);
  form_->Com_Combo_Validate();
  ASSERT_TRUE(WaitRunOver());
  EXPECT_EQ(dialogs_.messages.size(), 1u);
  EXPECT_LT(longest_pause, 1000);
  EXPECT_EQ(form_->settings().ComPort, 1);
  EXPECT_EQ(list->currentIndex(), 0);
  clock_.SetSleepHook(nullptr);
}

// The first tick opens the port at the stored settings. What the manual lines set on the plug
// comes back on the status boxes at the next tick (the first tick reads them before it opens
// the port).
TEST_F(StartupTest, FirstTickOpensThePortAndTheLineInputsFollowThePlug) {
  Start();
  EXPECT_EQ(form_->results().ResultText(), "Wait ...\r\n");
  EXPECT_FALSE(form_->port().OpenState());
  ASSERT_TRUE(WaitTick());
  EXPECT_EQ(form_->results().ResultText(), "Serivane ready\r\n");
  EXPECT_EQ(form_->port().LineSettings(), "38400,N,8,1");
  const std::pair<QCheckBox*, const char*> steps[] = {
      {nullptr, "rts dtr RTS DTR CTS DSR DCD "},
      {Find<QCheckBox>("RTS_Check"), "dtr DTR DSR DCD "},
      {Find<QCheckBox>("DTR_Check"), ""},
      {Find<QCheckBox>("RTS_Check"), "rts RTS CTS "},
      {Find<QCheckBox>("DTR_Check"), "rts dtr RTS DTR CTS DSR DCD "}};
  for (const auto& [clicked, on] : steps) {
    if (clicked) QTest::mouseClick(clicked, Qt::LeftButton);
    ASSERT_TRUE(WaitTick());
    QString shown =
        QString(form_->port().RtsOn() ? "rts " : "") + (form_->port().DtrOn() ? "dtr " : "");
    for (QCheckBox* box : Find<QGroupBox>("Manual_Frame")->findChildren<QCheckBox*>())
      shown += box->isChecked() ? box->objectName().left(3) + " " : "";
    EXPECT_EQ(shown.toStdString(), on);
  }
}

}  // namespace
}  // namespace serivane::app::testing
