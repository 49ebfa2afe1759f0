#include "settings/cregistry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/settings/temp_registry.h"

using serivane::settings::CRegistry;
using serivane::settings::kHKeyLocalMachine;
using serivane::settings::RegDateTime;
using serivane::settings::RegistryError;

namespace {

class CRegistryTest : public ::testing::Test {
 protected:
  TempRegistry temp;
  CRegistry reg;
};

TEST_F(CRegistryTest, KeysAreMadeWithTheirParentsAndKeepTheirFirstNames) {
  reg.OpenKey(kHKeyLocalMachine, "\\Software/Balvoric\\Deep/Key", true);
  EXPECT_EQ(reg.CurrentKey(), "Software\\Balvoric\\Deep\\Key");
  reg.WriteValue("Name", "first");
  reg.OpenKey(kHKeyLocalMachine, "software\\BALVORIC\\deep\\KEY");
  reg.WriteValue("nAmE", "second");
  const std::string parents =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n;\n\n[HKEY_LOCAL_MACHINE\\Software]\n;\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Balvoric]\n;\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Balvoric\\Deep]\n;\n";
  EXPECT_EQ(
      temp.HiveShape(),
      parents + "\n[HKEY_LOCAL_MACHINE\\Software\\Balvoric\\Deep\\Key]\n;\n\"Name\"=\"second\"\n");
  reg.DeleteKey();
  EXPECT_EQ(reg.CurrentKey(), "");
  EXPECT_EQ(temp.HiveShape(), parents);
  // Only one leading "\" goes.
  EXPECT_THROW(reg.OpenKey(kHKeyLocalMachine, "\\\\Software", true), RegistryError);
}

TEST_F(CRegistryTest, TextsReadBackUpTo254Characters) {
  reg.OpenKey(kHKeyLocalMachine, "Software\\Values", true);
  reg.WriteValue("empty", "");
  reg.WriteValue("254", std::string(254, 'x'));
  reg.WriteValue("", "unnamed");
  reg.WriteValue("255", std::string(255, 'y'));
  CRegistry other;
  other.OpenKey(kHKeyLocalMachine, "Software\\Values");
  EXPECT_EQ(other.ReadValue("empty"), " ");
  EXPECT_EQ(other.ReadValue("254"), std::string(254, 'x'));
  EXPECT_EQ(other.ReadValue(), "unnamed");
  EXPECT_TRUE(other.ValueExists("254"));
  EXPECT_FALSE(other.ValueExists("255"));
  EXPECT_EQ(other.ValueSize("255"), 256u);
  EXPECT_EQ(other.ValueSize("none"), std::nullopt);
  EXPECT_THROW(other.ReadValue("255"), RegistryError);
  other.DeleteValue("254");
  EXPECT_FALSE(reg.ValueExists("254"));
}

// A missing key or value is told apart from a registry that cannot be read.
TEST_F(CRegistryTest, FailuresSayWhetherSomethingIsMissingOrTheRegistryUnreadable) {
  using Kind = RegistryError::Kind;
  auto kind_of = [](const std::function<void()>& call) -> std::optional<Kind> {
    try {
      call();
    } catch (const RegistryError& error) {
      return error.kind();
    }
    return std::nullopt;
  };
  reg.OpenKey(kHKeyLocalMachine, "Software\\Parent\\Child", true);
  CRegistry parent;
  parent.OpenKey(kHKeyLocalMachine, "Software\\Parent");
  EXPECT_EQ(kind_of([&] { CRegistry().OpenKey(kHKeyLocalMachine, "Software\\None"); }),
            Kind::kMissing);
  EXPECT_EQ(kind_of([&] { reg.ReadValue("none"); }), Kind::kMissing);
  EXPECT_EQ(kind_of([&] { reg.DeleteValue("none"); }), Kind::kMissing);
  EXPECT_EQ(kind_of([&] { parent.DeleteKey(); }), Kind::kOther);  // it has a subkey
  EXPECT_EQ(kind_of([&] { CRegistry().WriteValue("a", "b"); }), Kind::kOther);
  CRegistry gone;
  gone.OpenKey(kHKeyLocalMachine, "Software\\Parent\\Child");
  reg.DeleteKey();
  EXPECT_EQ(kind_of([&] { gone.WriteValue("a", "b"); }), Kind::kMissing);
  parent.OpenKey(kHKeyLocalMachine, "Software");
  temp.WriteHiveText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\n");
  EXPECT_EQ(kind_of([&] { parent.ReadValue("a"); }), Kind::kUnreadable);
  EXPECT_EQ(kind_of([&] { CRegistry().OpenKey(kHKeyLocalMachine, "Software", true); }),
            Kind::kUnreadable);
  std::filesystem::remove(temp.Hive());
  std::filesystem::create_directory(temp.Hive());
  EXPECT_EQ(kind_of([&] { CRegistry().OpenKey(kHKeyLocalMachine, "Software"); }),
            Kind::kUnreadable);
}

TEST_F(CRegistryTest, KeyInformationIsReadFromTheStoredTreeWhenAsked) {
  temp.WriteHiveText(
      "REGEDIT4\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Info]\n"
      ";last-write=2020-02-29T23:14:15.9990000Z class=\"Klass\"\n"
      "\"Longest Name\"=\"abc\"\n"
      "\"x\"=\"abcdefgh\"\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Info\\Sub]\n"
      ";last-write=2020-01-01T00:00:00.0000000Z class=\"Sub class\"\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Info\\Longer sub]\n");
  setenv("TZ", "XYZ-2", 1);  // two hours east of Greenwich: the date moves on
  tzset();

  EXPECT_EQ(reg.LastWriteTime(), (RegDateTime{1601, 1, 1, 0, 0, 0}));
  reg.OpenKey(kHKeyLocalMachine, "Software\\Info");
  EXPECT_EQ(reg.KeyClass(), "Klass");
  EXPECT_EQ((std::vector<std::int32_t>{reg.NumOfSubKeys(), reg.MaxSubkeyNameLength(),
                                       reg.MaxClassNameLength(), reg.NumOfValues(),
                                       reg.MaxValueNameLength(), reg.MaxValueLength(),
                                       reg.SecurityDescriptor()}),
            (std::vector<std::int32_t>{2, 10, 9, 2, 12, 9, 20}));
  EXPECT_EQ(reg.LastWriteTime(), (RegDateTime{2020, 3, 1, 1, 14, 15}));
  CRegistry other;
  other.OpenKey(kHKeyLocalMachine, "Software\\Info");
  other.WriteValue("a", std::string(20, 'b'));  // stamped with the time now
  EXPECT_EQ(reg.NumOfValues(), 3);
  EXPECT_EQ(reg.MaxValueLength(), 21);
  const RegDateTime stamp = reg.LastWriteTime();
  EXPECT_GT(stamp.year, 2020);
  temp.WriteHiveText("REGEDIT4\n");  // deleted elsewhere: the last time known stands
  EXPECT_EQ(reg.LastWriteTime(), stamp);
  EXPECT_THROW(reg.NumOfValues(), RegistryError);
}

}  // namespace
