#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "settings/reg_text.h"
#include "tests/settings/temp_registry.h"

using serivane::settings::CRegistry;
using serivane::settings::EscapeRegText;
using serivane::settings::kHKeyLocalMachine;
using serivane::settings::LoadSettings;
using serivane::settings::RegistryError;
using serivane::settings::SaveSettings;
using serivane::settings::Settings;

namespace {

const char kKeyLine[] = "[HKEY_LOCAL_MACHINE\\Software\\Balvoric\\RS-232 Serivane]\n";

// The values of the settings key in the order the hive file holds them.
std::vector<std::pair<std::string, std::string>> StoredValues(const std::string& hive) {
  std::vector<std::pair<std::string, std::string>> values;
  const std::size_t key = hive.find(kKeyLine);
  if (key == std::string::npos) return values;
  std::size_t pos = key + sizeof kKeyLine - 1;
  while (pos < hive.size() && hive[pos] != '\n' && hive[pos] != '[') {
    const std::size_t end = hive.find('\n', pos);
    const std::string line = hive.substr(pos, end - pos);
    pos = end + 1;
    if (line[0] != '"') continue;
    const std::size_t split = line.find("\"=\"");
    values.emplace_back(line.substr(1, split - 1), line.substr(split + 3, line.size() - split - 4));
  }
  return values;
}

TEST(SettingsStoreTest, FirstStartCreatesTheKeyAndTheFirstExitWritesSixteenValues) {
  TempRegistry temp;
  CRegistry registry;
  Settings settings;
  LoadSettings(registry, settings);
  EXPECT_EQ(registry.CurrentKey(), "");  // closed again
  EXPECT_FALSE(settings.WindowHeight.has_value());
  EXPECT_EQ(settings.ResultFileName, "C:\\RS-232_Result.Txt");
  EXPECT_EQ(settings.BaudRate, 38400);
  EXPECT_NE(temp.HiveText().find(kKeyLine), std::string::npos) << temp.HiveText();
  EXPECT_TRUE(StoredValues(temp.HiveText()).empty());

  settings.WindowHeight = 7500.0f;
  SaveSettings(registry, settings);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Baudrate", "38400"},
      {"Bits", "8"},
      {"Close When Finish", "False"},
      {"Comport", "1"},
      {"Handshake Delay", "50"},
      {"Max Duration", "2000"},
      {"Parity", "1"},
      {"Result FileName", "C:\\\\RS-232_Result.Txt"},
      {"Run at Startup", "False"},
      {"Stopbits", "1"},
      {"Window Height", "7500"},
      {"Test 1", "True"},
      {"Test 2", "True"},
      {"Test 3", "True"},
      {"Test 4", "True"},
      {"Test 5", "True"},
  };
  EXPECT_EQ(StoredValues(temp.HiveText()), expected) << temp.HiveText();
}

TEST(SettingsStoreTest, HandStoredValuesLoadThroughTheConversions) {
  struct Case {
    const char* name;
    std::string stored;
    std::function<std::string(const Settings&)> field;
    std::string expected;
  };
  auto num = [](auto member) {
    return [member](const Settings& s) { return std::to_string(s.*member); };
  };
  auto test = [](int n) {
    return [n](const Settings& s) { return std::string(s.TestSelected[n] ? "T" : "F"); };
  };
  auto height = [](const Settings& s) {
    return s.WindowHeight ? std::to_string(*s.WindowHeight) : std::string("none");
  };
  auto path = [](const Settings& s) { return s.ResultFileName; };
  auto start = [](const Settings& s) { return std::string(s.RunAtStartup ? "T" : "F"); };
  const Case cases[] = {
      {"Baudrate", "9600.4", num(&Settings::BaudRate), "9600"},
      {"Bits", "2.5", num(&Settings::DataBits), "2"},
      {"Stopbits", "3.5", num(&Settings::StopBits), "4"},
      {"Comport", "3x", num(&Settings::ComPort), "3"},
      {"Parity", "", num(&Settings::Parity), "0"},
      {"Handshake Delay", "fast", num(&Settings::HandshakeDelay), "0"},
      {"Max Duration", "  -12", num(&Settings::MaxDuration), "-12"},
      {"Single Bytes", "32768", num(&Settings::SingleBytes), "100"},        // beyond 16 bits
      {"Test Timeout", "3000000000", num(&Settings::TestTimeout), "2000"},  // beyond 32 bits
      {"Test 1", "false", test(1), "F"},
      {"Test 2", "0", test(2), "F"},
      {"Test 3", "-1", test(3), "T"},
      {"Test 4", "maybe", test(4), "T"},  // neither: the default stands
      {"Run at Startup", "TRUE", start, "T"},
      {"Window Height", "7000.5", height, "7000.500000"},
      {"Result FileName", std::string(255, 'p'), path, "C:\\RS-232_Result.Txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " = \"" + c.stored.substr(0, 20) + "\"");
    TempRegistry temp;
    temp.WriteHiveText(std::string("REGEDIT4\n\n") + kKeyLine + "\"" + c.name + "\"=\"" +
                       EscapeRegText(c.stored) + "\"\n");
    CRegistry registry;
    Settings settings;
    LoadSettings(registry, settings);
    EXPECT_EQ(c.field(settings), c.expected);
  }
}

TEST(SettingsStoreTest, UnusableHeightsLeaveTheWindowItsOwnHeight) {
  for (const char* stored : {"tall", "0", "-5", "1e9", "", "nan"}) {
    SCOPED_TRACE(stored);
    TempRegistry temp;
    temp.WriteHiveText(std::string("REGEDIT4\n\n") + kKeyLine + "\"Window Height\"=\"" + stored +
                       "\"\n");
    CRegistry registry;
    Settings settings;
    LoadSettings(registry, settings);
    EXPECT_FALSE(settings.WindowHeight.has_value());
  }
}

TEST(SettingsStoreTest, SavedSettingsLoadBackAndTheResultPathIsTrimmed) {
  TempRegistry temp;
  CRegistry registry;
  Settings saved;
  saved.ComPort = 7;
  saved.BaudRate = 115200;
  saved.DataBits = 7;
  saved.StopBits = 2;
  saved.Parity = 3;
  saved.HandshakeDelay = -1;
  saved.MaxDuration = 150;
  saved.SingleBytes = 42;   // never written
  saved.TestTimeout = 999;  // never written
  saved.ResultFileName = "  Z:\\tmp\\with blank.txt ";
  saved.TestSelected = {false, false, true, false, true, false};
  saved.RunAtStartup = true;
  saved.CloseWhenFinish = true;
  saved.WindowHeight = 6543.25f;
  SaveSettings(registry, saved);

  Settings loaded;
  LoadSettings(registry, loaded);
  EXPECT_EQ(loaded.ComPort, 7);
  EXPECT_EQ(loaded.BaudRate, 115200);
  EXPECT_EQ(loaded.DataBits, 7);
  EXPECT_EQ(loaded.StopBits, 2);
  EXPECT_EQ(loaded.Parity, 3);
  EXPECT_EQ(loaded.HandshakeDelay, -1);
  EXPECT_EQ(loaded.MaxDuration, 150);
  EXPECT_EQ(loaded.SingleBytes, 100);
  EXPECT_EQ(loaded.TestTimeout, 2000);
  EXPECT_EQ(loaded.ResultFileName, "Z:\\tmp\\with blank.txt");
  EXPECT_EQ(loaded.TestSelected, saved.TestSelected);
  EXPECT_TRUE(loaded.RunAtStartup);
  EXPECT_TRUE(loaded.CloseWhenFinish);
  EXPECT_EQ(loaded.WindowHeight, 6543.25f);

  // A blank path is kept as one blank; a path too long to read back counts as missing.
  saved.ResultFileName = "   ";
  SaveSettings(registry, saved);
  LoadSettings(registry, loaded);
  EXPECT_EQ(loaded.ResultFileName, " ");
  saved.ResultFileName = std::string(255, 'q');
  SaveSettings(registry, saved);
  registry.OpenKey(kHKeyLocalMachine, "Software\\Balvoric\\RS-232 Serivane");
  EXPECT_EQ(registry.MaxValueLength(), 256);  // it was written
  registry.CloseKey();
  Settings fresh;
  LoadSettings(registry, fresh);
  EXPECT_EQ(fresh.ResultFileName, "C:\\RS-232_Result.Txt");
}

TEST(SettingsStoreTest, RegistryFailuresReachTheCaller) {
  TempRegistry temp;
  const std::string broken = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"unterminated=\"x\n";
  temp.WriteHiveText(broken);
  CRegistry registry;
  Settings settings;
  for (int round = 0; round < 2; ++round) {
    try {
      if (round == 0)
        LoadSettings(registry, settings);
      else
        SaveSettings(registry, settings);
      ADD_FAILURE() << "nothing raised";
    } catch (const RegistryError& error) {
      EXPECT_EQ(error.source(), "CRegistry:OpenKey");
      EXPECT_EQ(error.description(), "Failed to create key Software\\Balvoric\\RS-232 Serivane.");
    }
  }
  EXPECT_EQ(temp.HiveText(), broken);
}

}  // namespace
