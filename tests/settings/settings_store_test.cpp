#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "settings/reg_text.h"
#include "tests/settings/temp_registry.h"

using serivane::settings::CRegistry;
using serivane::settings::EscapeRegText;
using serivane::settings::LoadSettings;
using serivane::settings::RegistryError;
using serivane::settings::SaveSettings;
using serivane::settings::Settings;

namespace {

const std::string kKeyLine = "[HKEY_LOCAL_MACHINE\\Software\\Balvoric\\RS-232 Serivane]\n";

// Every field as text, under the name of its stored value.
std::map<std::string, std::string> Fields(const Settings& s) {
  auto flag = [](bool b) { return std::string(b ? "T" : "F"); };
  std::map<std::string, std::string> fields = {
      {"Baudrate", std::to_string(s.BaudRate)},
      {"Bits", std::to_string(s.DataBits)},
      {"Close When Finish", flag(s.CloseWhenFinish)},
      {"Comport", std::to_string(s.ComPort)},
      {"Handshake Delay", std::to_string(s.HandshakeDelay)},
      {"Max Duration", std::to_string(s.MaxDuration)},
      {"Parity", std::to_string(s.Parity)},
      {"Result FileName", s.ResultFileName},
      {"Run at Startup", flag(s.RunAtStartup)},
      {"Single Bytes", std::to_string(s.SingleBytes)},
      {"Stopbits", std::to_string(s.StopBits)},
      {"Test Timeout", std::to_string(s.TestTimeout)},
      {"Window Height", s.WindowHeight ? std::to_string(*s.WindowHeight) : "none"}};
  for (std::size_t n = 1; n <= 5; ++n)
    fields["Test " + std::to_string(n)] = flag(s.TestSelected[n]);
  return fields;
}

TEST(SettingsStoreTest, FirstStartMakesTheKeyAndSavingWritesSixteenValues) {
  TempRegistry temp;
  CRegistry registry;
  Settings settings;
  LoadSettings(registry, settings);
  EXPECT_EQ(registry.CurrentKey(), "");
  EXPECT_EQ(Fields(settings), Fields(Settings{}));
  const std::string key =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n;\n\n[HKEY_LOCAL_MACHINE\\Software]\n;\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Balvoric]\n;\n\n" +
      kKeyLine + ";\n";
  EXPECT_EQ(temp.HiveShape(), key);

  settings.WindowHeight = 7500.0f;
  SaveSettings(registry, settings);
  EXPECT_EQ(temp.HiveShape(),
            key +
                "\"Baudrate\"=\"38400\"\n\"Bits\"=\"8\"\n\"Close When Finish\"=\"False\"\n"
                "\"Comport\"=\"1\"\n\"Handshake Delay\"=\"50\"\n\"Max Duration\"=\"2000\"\n"
                "\"Parity\"=\"1\"\n\"Result FileName\"=\"C:\\\\RS-232_Result.Txt\"\n"
                "\"Run at Startup\"=\"False\"\n\"Stopbits\"=\"1\"\n\"Window Height\"=\"7500\"\n"
                "\"Test 1\"=\"True\"\n\"Test 2\"=\"True\"\n\"Test 3\"=\"True\"\n"
                "\"Test 4\"=\"True\"\n\"Test 5\"=\"True\"\n");
}

TEST(SettingsStoreTest, HandStoredValuesLoadThroughTheConversions) {
  struct Case {
    const char* name;
    std::string stored, loaded;
  };
  const std::string long_path(255, 'p');
  const Case cases[] = {
      {"Baudrate", "9600.4", "9600"},
      {"Bits", "2.5", "2"},
      {"Stopbits", "3.5", "4"},
      {"Comport", "3x", "3"},
      {"Parity", "", "0"},
      {"Max Duration", "  -12", "-12"},
      {"Single Bytes", "32767", "32767"},
      {"Single Bytes", "32768", "100"},        // beyond 16 bits: the default stands
      {"Test Timeout", "3000000000", "2000"},  // beyond 32 bits
      {"Test 1", "false", "F"},
      {"Test 2", "0", "F"},
      {"Run at Startup", "-1", "T"},
      {"Close When Finish", "TRUE", "T"},
      {"Test 4", "maybe", "T"},
      {"Result FileName", long_path, "C:\\RS-232_Result.Txt"},  // too long to read: missing
      {"Window Height", "7000.5", "7000.500000"},
      {"Window Height", "0", "none"},
      {"Window Height", "-5", "none"},
      {"Window Height", "1e9", "none"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " = \"" + c.stored.substr(0, 20) + "\"");
    TempRegistry temp;
    temp.WriteHiveText("REGEDIT4\n\n" + kKeyLine + "\"" + c.name + "\"=\"" +
                       EscapeRegText(c.stored) + "\"\n");
    CRegistry registry;
    Settings settings;
    LoadSettings(registry, settings);
    std::map<std::string, std::string> expected = Fields(Settings{});
    expected[c.name] = c.loaded;
    EXPECT_EQ(Fields(settings), expected);
  }
}

TEST(SettingsStoreTest, SavedSettingsLoadBackWithTheResultPathTrimmed) {
  TempRegistry temp;
  CRegistry registry;
  // clang-format off
  Settings saved{.ComPort = 7, .BaudRate = 115200, .DataBits = 7, .StopBits = 2, .Parity = 3,
                 .HandshakeDelay = -1, .MaxDuration = 150, .SingleBytes = 42, .TestTimeout = 999,
                 .ResultFileName = "  Z:\\tmp\\with blank.txt ",
                 .TestSelected = {false, false, true, false, true, false},
                 .RunAtStartup = true, .CloseWhenFinish = true, .WindowHeight = 6543.25f,
                 .UnreadValues = {}};
  // clang-format on
  SaveSettings(registry, saved);
  Settings expected = saved;
  expected.SingleBytes = 100;  // never written
  expected.TestTimeout = 2000;
  expected.ResultFileName = "Z:\\tmp\\with blank.txt";
  Settings loaded;
  LoadSettings(registry, loaded);
  EXPECT_EQ(Fields(loaded), Fields(expected));

  saved.ResultFileName = "   ";
  SaveSettings(registry, saved);
  LoadSettings(registry, loaded);
  EXPECT_EQ(loaded.ResultFileName, " ");
}

TEST(SettingsStoreTest, RegistryFailuresReachTheCallerAndTheHiveStaysAsItWas) {
  TempRegistry temp;
  const std::string broken = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"unterminated=\"x\n";
  temp.WriteHiveText(broken);
  CRegistry registry;
  Settings settings;
  EXPECT_THROW(LoadSettings(registry, settings), RegistryError);
  EXPECT_THROW(SaveSettings(registry, settings), RegistryError);
  EXPECT_EQ(temp.HiveText(), broken);
}

}  // namespace
