// The settings through the registry: what an exit writes, how hand-stored values load, and the
// ways the window ends.
#include <QRegularExpression>
#include <fstream>

#include "settings/registry_store.h"
#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using SettingsTest = FormTest;

// A session close saves nothing and leaves the window running; the Exit command and closing the
// window both save the settings, the window's height with them, and end the program.
TEST_F(SettingsTest, ExitAndClosingTheWindowSaveButASessionCloseDoesNot) {
  for (const bool by_menu : {true, false}) {
    SCOPED_TRACE(by_menu ? "Exit" : "window closed");
    Reset();
    Start();
    ASSERT_TRUE(WaitTick());
    form_->Form_QueryUnload(1);
    EXPECT_EQ(Stored("Comport"), "(none)");
    if (by_menu) {
      Find<QAction>("FuncExit_Menu")->trigger();
    } else {
      EXPECT_FALSE(form_->close()) << "the window never closes in the ordinary way";
    }
    EXPECT_EQ(exits_, std::vector<int>{0});
    EXPECT_FALSE(form_->port().OpenState() || Find<QTimer>("Update_Timer")->isActive());
    EXPECT_EQ(Stored("Window Height"), "5505") << "367 pixels";
  }
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
  const std::string outcome = " The default is used, and the stored value is left as it is.\r\n";
  EXPECT_EQ(form_->results().ResultText(),
            "Serivane ready\r\n"
            "Setting \"Bits\" ignored: its stored value \"9\" is not one the program accepts "
            "(7 or 8)." +
                outcome +
                "Setting \"Comport\" ignored: its stored value \"33\" is not one the program "
                "accepts (1 to 32)." +
                outcome +
                "Setting \"Parity\" ignored: its stored value \"0\" is not one the program accepts "
                "(1 to 3)." +
                outcome +
                "Setting \"Stopbits\" ignored: its stored value \"3\" is not one the program "
                "accepts (1 or 2)." +
                outcome);
  form_->FuncExit_Menu_Click();
  EXPECT_EQ(Stored("Comport") + Stored("Bits") + Stored("Baudrate"), "339123");
}

// Settings that cannot be saved (here the hive's lock path is a folder): once the exit has begun
// no tick reopens the port and no run starts, not even while the box waits for its click. The
// box adds the system's reason to the wrapper's text, and standard error has it once; the
// program ends with status 1.
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
  ::testing::internal::CaptureStderr();
  Find<QAction>("FuncExit_Menu")->trigger();
  QTest::qWait(1300);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(exits_, std::vector<int>{1});
  const std::string reason = "cannot open " + lock + ": Is a directory";
  EXPECT_EQ(dialogs_.messages, Strings{"RS-232 Serivane|2|Error -2147221502 (80040002H)\rFailed to "
                                       "write new value to Baudrate from Registry.\r" +
                                       reason});
  // Qt may have its own remarks there; the program's line comes once.
  const std::string line =
      "serivane: Error -2147221502 (80040002H): Failed to write new value to "
      "Baudrate from Registry. (" +
      reason + ")\n";
  EXPECT_NE(said.find(line), std::string::npos) << said;
  EXPECT_EQ(said.find(line, said.find(line) + 1), std::string::npos) << said;
  EXPECT_EQ(ticks_while_box_open, 0);
}

TEST_F(SettingsTest, ARegistryThatCannotBeReadEndsTheProgramWithItsError) {
  const std::filesystem::path hive = settings::HivePath(settings::kHKeyLocalMachine);
  std::filesystem::create_directories(hive.parent_path());
  std::ofstream(hive) << "this is no hive\n[unclosed\n";
  Start();
  EXPECT_EQ(exits_, std::vector<int>{1});
  ASSERT_EQ(dialogs_.messages.size(), 1u);
  EXPECT_EQ(dialogs_.messages[0].rfind("RS-232 Serivane|2|Error -2147221502 (80040002H)\r", 0), 0u)
      << dialogs_.messages[0];
  EXPECT_FALSE(Find<QTimer>("Update_Timer")->isActive() || Find<QTimer>("tmrOnComm")->isActive());
}

}  // namespace
}  // namespace serivane::app::testing
