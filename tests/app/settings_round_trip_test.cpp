// The settings through the registry: what a first exit writes, how hand-stored values load,
// and the ways the window ends.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include "settings/registry_store.h"
#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using SettingsTest = FormTest;

TEST_F(SettingsTest, FirstExitWritesSixteenValues) {
  Start();
  ASSERT_TRUE(WaitTick());
  form_->FuncExit_Menu->trigger();
  EXPECT_EQ(exits_, std::vector<int>{0});
  EXPECT_FALSE(form_->port().OpenState());
  EXPECT_EQ(StoredValueCount(), 16);
  const std::pair<const char*, const char*> expected[] = {
      {"Baudrate", "38400"},
      {"Bits", "8"},
      {"Close When Finish", "False"},
      {"Comport", "1"},
      {"Handshake Delay", "50"},
      {"Max Duration", "2000"},
      {"Parity", "1"},
      {"Result FileName", "C:\\RS-232_Result.Txt"},
      {"Run at Startup", "False"},
      {"Stopbits", "1"},
      {"Test 1", "True"},
      {"Test 2", "True"},
      {"Test 3", "True"},
      {"Test 4", "True"},
      {"Test 5", "True"},
  };
  for (const auto& [name, text] : expected) EXPECT_EQ(Stored(name), text) << name;
  const std::optional<std::string> height = Stored("Window Height");
  ASSERT_TRUE(height.has_value());
  EXPECT_EQ(*height, std::to_string(form_->frameGeometry().height() * 15));
  EXPECT_GE(std::stoi(*height), 5500 - 15);
  EXPECT_FALSE(Stored("Single Bytes").has_value());
  EXPECT_FALSE(Stored("Test Timeout").has_value());

  // Nothing of the window runs after the Exit command.
  EXPECT_TRUE(form_->Ended());
  EXPECT_FALSE(form_->Update_Timer->isActive());
  EXPECT_FALSE(form_->tmrOnComm->isActive());
}

TEST_F(SettingsTest, HandStoredValuesLoadIntoTheWindow) {
  Store("Baudrate", "9600.4");
  Store("Bits", "7");
  Store("Stopbits", "2.5");
  Store("Parity", "3.5");  // 4: no such parity, so the default
  Store("Comport", "3x");
  Store("Handshake Delay", " 120");
  Store("Single Bytes", "250");
  Store("Test 2", "false");
  Store("Test 3", "0");
  Store("Test 4", "-1");
  Store("Run at Startup", "TRUE");
  Store("Close When Finish", "1");
  Store("Window Height", "8000");
  ports_[3] = "loopback";
  Start();
  const settings::Settings& s = form_->settings();
  EXPECT_EQ(s.BaudRate, 9600);
  EXPECT_TRUE(form_->baud_menu[6]->isChecked());
  EXPECT_EQ(s.DataBits, 7);
  EXPECT_TRUE(form_->Bits_Menu[7]->isChecked());
  EXPECT_FALSE(form_->Bits_Menu[8]->isChecked());
  EXPECT_EQ(s.StopBits, 2);
  EXPECT_TRUE(form_->Stop_Menu[2]->isChecked());
  EXPECT_EQ(s.Parity, 1);
  EXPECT_TRUE(form_->Parity_Menu[1]->isChecked());
  EXPECT_EQ(s.ComPort, 3);
  EXPECT_EQ(form_->Com_Combo->currentText(), QStringLiteral("Com3"));
  EXPECT_EQ(s.HandshakeDelay, 120);
  EXPECT_EQ(form_->Test_Check[3]->text(), QStringLiteral("250 bytes Tx/Rx:"));
  const bool boxes[] = {true, false, false, true, true};
  for (std::size_t n = 1; n <= 5; ++n) {
    EXPECT_EQ(form_->Test_Check[n]->isChecked(), boxes[n - 1]) << n;
    EXPECT_EQ(s.TestSelected[n], boxes[n - 1]) << n;
  }
  EXPECT_TRUE(form_->FuncStart_Menu->isChecked());
  EXPECT_TRUE(form_->FuncClose_Menu->isChecked());
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return form_->frameGeometry().height() == TwipsToPixels(8000); }, 3000));
  EXPECT_EQ(form_->Result_Text->height(), TwipsToPixels(8000) - TwipsToPixels(4650));
}

TEST_F(SettingsTest, ValuesTheWindowCannotTakeFallBackToTheDefaults) {
  struct Case {
    const char* name;
    const char* text;
  };
  const Case cases[] = {{"Comport", "40"},  {"Comport", ""}, {"Bits", "5"},
                        {"Stopbits", "3"},  {"Parity", "0"}, {"Baudrate", "-9600"},
                        {"Baudrate", "123"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=\"" + c.text + "\"");
    TearDown();
    SetUp();
    Store(c.name, c.text);
    Create();
    const settings::Settings& s = form_->settings();
    EXPECT_EQ(s.ComPort, 1);
    EXPECT_EQ(form_->Com_Combo->currentIndex(), 0);
    EXPECT_EQ(s.DataBits, 8);
    EXPECT_EQ(s.StopBits, 1);
    EXPECT_EQ(s.Parity, 1);
    EXPECT_TRUE(form_->Bits_Menu[8]->isChecked());
    EXPECT_TRUE(form_->Stop_Menu[1]->isChecked());
    EXPECT_TRUE(form_->Parity_Menu[1]->isChecked());
    int marked_bauds = 0;
    for (std::size_t i = 1; i <= 10; ++i) marked_bauds += form_->baud_menu[i]->isChecked();
    if (std::string(c.text) == "123") {
      // A rate the menu does not offer is kept, unmarked.
      EXPECT_EQ(s.BaudRate, 123);
      EXPECT_EQ(marked_bauds, 0);
    } else {
      EXPECT_EQ(s.BaudRate, 38400);
      EXPECT_TRUE(form_->baud_menu[8]->isChecked());
    }
  }
}

TEST_F(SettingsTest, WindowHeightComesBackAndIsNeverBelowTheMinimum) {
  for (const char* stored : {"7500", "100"}) {
    SCOPED_TRACE(stored);
    TearDown();
    SetUp();
    Store("Window Height", stored);
    Start();
    const int expected = std::max(TwipsToPixels(std::stod(stored)), TwipsToPixels(5500));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form_->frameGeometry().height() == expected; }, 3000));
    // Minimized at exit: the normal height is what is stored.
    form_->showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form_->isMinimized(); }, 3000));
    form_->FuncExit_Menu_Click();
    EXPECT_EQ(Stored("Window Height"), std::to_string(expected * 15));
  }
}

TEST_F(SettingsTest, ClosingTheWindowSavesLikeExitButASessionCloseDoesNot) {
  Start();
  ASSERT_TRUE(WaitTick());
  form_->FuncClose_Menu->trigger();
  bool cancel = false;
  form_->Form_QueryUnload(cancel, 1);
  EXPECT_TRUE(exits_.empty());
  EXPECT_FALSE(Stored("Close When Finish").has_value());
  EXPECT_TRUE(form_->port().OpenState());

  EXPECT_FALSE(form_->close()) << "the window never closes in the ordinary way";
  EXPECT_EQ(exits_, std::vector<int>{0});
  EXPECT_EQ(Stored("Close When Finish"), "True");
  EXPECT_EQ(StoredValueCount(), 16);
  EXPECT_FALSE(form_->port().OpenState());
}

TEST_F(SettingsTest, ARegistryThatCannotBeReadEndsTheProgramWithItsError) {
  const std::filesystem::path hive = settings::HivePath(settings::kHKeyLocalMachine);
  std::filesystem::create_directories(hive.parent_path());
  {
    QFile file(QString::fromStdString(hive.string()));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("this is no hive\n[unclosed\n");
  }
  Create();
  EXPECT_EQ(exits_, std::vector<int>{1});
  ASSERT_EQ(dialogs_.messages.size(), 1u);
  EXPECT_EQ(dialogs_.messages[0].icon, MessageIcon::kCritical);
  EXPECT_EQ(dialogs_.messages[0].text.rfind("Error -2147221502 (80040002H)\r", 0), 0u)
      << dialogs_.messages[0].text;
  EXPECT_GT(dialogs_.messages[0].text.size(),
            std::string("Error -2147221502 (80040002H)\r").size());
  EXPECT_TRUE(form_->Ended());
  EXPECT_FALSE(form_->Update_Timer->isActive());
}

}  // namespace
}  // namespace serivane::app::testing
