#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <tuple>

#include "settings/registry_store.h"
#include "tests/settings/temp_registry.h"

namespace fs = std::filesystem;
using serivane::settings::CRegistry;
using serivane::settings::SaveSettings;
using serivane::settings::Settings;

namespace {

// The start-up's loading: the registry as it is now, read once.
void LoadSettings(CRegistry& registry, Settings& settings) {
  serivane::settings::LoadSettings(
      registry, serivane::settings::RegistrySnapshot::Read(serivane::settings::kHKeyLocalMachine),
      settings);
}

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
  for (const auto& value : s.UnreadValues)
    fields["unread"] += value.name + " " + std::to_string(value.characters);
  for (const auto& value : s.RefusedValues)
    fields["refused"] += value.name + " \"" + value.stored + "\" (" + value.accepted + ")";
  return fields;
}

TEST(SettingsStoreTest, SavingWritesSixteenValuesThatLoadBack) {
  TempRegistry temp;
  CRegistry registry;
  // clang-format off
  Settings saved{.ComPort = 7, .BaudRate = 115200, .DataBits = 7, .StopBits = 2, .Parity = 3,
                 .HandshakeDelay = 1, .MaxDuration = 150, .SingleBytes = 42, .TestTimeout = 999,
                 .ResultFileName = "  Z:\\tmp\\with blank.txt ",
                 .TestSelected = {true, false, true, false, true, false},
                 .RunAtStartup = true, .CloseWhenFinish = false, .WindowHeight = 6543.25f,
                 .UnreadValues = {}, .RefusedValues = {}};
  // clang-format on
  SaveSettings(registry, saved);
  EXPECT_EQ(temp.HiveShape(),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n;\n\n[HKEY_LOCAL_MACHINE\\Software]\n;\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Balvoric]\n;\n\n" +
                kKeyLine +
                ";\n\"Baudrate\"=\"115200\"\n\"Bits\"=\"7\"\n\"Close When Finish\"=\"False\"\n"
                "\"Comport\"=\"7\"\n\"Handshake Delay\"=\"1\"\n\"Max Duration\"=\"150\"\n"
                "\"Parity\"=\"3\"\n\"Result FileName\"=\"Z:\\\\tmp\\\\with blank.txt\"\n"
                "\"Run at Startup\"=\"True\"\n\"Stopbits\"=\"2\"\n\"Window Height\"=\"6543.25\"\n"
                "\"Test 1\"=\"False\"\n\"Test 2\"=\"True\"\n\"Test 3\"=\"False\"\n"
                "\"Test 4\"=\"True\"\n\"Test 5\"=\"False\"\n");
  Settings expected = saved;
  expected.SingleBytes = 100;  // never written: what the loaded object held stands
  expected.TestTimeout = 2000;
  expected.ResultFileName = "Z:\\tmp\\with blank.txt";
  Settings loaded;
  LoadSettings(registry, loaded);
  EXPECT_EQ(Fields(loaded), Fields(expected));
}

// One value stored by hand, loaded: through the conversions where the program would accept it;
// otherwise the default stays in place and the value is noted with its text (refused: the
// range it would have to be in; unread: too long to read). Saving, unless the field was changed
// since, leaves a refused value stored as it was.
TEST(SettingsStoreTest, HandStoredValuesLoadThroughTheConversionsOrAreRefusedAndKeptStored) {
  struct Case {
    const char* name;
    std::string stored, loaded;
    std::string refused = {}, unread = {};
  };
  const Case cases[] = {
      {"Baudrate", "40000.5", "40000"},
      {"Handshake Delay", "  3.5", "4"},
      {"Comport", "3x", "3"},
      {"Max Duration", "32767", "32767"},
      {"Test Timeout", "40000", "40000"},
      {"Test 1", "false", "F"},
      {"Run at Startup", "-1", "T"},
      {"Result FileName", std::string(254, 'p'), std::string(254, 'p')},
      {"Result FileName", std::string(255, 'p'), "C:\\RS-232_Result.Txt", "",
       "Result FileName 255"},
      {"Window Height", "7000.5", "7000.500000"},
      {"Window Height", "1000000", "1000000.000000"},
      {"Window Height", "1000000.2", "none"},
      {"Window Height", "0", "none"},
      {"Baudrate", "49", "38400", "50 to 4000000"},
      {"Baudrate", "50", "50"},
      {"Baudrate", "4000000", "4000000"},
      {"Baudrate", "4000001", "38400", "50 to 4000000"},
      {"Bits", "6", "8", "7 or 8"},
      {"Stopbits", "3x", "1", "1 or 2"},
      {"Parity", "", "1", "1 to 3"},
      {"Parity", "4", "1", "1 to 3"},
      {"Comport", "0", "1", "1 to 32"},
      {"Comport", "33", "1", "1 to 32"},
      {"Comport", "32768", "1", "1 to 32"},
      {"Comport", "32", "32"},
      {"Handshake Delay", "-1", "50", "0 to 32767"},
      {"Max Duration", "-32768", "2000", "0 to 32767"},
      {"Single Bytes", "0", "100", "1 to 32767"},
      {"Single Bytes", "32767", "32767"},
      {"Test Timeout", "2147483647", "2147483647"},
      {"Test Timeout", "2147483648", "2000", "0 to 2147483647"},
      {"Test 5", "maybe", "T", "True, False or a number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " = \"" + c.stored.substr(0, 20) + "\"");
    TempRegistry temp;
    const std::string stored_line = "\"" + std::string(c.name) + "\"=\"" + c.stored + "\"\n";
    temp.WriteHiveText("REGEDIT4\n\n" + kKeyLine + stored_line);
    CRegistry registry;
    Settings settings;
    LoadSettings(registry, settings);
    std::map<std::string, std::string> expected = Fields(Settings{});
    expected[c.name] = c.loaded;
    if (!c.unread.empty()) expected["unread"] = c.unread;
    if (!c.refused.empty())
      expected["refused"] = std::string(c.name) + " \"" + c.stored + "\" (" + c.refused + ")";
    EXPECT_EQ(Fields(settings), expected);
    SaveSettings(registry, settings);
    if (!c.refused.empty()) {
      EXPECT_NE(temp.HiveText().find(stored_line), std::string::npos) << temp.HiveText();
    }
  }

  // Changed since loading, the field is saved like any other.
  TempRegistry temp;
  temp.WriteHiveText("REGEDIT4\n\n" + kKeyLine + "\"Baudrate\"=\"1\"\n");
  CRegistry registry;
  Settings settings;
  LoadSettings(registry, settings);
  settings.BaudRate = 9600;
  SaveSettings(registry, settings);
  EXPECT_NE(temp.HiveText().find("\"Baudrate\"=\"9600\"\n"), std::string::npos);
}

// The exit save is one hive write: a save killed at any moment leaves the settings of one save
// or of the other, never some of each, and the lock dies with the writer.
TEST(SettingsStoreTest, ASaveKilledAtAnyMomentLeavesOneWholeSetOfSettings) {
  TempRegistry temp;
  // The first and the last value written differ between the two.
  Settings first, second;
  first.BaudRate = 300;
  first.TestSelected[5] = false;
  second.BaudRate = 600;
  // The settings now stored: 1 for all of the first save, 2 for all of the second, 0 for a mix.
  auto stored_set = [] {
    CRegistry reader;
    Settings s;
    LoadSettings(reader, s);
    return s.BaudRate == 300 && !s.TestSelected[5]  ? 1
           : s.BaudRate == 600 && s.TestSelected[5] ? 2
                                                    : 0;
  };
  for (int kill = 0; kill < 60; ++kill) {
    CRegistry registry;
    SaveSettings(registry, first);  // the lock died with the last writer
    const pid_t child = ::fork();
    if (child == 0) {
      for (int n = 0;; ++n) SaveSettings(registry, n % 2 == 0 ? second : first);
    }
    // After the writer's first save, at a different moment of a later one each time.
    while (stored_set() != 2) ::usleep(100);
    ::usleep(static_cast<useconds_t>((kill * 997) % 3000));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_NE(stored_set(), 0) << "after kill " << kill << ":\n" << temp.HiveText();
  }
}

// Each row plants one fault in the registry, then runs the start-up's loading and the exit's
// saving: a failure is a RegistryError whose detail names the cause, and a hive that failed is
// left as it was.
TEST(SettingsStoreTest, EachRegistryFaultGivesItsOutcome) {
  const std::string good = "REGEDIT4\n\n" + kKeyLine + "\"Baudrate\"=\"9600\"\n";
  const std::string corrupt = good + "\"Bits\"=\"8\n";
  const std::string huge = good + ";" + std::string(16777217 - good.size() - 2, 'x') + "\n";
  const std::string too_long = "\"Bits\"=\"" + std::string(300, '7') + "\"\n";
  const struct {
    const char* fault;
    std::string hive;              // none: a FIFO
    std::string load, save, left;  // the outcomes or the start of their errors; part of the hive
    bool lock_is_a_folder = false;
    bool other_writer = false;  // another process writes between loading and saving
  } rows[] = {
      {"corrupt hive", corrupt,
       "error: HKEY_LOCAL_MACHINE.reg line 5: value text: missing closing quote",
       "error: HKEY_LOCAL_MACHINE.reg line 5", corrupt},
      {"hive is a FIFO", "", "error: cannot read", "error: cannot read", ""},
      {"hive one byte over 16 MiB", huge, "error: cannot read", "error: cannot read", huge},
      {"lock path unusable", good, "ok", "error: cannot open", good, true},
      {"blank hive file", " \r\n\n\t\n", "ok", "ok", kKeyLine},
      {"value too long to read", "REGEDIT4\n\n" + kKeyLine + too_long, "ok", "ok",
       too_long + "\"Baudrate\""},
      {"another writer", good, "ok", "ok", "\"Baudrate\"=\"9600\"\n\"Other\"=\"kept\"\n", false,
       true},
  };
  auto outcome = [](const std::function<void()>& operation) -> std::string {
    try {
      operation();
      return "ok";
    } catch (const serivane::settings::RegistryError& error) {
      return "error: " + error.reason();
    }
  };
  ::alarm(120);  // opening a FIFO that blocks would hang here: end the test instead
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    TempRegistry temp;
    temp.WriteHiveText(row.hive);
    if (row.hive.empty()) {
      fs::remove(temp.Hive());
      ASSERT_EQ(::mkfifo(temp.Hive().c_str(), 0600), 0);
    }
    if (row.lock_is_a_folder) fs::create_directories(temp.Hive().string() + ".lock");
    CRegistry registry;
    Settings settings;
    const std::string load = outcome([&] { LoadSettings(registry, settings); });
    EXPECT_EQ(load.rfind(row.load, 0), 0u) << load;
    if (row.other_writer) {
      CRegistry other;
      other.OpenKey(serivane::settings::kHKeyLocalMachine, "Software\\Balvoric\\RS-232 Serivane");
      other.WriteValue("Other", "kept");
    }
    const std::string save = outcome([&] { SaveSettings(registry, settings); });
    EXPECT_EQ(save.rfind(row.save, 0), 0u) << save;
    EXPECT_TRUE(row.hive.empty() ? fs::is_fifo(temp.Hive())
                                 : temp.HiveText().find(row.left) != std::string::npos);
  }
  ::alarm(0);
}

}  // namespace
