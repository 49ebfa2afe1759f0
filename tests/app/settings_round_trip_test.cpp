// The settings through the registry: what an exit writes, how hand-stored values load, and the
// ways the window ends.
#include <QRegularExpression>
#include <csignal>
#include <fstream>

#include "app/signal_close.h"

#include "settings/registry_store.h"
#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using SettingsTest = FormTest;

// A session close saves nothing and leaves the window running; the Exit command, closing the
// window and SIGHUP (through the event loop, not inside its handler) all save the settings, the
// window's height with them, close the port and end the program, once, with 0 or 128 + SIGHUP.
TEST_F(SettingsTest, ExitClosingAndSignalsSaveButASessionCloseDoesNot) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGHUP, &ignore, nullptr), 0);
  for (const char* way : {"Exit", "window closed", "SIGHUP"}) {
    SCOPED_TRACE(way);
    Reset();
    Start();
    ASSERT_TRUE(WaitTick());
    form_->Form_QueryUnload(1);
    EXPECT_EQ(Stored("Comport"), "(none)");
    const bool by_signal = way[0] == 'S';
    if (way[0] == 'E') {
      Find<QAction>("FuncExit_Menu")->trigger();
    } else if (!by_signal) {
      EXPECT_FALSE(form_->close()) << "the window never closes in the ordinary way";
    } else {
      SignalCloser closer([this](int signo) { form_->EndBySignal(signo); });
      ASSERT_EQ(std::raise(SIGHUP), 0);
      EXPECT_TRUE(exits_.empty()) << "not from inside the handler";
      ASSERT_TRUE(QTest::qWaitFor([&] { return !exits_.empty(); }, 3000));
      ASSERT_EQ(std::raise(SIGTERM), 0);
      QTest::qWait(50);
    }
    EXPECT_EQ(exits_, std::vector<int>{by_signal ? 128 + SIGHUP : 0});
    EXPECT_FALSE(form_->port().OpenState() || Find<QTimer>("Update_Timer")->isActive());
    EXPECT_EQ(Stored("Window Height"), "5505") << "367 pixels";
  }
  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGHUP, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN) << "the handler from before is back";
}

// Stored values show on the window; one the window cannot take falls back to its default, but a
// rate the menu does not offer is kept, unmarked.
TEST_F(SettingsTest, StoredValuesShowAndTheHeightComesBack) {
  const std::vector<std::pair<std::string, std::string>> stored = {
      {"Baudrate", "115200"},     {"Bits", "7"},
      {"Stopbits", "2"},          {"Parity", "3"},
      {"Comport", "32"},          {"Single Bytes", "250"},
      {"Test 2", "False"},        {"Test 5", "False"},
      {"Run at Startup", "True"}, {"Close When Finish", "True"},
      {"Window Height", "8000"}};
  Store(stored);
  ports_[32] = "loopback?openfail=0";  // no start-up run
  Start();
  EXPECT_EQ(Marked(), (Strings{"Bits_Menu_7", "FuncClose_Menu", "FuncStart_Menu", "Parity_Menu_3",
                               "Stop_Menu_2", "baud_menu_10"}));
  EXPECT_EQ(Find<QComboBox>("Com_Combo")->currentText(), QStringLiteral("Com32"));
  QString boxes;
  for (QCheckBox* box : form_->findChildren<QCheckBox*>(QRegularExpression("Test_Check_")))
    boxes += box->text() + (box->isChecked() ? "+ " : "- ");
  EXPECT_EQ(boxes, QStringLiteral("Close/Open port:+ Data Tx/Rx:- 250 bytes Tx/Rx:+ "
                                  "RTS/CTS handshake:+ DTR/DSR handshake:- "));
  EXPECT_TRUE(QTest::qWaitFor([&] { return form_->frameGeometry().height() == 533; }));
  // Minimized at exit: the normal height is what is stored.
  form_->showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->isMinimized(); }));
  form_->FuncExit_Menu_Click();
  EXPECT_EQ(Stored("Window Height"), "7995");
  Reset();
  Store(
      {{"Comport", "33"}, {"Bits", "9"}, {"Stopbits", "3"}, {"Parity", "0"}, {"Baudrate", "123"}});
  Start();
  EXPECT_EQ(Marked(), (Strings{"Bits_Menu_8", "Parity_Menu_1", "Stop_Menu_1"}));
  EXPECT_EQ(form_->settings().BaudRate, 123);
  EXPECT_EQ(Find<QComboBox>("Com_Combo")->currentText(), QStringLiteral("Com1"));
  // The values not used are said under the first tick's text, and stay stored through the exit.
  ASSERT_TRUE(WaitTick());
  const Strings notices = settings::LoadNotices(form_->settings());
  ASSERT_EQ(notices.size(), 4u) << "Bits, Comport, Parity, Stopbits";
  std::string shown = "Serivane ready\r\n";
  for (const std::string& notice : notices) shown += notice + "\r\n";
  EXPECT_EQ(form_->results().ResultText(), shown);
  form_->FuncExit_Menu_Click();
  EXPECT_EQ(Stored("Comport") + Stored("Bits") + Stored("Baudrate"), "339123");
}

// Settings that cannot be saved (here the hive's lock path is a folder): once the exit has begun
// no tick reopens the port and no run starts, not even while the box waits for its click. The
// box adds the system's reason to the wrapper's text; the program ends with status 1.
TEST_F(SettingsTest, AnExitThatCannotSaveEndsOnceWithTheSystemsReason) {
  Store({{"Run at Startup", "True"}});
  const std::string lock = settings::HivePath(settings::kHKeyLocalMachine).string() + ".lock";
  ASSERT_TRUE(std::filesystem::remove(lock) && std::filesystem::create_directory(lock));
  int ticks_while_box_open = -1;
  dialogs_.while_message_open = [&] {
    QSignalSpy ticks(form_.get(), &RS232_Form::updateTicked);
    QTest::qWait(1300);  // the operator takes a while to read it
    ticks_while_box_open = static_cast<int>(ticks.count());
  };
  Start();
  ASSERT_TRUE(WaitRunOver());
  Find<QAction>("FuncExit_Menu")->trigger();
  QTest::qWait(1300);
  EXPECT_EQ(exits_, std::vector<int>{1});
  const std::string reason = "cannot open " + lock + ": Is a directory";
  EXPECT_EQ(dialogs_.messages, Strings{"RS-232 Serivane|2|Error -2147221502 (80040002H)\rFailed to "
                                       "write new value to Baudrate from Registry.\r" +
                                       reason});
  EXPECT_EQ(ticks_while_box_open, 0);
}

TEST_F(SettingsTest, ARegistryThatCannotBeReadEndsTheProgramWithItsError) {
  const std::filesystem::path hive = settings::HivePath(settings::kHKeyLocalMachine);
  std::filesystem::create_directories(hive.parent_path());
  std::ofstream(hive) << "this is no hive\n[unclosed\n";
  Start();
  EXPECT_EQ(exits_, std::vector<int>{1});
  EXPECT_EQ(dialogs_.messages.size() == 1 ? dialogs_.messages[0].substr(0, 48) : "",
            "RS-232 Serivane|2|Error -2147221502 (80040002H)\r");
  EXPECT_FALSE(Find<QTimer>("Update_Timer")->isActive() || Find<QTimer>("tmrOnComm")->isActive());
}

}  // namespace
}  // namespace serivane::app::testing
