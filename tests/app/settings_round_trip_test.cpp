// The settings through the registry: what an exit writes, how hand-stored values load, and the
// ways the window ends.
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
    EXPECT_TRUE(exits_.empty());
    if (by_menu) {
      Find<QAction>("FuncExit_Menu")->trigger();
    } else {
      EXPECT_FALSE(form_->close()) << "the window never closes in the ordinary way";
    }
    EXPECT_EQ(exits_, std::vector<int>{0});
    EXPECT_FALSE(form_->port().OpenState() || Find<QTimer>("Update_Timer")->isActive());
    EXPECT_EQ(Stored("Window Height"), "5505") << "367 pixels";
    settings::CRegistry registry;
    registry.OpenKey(settings::kHKeyLocalMachine, settings::kSettingsKey);
    EXPECT_EQ(registry.NumOfValues(), 16);
  }
}

TEST_F(SettingsTest, HandStoredValuesLoadAndTheHeightComesBack) {
  for (const auto& [name, text] : {std::pair{"Baudrate", "9600.4"},
                                   {"Bits", "7"},
                                   {"Stopbits", "2.5"},
                                   {"Parity", "3.5"},  // 4: no such parity, so the default
                                   {"Comport", "3x"},
                                   {"Handshake Delay", " 120"},
                                   {"Single Bytes", "250"},
                                   {"Test 2", "false"},
                                   {"Test 3", "0"},
                                   {"Test 4", "-1"},
                                   {"Run at Startup", "TRUE"},
                                   {"Close When Finish", "1"},
                                   {"Window Height", "8000"}}) {
    Store(name, text);
  }
  ports_[3] = "loopback";
  Start();
  EXPECT_EQ(Marked(), (Strings{"Bits_Menu_7", "FuncClose_Menu", "FuncStart_Menu", "Parity_Menu_1",
                               "Stop_Menu_2", "baud_menu_6"}));
  EXPECT_EQ(Find<QComboBox>("Com_Combo")->currentText(), QStringLiteral("Com3"));
  QString boxes;
  for (std::size_t n = 1; n <= 5; ++n) {
    boxes += Find<QCheckBox>(QStringLiteral("Test_Check_%1").arg(n))->text() +
             (Find<QCheckBox>(QStringLiteral("Test_Check_%1").arg(n))->isChecked() ? "+ " : "- ");
  }
  EXPECT_EQ(boxes, QStringLiteral("Close/Open port:+ Data Tx/Rx:- 250 bytes Tx/Rx:- "
                                  "RTS/CTS handshake:+ DTR/DSR handshake:+ "));
  EXPECT_TRUE(QTest::qWaitFor([&] { return form_->frameGeometry().height() == 533; }));
  // Minimized at exit: the normal height is what is stored.
  form_->showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->isMinimized(); }));
  form_->FuncExit_Menu_Click();
  EXPECT_EQ(Stored("Window Height"), "7995");
}

// Values out of range fall back to the defaults, except a rate the menu does not offer, which is
// kept unmarked.
TEST_F(SettingsTest, ValuesTheWindowCannotTakeFallBackToTheDefaults) {
  for (const auto& [name, text] : {std::pair{"Comport", "33"},
                                   {"Bits", "9"},
                                   {"Stopbits", "3"},
                                   {"Parity", "0"},
                                   {"Baudrate", "123"}}) {
    Store(name, text);
  }
  Create();
  EXPECT_EQ(Marked(), (Strings{"Bits_Menu_8", "Parity_Menu_1", "Stop_Menu_1"}));
  EXPECT_EQ(form_->settings().BaudRate, 123);
  EXPECT_EQ(Find<QComboBox>("Com_Combo")->currentText(), QStringLiteral("Com1"));
}

// Settings that cannot be saved (here the hive's lock path is a folder): once the exit has begun
// no tick reopens the port and no run starts, not even while the box waits for its click. The
// box adds the system's reason to the wrapper's text; after a run that ends the program by
// itself there is no box, only standard error. Either way the program ends once, with status 1.
TEST_F(SettingsTest, AnExitThatCannotSaveEndsOnceWithTheSystemsReason) {
  const std::string result = dir_.path().toStdString() + "/result.txt";
  for (const bool unattended : {false, true}) {
    SCOPED_TRACE(unattended ? "close when finished" : "Exit");
    Reset();
    Store("Result FileName", result);
    Store("Run at Startup", "True");
    Store("Close When Finish", unattended ? "True" : "False");
    const std::string lock = settings::HivePath(settings::kHKeyLocalMachine).string() + ".lock";
    ASSERT_TRUE(std::filesystem::remove(lock) && std::filesystem::create_directory(lock));
    int ticks_while_box_open = -1;
    dialogs_.while_message_open = [&] {
      QSignalSpy ticks(form_.get(), &RS232_Form::updateTicked);
      QTest::qWait(1300);  // the operator takes a while to read it
      ticks_while_box_open = static_cast<int>(ticks.count());
    };
    ::testing::internal::CaptureStderr();
    Start();
    if (!unattended) {
      ASSERT_TRUE(WaitRunOver());
      Find<QAction>("FuncExit_Menu")->trigger();
    }
    const bool ended = QTest::qWaitFor([&] { return !exits_.empty(); }, 20000);
    QTest::qWait(1300);
    const std::string said = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_EQ(exits_, std::vector<int>{1});
    const std::string reason = "cannot open " + lock + ": Is a directory";
    // Qt may have its own remarks there; the program's line comes once.
    const std::string line =
        "serivane: Error -2147221502 (80040002H): Failed to write new value "
        "to Baudrate from Registry. (" +
        reason + ")\n";
    EXPECT_NE(said.find(line), std::string::npos) << said;
    EXPECT_EQ(said.find(line, said.find(line) + 1), std::string::npos) << said;
    if (unattended) {
      EXPECT_TRUE(dialogs_.messages.empty());
    } else {
      EXPECT_EQ(dialogs_.messages,
                Strings{"RS-232 Serivane|2|Error -2147221502 (80040002H)\rFailed to write new "
                        "value to Baudrate from Registry.\r" +
                        reason});
      EXPECT_EQ(ticks_while_box_open, 0);
    }
    EXPECT_FALSE(form_->port().OpenState() || Find<QTimer>("Update_Timer")->isActive());
    std::ifstream file(result, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    EXPECT_EQ(bytes.find("Test started"), 0u);
    EXPECT_EQ(bytes.find("Test started", 1), std::string::npos) << "one run only";
  }
}

// Stored values that make a run wait for half a minute or an hour: closing the window ends the
// program within a second of the close, with the lines written so far in the file and the
// settings saved. Once the (recorded) exit is seen the test lets the clock run out.
TEST_F(SettingsTest, ClosingTheWindowDuringALongWaitEndsTheProgramAtOnce) {
  const std::string result = dir_.path().toStdString() + "/result.txt";
  struct Case {
    const char* name;
    const char* value;
    int test;
    std::int64_t close_after_ms;  // clock time from the first pause
    const char* written;          // the file at the exit, after the start line
  };
  for (const Case& c : {Case{"Handshake Delay", "32767", 4, 32767 + 3000,
                             "+RTS/CTS handshake: RTS/CTS= off --- OK\r\n"},
                        Case{"Baudrate", "1", 2, 60'000, ""}}) {
    SCOPED_TRACE(c.name);
    Reset();
    Store("Result FileName", result);
    Store("Run at Startup", "True");
    Store(c.name, c.value);
    for (int n = 1; n <= 5; ++n) Store("Test " + std::to_string(n), n == c.test ? "True" : "False");
    std::int64_t first_pause = -1, close_at = -1, exit_at = -1;
    std::string at_exit;
    clock_.SetSleepHook([&](std::int32_t ms) {
      const std::int64_t now = clock_.NowMicros() / 1000;
      if (first_pause < 0) first_pause = now - ms;
      if (!exits_.empty()) {
        if (exit_at < 0) {
          exit_at = now;
          std::ifstream file(result, std::ios::binary);
          at_exit.assign(std::istreambuf_iterator<char>(file), {});
        }
        clock_.AdvanceMillis(10'000'000);
      } else if (close_at < 0 && now - first_pause >= c.close_after_ms) {
        close_at = now;
        QMetaObject::invokeMethod(
            form_.get(), [this] { form_->close(); }, Qt::QueuedConnection);
      }
    });
    Start();
    ASSERT_TRUE(WaitRunOver());
    clock_.SetSleepHook(nullptr);
    EXPECT_EQ(exits_, std::vector<int>{0});
    ASSERT_GE(close_at, 0);
    EXPECT_LE(exit_at - close_at, 1000);
    EXPECT_EQ(at_exit.substr(0, 13), "Test started ");
    EXPECT_EQ(at_exit.substr(at_exit.find("\r\n") + 2), c.written);
    EXPECT_EQ(Stored(c.name), c.value);
  }
}

TEST_F(SettingsTest, ARegistryThatCannotBeReadEndsTheProgramWithItsError) {
  const std::filesystem::path hive = settings::HivePath(settings::kHKeyLocalMachine);
  std::filesystem::create_directories(hive.parent_path());
  std::ofstream(hive) << "this is no hive\n[unclosed\n";
  Create();
  EXPECT_EQ(exits_, std::vector<int>{1});
  ASSERT_EQ(dialogs_.messages.size(), 1u);
  EXPECT_EQ(dialogs_.messages[0].rfind("RS-232 Serivane|2|Error -2147221502 (80040002H)\r", 0), 0u)
      << dialogs_.messages[0];
  EXPECT_FALSE(Find<QTimer>("Update_Timer")->isActive() || Find<QTimer>("tmrOnComm")->isActive());
}

}  // namespace
}  // namespace serivane::app::testing
