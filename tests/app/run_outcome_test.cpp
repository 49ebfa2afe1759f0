// What a run tests: the port the list shows; and the exit status of a window that ends itself
// after its run.
#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using RunOutcomeTest = FormTest;

// A choice still in the list when a run starts is set up first and the run tests it, naming it
// under the start line; a choice that cannot be set up is not tested. The line of a setup done
// before the run is carried into the run once.
TEST_F(RunOutcomeTest, TheRunTestsThePortTheListShows) {
  ports_ = {{1, "loopback"}, {2, "loopback?cts=off"}};
  Store({{"Test 1", "False"}, {"Test 2", "False"}});
  Start();
  ASSERT_TRUE(WaitTick());
  auto* list = Find<QComboBox>("Com_Combo");
  list->setCurrentIndex(1);  // chosen, and not set up: the focus never left the list
  form_->Run_Button_Click();
  ASSERT_TRUE(WaitRunOver());
  EXPECT_EQ(form_->port().PortNumber(), 2);
  EXPECT_EQ(dialogs_.messages.size(), 1u) << "the failure box of RTS/CTS";
  const std::string text = form_->results().ResultText();
  EXPECT_EQ(text.rfind("Test started ...\r\nCom-port 2 = 38400,N,8,1\r\n", 0), 0u) << text;

  // The next run reopens nothing and repeats nothing.
  form_->Run_Button_Click();
  ASSERT_TRUE(WaitRunOver());
  EXPECT_EQ(form_->results().ResultText().find("Com-port"), std::string::npos)
      << form_->results().ResultText();

  // Com3 names nothing: its setup fails (and falls back to Com1) and no run takes place.
  form_->results().SetResultText("");
  list->setCurrentIndex(2);
  form_->Run_Button_Click();
  EXPECT_EQ(form_->results().ResultText().find("Test started"), std::string::npos)
      << form_->results().ResultText();
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

}  // namespace
}  // namespace serivane::app::testing
