// What a run tests and tells: the port the list shows, the notices shown before it, the exit
// status of a window that ends itself after its run, and the signals that end it.
#include <csignal>
#include <fstream>
#include <sstream>

#include "app/signal_close.h"
#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using RunOutcomeTest = FormTest;

std::string FileText(const QString& path) {
  std::ifstream in(path.toStdString(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A choice still in the list when a run starts is set up first and the run tests it, naming it
// under the start line; a choice that cannot be set up is not tested. The line of a setup done
// before the run is carried into the run once.
TEST_F(RunOutcomeTest, TheRunTestsThePortTheListShows) {
  ports_ = {{1, "loopback"}, {2, "loopback?cts=off"}};
  const QString file = dir_.path() + "/result.txt";
  Store({{"Result FileName", file.toStdString()}, {"Test 1", "False"}, {"Test 2", "False"}});
  Start();
  ASSERT_TRUE(WaitTick());
  ASSERT_TRUE(Activate());
  auto* list = Find<QComboBox>("Com_Combo");
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Down);
  QTest::keyClick(form_.get(), Qt::Key_R, Qt::AltModifier);
  ASSERT_TRUE(WaitRunOver());
  EXPECT_EQ(form_->port().PortNumber(), 2);
  EXPECT_EQ(dialogs_.messages.size(), 1u) << "the failure box of RTS/CTS";
  const std::string text = form_->results().ResultText();
  EXPECT_EQ(text.rfind("Test started ...\r\nCom-port 2 = 38400,N,8,1\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("RTS/CTS= on <-- FAILED"), std::string::npos) << text;
  EXPECT_NE(FileText(file).find("\r\n Com-port 2 = 38400,N,8,1\r\n+100 bytes"), std::string::npos);

  // The next run, from the button with the focus elsewhere, reopens nothing and repeats nothing.
  Find<QPushButton>("Run_Button")->setFocus();
  form_->Run_Button_Click();
  ASSERT_TRUE(WaitRunOver());
  EXPECT_EQ(form_->results().ResultText().find("Com-port"), std::string::npos)
      << form_->results().ResultText();

  // Com3 names nothing: its setup fails, Com1 is chosen instead and no run takes place.
  dialogs_.messages.clear();
  form_->results().SetResultText("");
  list->setCurrentIndex(2);
  form_->Run_Button_Click();
  EXPECT_EQ(form_->results().ResultText().find("Test started"), std::string::npos)
      << form_->results().ResultText();
  ASSERT_EQ(dialogs_.messages.size(), 1u);
  EXPECT_EQ(dialogs_.messages[0].rfind("Error in Setup_ComPort", 0), 0u);
  EXPECT_EQ(list->currentIndex(), 0);
}

// A notice shown under the ready text is written again, as a remark, by the first run after
// it and by no other.
TEST_F(RunOutcomeTest, ANoticeBeforeTheFirstRunGoesIntoIt) {
  Store({{"Result FileName", std::string(280, 'x')},
         {"Run at Startup", "True"},
         {"Test 2", "False"},
         {"Test 3", "False"}});
  Start();
  ASSERT_TRUE(WaitRunOver());
  const std::string notice = "Setting \"Result FileName\" ignored: its stored text has 280";
  EXPECT_EQ(form_->results().ResultText().find("Test started ...\r\n" + notice), 0u)
      << form_->results().ResultText();
  const std::string file = FileText(dir_.path() + "/RS-232_Result.Txt");
  EXPECT_NE(file.find("\r\n " + notice), std::string::npos) << file;
  form_->Run_Button_Click();
  ASSERT_TRUE(WaitRunOver());
  EXPECT_EQ(form_->results().ResultText().find(notice), std::string::npos);
}

// With "Close when finished" the end of a run ends the program with the run's status. A stored
// port that will not open while such a run is due ends it at once, keeping the stored port.
TEST_F(RunOutcomeTest, AnUnattendedWindowEndsWithTheRunsStatus) {
  struct Case {
    const char* port;
    const char* folder;  // of the result file
    int status;
  };
  const Case cases[] = {{"loopback", "", 0},
                        {"loopback?dsr=off", "", 1},
                        {"loopback", "/missing", 3},
                        {"loopback?dsr=off", "/missing", 1},
                        {nullptr, "", 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.port ? c.port : "no port") + c.folder);
    Reset();
    ports_ = {{1, "loopback"}};
    if (c.port) ports_[2] = c.port;
    Store({{"Comport", "2"},
           {"Run at Startup", "True"},
           {"Close When Finish", "True"},
           {"Test 2", "False"},
           {"Test 3", "False"},
           {"Result FileName", (dir_.path() + c.folder + "/r.txt").toStdString()}});
    const std::int64_t slept_before = clock_.slept_ms();
    Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !exits_.empty(); }, 20000));
    EXPECT_EQ(exits_, std::vector<int>{c.status});
    EXPECT_EQ(Stored("Comport"), "2");
    if (!c.port) {
      EXPECT_EQ(form_->results().ResultText().rfind("Illegal port number !!\r\nCom-port 2: ", 0),
                0u);
      EXPECT_EQ(clock_.slept_ms(), slept_before) << "no recovery pause";
    }
  }
}

// SIGTERM and SIGHUP reach the window through its event loop and end it as its close button
// does, with 128 plus the signal's number; the handlers before are back afterwards.
TEST_F(RunOutcomeTest, SignalsEndTheWindowLikeItsCloseButton) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGHUP, &ignore, nullptr), 0);
  Start();
  ASSERT_TRUE(WaitTick());
  ASSERT_TRUE(form_->port().OpenState());
  {
    SignalCloser closer([this](int signo) { form_->EndBySignal(signo); });
    ASSERT_EQ(std::raise(SIGHUP), 0);
    EXPECT_TRUE(exits_.empty()) << "not from inside the handler";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !exits_.empty(); }, 3000));
    ASSERT_EQ(std::raise(SIGTERM), 0);
    QTest::qWait(50);
  }
  EXPECT_EQ(exits_, std::vector<int>{128 + SIGHUP}) << "the first signal ends it, once";
  EXPECT_FALSE(form_->port().OpenState());
  EXPECT_NE(Stored("Window Height"), "(none)");
  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGHUP, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
}

}  // namespace
}  // namespace serivane::app::testing
