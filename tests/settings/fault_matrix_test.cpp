// What the settings survive: each row plants one fault in the registry, then runs the start-up's
// loading and the exit's saving and states what each must do. A failure is a RegistryError whose
// detail names the cause; a hive that failed is left as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "settings/registry_store.h"
#include "settings/settings_store.h"
#include "tests/settings/temp_registry.h"

namespace reg = serivane::settings;
namespace fs = std::filesystem;

namespace {

// "ok", or "error: " and the registry's detail.
std::string Outcome(const std::function<void()>& operation) {
  try {
    operation();
    return "ok";
  } catch (const reg::RegistryError&) {
    return "error: " + reg::RegLastErrorDetail();
  }
}

TEST(SettingsFaultMatrix, EachFaultGivesItsOutcome) {
  const std::string good =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Balvoric\\RS-232 "
      "Serivane]\n\"Baudrate\"=\"9600\"\n";
  const std::string over_16_mib = good + ";" + std::string(16777217 - good.size() - 2, 'x') + "\n";
  struct Row {
    const char* fault;
    std::function<void(TempRegistry&)> plant;
    std::string load, save;                    // the outcome, or the start of the error
    std::function<bool(TempRegistry&)> after;  // what is left is as it should be
    std::function<void()> between = nullptr;   // runs between loading and saving
  };
  auto hive_is = [](const std::string& text) {
    return [text](TempRegistry& t) { return t.HiveText() == text; };
  };
  auto holds = [](const std::string& part) {
    return [part](TempRegistry& t) { return t.HiveText().find(part) != std::string::npos; };
  };
  const Row rows[] = {
      {"corrupt hive", [&](TempRegistry& t) { t.WriteHiveText(good + "\"Bits\"=\"8\n"); },
       "error: HKEY_LOCAL_MACHINE.reg line 5: value text: missing closing quote",
       "error: HKEY_LOCAL_MACHINE.reg line 5", hive_is(good + "\"Bits\"=\"8\n")},
      {"hive is a FIFO",
       [](TempRegistry& t) {
         fs::create_directories(t.Hive().parent_path());
         ASSERT_EQ(::mkfifo(t.Hive().c_str(), 0600), 0);
       },
       "error: cannot read", "error: cannot read",
       [](TempRegistry& t) { return fs::is_fifo(t.Hive()); }},
      {"hive one byte over 16 MiB", [&](TempRegistry& t) { t.WriteHiveText(over_16_mib); },
       "error: cannot read", "error: cannot read", hive_is(over_16_mib)},
      {"lock path unusable",
       [&](TempRegistry& t) {
         t.WriteHiveText(good);
         fs::create_directories(t.Hive().string() + ".lock");
       },
       "ok", "error: cannot open", hive_is(good)},
      {"blank hive file", [](TempRegistry& t) { t.WriteHiveText(" \r\n\n\t\n"); }, "ok", "ok",
       holds("\\RS-232 Serivane]\n")},
      {"another writer between loading and saving", [&](TempRegistry& t) { t.WriteHiveText(good); },
       "ok", "ok", holds("\"Baudrate\"=\"9600\"\n\"Other\"=\"kept\"\n"),
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
    const std::string load = Outcome([&] { reg::LoadSettings(registry, settings); });
    EXPECT_EQ(load.rfind(row.load, 0), 0u) << load;
    if (row.between) row.between();
    const std::string save = Outcome([&] { reg::SaveSettings(registry, settings); });
    EXPECT_EQ(save.rfind(row.save, 0), 0u) << save;
    EXPECT_TRUE(row.after(temp));
  }
  ::alarm(0);
}

}  // namespace
