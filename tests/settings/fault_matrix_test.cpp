// What the settings survive: each row plants one fault in the registry, then runs the start-up's
// loading and the exit's saving and states what each must do. A failure is a RegistryError whose
// detail names the cause; a hive that failed is left byte for byte (or node for node) as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "settings/registry_store.h"
#include "settings/settings_store.h"
#include "tests/settings/temp_registry.h"

namespace reg = serivane::settings;
namespace fs = std::filesystem;

namespace {

const std::string kKey = "[HKEY_LOCAL_MACHINE\\Software\\Balvoric\\RS-232 Serivane]\n";

// "ok", or "error: " and the registry's detail.
std::string Outcome(const std::function<void()>& operation) {
  try {
    operation();
    return "ok";
  } catch (const reg::RegistryError&) {
    return "error: " + reg::RegLastErrorDetail();
  }
}

struct Row {
  const char* fault;
  std::function<void(TempRegistry&)> plant;
  std::string load, save;  // expected outcome; an error need only begin with the text given
  std::function<void(TempRegistry&)> after;  // checks what is left
  std::function<void()> between = nullptr;   // runs between loading and saving
};

void ExpectOutcome(const std::string& actual, const std::string& expected) {
  if (expected == "ok")
    EXPECT_EQ(actual, "ok");
  else
    EXPECT_NE(actual.find(expected), std::string::npos) << actual;
}

TEST(SettingsFaultMatrix, EachFaultGivesItsOutcome) {
  const std::string good = "REGEDIT4\n\n" + kKey + "\"Baudrate\"=\"9600\"\n";
  const std::string long_path(280, 'x');
  auto hive_unchanged = [](const std::string& text) {
    return [text](TempRegistry& temp) { EXPECT_EQ(temp.HiveText(), text); };
  };
  const Row rows[] = {
      {"corrupt hive", [&](TempRegistry& t) { t.WriteHiveText(good + "\"Bits\"=\"8\n"); },
       "error: HKEY_LOCAL_MACHINE.reg line 5: value text: missing closing quote",
       "error: HKEY_LOCAL_MACHINE.reg line 5", hive_unchanged(good + "\"Bits\"=\"8\n")},
      {"hive is a FIFO",
       [](TempRegistry& t) {
         fs::create_directories(t.Hive().parent_path());
         ASSERT_EQ(::mkfifo(t.Hive().c_str(), 0600), 0);
       },
       "error: cannot read", "error: cannot read",
       [](TempRegistry& t) { EXPECT_TRUE(fs::is_fifo(t.Hive())); }},
      {"hive is a directory", [](TempRegistry& t) { fs::create_directories(t.Hive()); },
       "error: cannot read", "error: cannot read",
       [](TempRegistry& t) { EXPECT_TRUE(fs::is_directory(t.Hive())); }},
      {"hive over 16 MiB",
       [&](TempRegistry& t) {
         // One byte over: 16 MiB is 16,777,216 bytes.
         t.WriteHiveText(good + ";" + std::string(16777217 - good.size() - 2, 'x') + "\n");
       },
       "error: cannot read", "error: cannot read",
       [](TempRegistry& t) { EXPECT_EQ(fs::file_size(t.Hive()), 16777217u); }},
      {"key 513 levels deep",
       [](TempRegistry& t) {
         std::string deep = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE";
         for (int i = 0; i < 513; ++i) deep += "\\k";
         t.WriteHiveText(deep + "]\n");
       },
       "error: HKEY_LOCAL_MACHINE.reg line 3: a key is nested more than 512 levels deep",
       "error: HKEY_LOCAL_MACHINE.reg line 3", nullptr},
      {"lock path unusable",
       [&](TempRegistry& t) {
         t.WriteHiveText(good);
         fs::create_directories(t.Hive().string() + ".lock");
       },
       "ok", "error: cannot open", hive_unchanged(good)},
      {"value too long to read",
       [&](TempRegistry& t) {
         t.WriteHiveText(good + "\"Result FileName\"=\"" + long_path + "\"\n");
       },
       "ok", "ok",
       [&](TempRegistry& t) {
         EXPECT_NE(t.HiveText().find("\"Result FileName\"=\"" + long_path + "\"\n"),
                   std::string::npos);
         EXPECT_NE(t.HiveText().find("\"Test 5\"=\"True\""), std::string::npos);
       }},
      {"stale .new of a killed writer",
       [&](TempRegistry& t) {
         t.WriteHiveText(good);
         std::ofstream(t.Hive().string() + ".new") << "REGEDIT4\n\n" << kKey << "\"Baud";
       },
       "ok", "ok",
       [](TempRegistry& t) {
         EXPECT_FALSE(fs::exists(t.Hive().string() + ".new"));
         EXPECT_NE(t.HiveText().find("\"Baudrate\"=\"9600\""), std::string::npos);
       }},
      {"another writer between loading and saving", [&](TempRegistry& t) { t.WriteHiveText(good); },
       "ok", "ok",
       [](TempRegistry& t) {
         EXPECT_NE(t.HiveText().find("\"Other\"=\"kept\"\n"), std::string::npos);
         EXPECT_NE(t.HiveText().find("\"Baudrate\"=\"9600\"\n"), std::string::npos);
       },
       [] {
         reg::CRegistry other;
         other.OpenKey(reg::kHKeyLocalMachine, "Software\\Balvoric\\RS-232 Serivane");
         other.WriteValue("Other", "kept");
       }},
  };
  // Opening a FIFO that blocks would hang here: end the test instead.
  ::alarm(120);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fault);
    TempRegistry temp;
    row.plant(temp);
    reg::CRegistry registry;
    reg::Settings settings;
    ExpectOutcome(Outcome([&] { reg::LoadSettings(registry, settings); }), row.load);
    if (row.between) row.between();
    ExpectOutcome(Outcome([&] { reg::SaveSettings(registry, settings); }), row.save);
    if (row.after) row.after(temp);
  }
  ::alarm(0);
}

}  // namespace
