#include "settings/cregistry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "tests/settings/temp_registry.h"

using serivane::settings::CRegistry;
using serivane::settings::kHKeyCurrentUser;
using serivane::settings::kHKeyLocalMachine;
using serivane::settings::RegDateTime;
using serivane::settings::RegistryError;

namespace {

void ExpectRaises(const std::function<void()>& call, const std::string& source,
                  const std::string& description) {
  try {
    call();
    ADD_FAILURE() << "nothing raised; wanted " << description;
  } catch (const RegistryError& error) {
    EXPECT_EQ(error.number(), -2147221502);
    EXPECT_EQ(error.source(), source);
    EXPECT_EQ(error.description(), description);
  }
}

// Deletes the key `registry` has open, through another object.
void Vanish(CRegistry& registry) {
  CRegistry other;
  other.OpenKey(kHKeyLocalMachine, registry.CurrentKey());
  other.DeleteKey();
}

// The key queries that answer a number.
constexpr std::int32_t (CRegistry::*kQueries[])() = {
    &CRegistry::NumOfSubKeys,      &CRegistry::MaxSubkeyNameLength, &CRegistry::MaxClassNameLength,
    &CRegistry::NumOfValues,       &CRegistry::MaxValueNameLength,  &CRegistry::MaxValueLength,
    &CRegistry::SecurityDescriptor};

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
}

TEST_F(CRegistryTest, TextsReadBackThroughTheFileUpTo254Characters) {
  reg.OpenKey(kHKeyLocalMachine, "Software\\Values", true);
  const std::pair<std::string, std::string> cases[] = {
      {"empty", ""},
      {"254", std::string(254, 'x')},
      {"", "unnamed"},
      {"odd", "a\"b\\c=[d]\r\ne\x01\xE4\xFC"},
  };
  for (const auto& [name, text] : cases) reg.WriteValue(name, text);
  CRegistry other;
  other.OpenKey(kHKeyLocalMachine, "Software\\Values");
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(other.ValueExists(name));
    EXPECT_EQ(other.ReadValue(name), text.empty() ? " " : text);
  }
  EXPECT_EQ(other.ReadValue(), "unnamed");
  EXPECT_EQ(other.MaxValueLength(), 255);  // 254 characters and the NUL
  reg.WriteValue("long", std::string(255, 'y'));
  EXPECT_FALSE(reg.ValueExists("long"));
  ExpectRaises([&] { reg.ReadValue("long"); }, "CRegistry:ReadValue",
               "Failed to read value long from Registry.");
  reg.DeleteValue("odd");
  EXPECT_FALSE(reg.ValueExists("odd"));
}

TEST_F(CRegistryTest, EveryFailureRaisesItsSourceAndTextButLastWriteTimeNever) {
  struct Failure {
    const char* open;  // the key open before the call; after it only "gone" stays open
    std::function<void(CRegistry&)> call;
    const char* source;
    std::string description;
  };
  const std::string none = "No key is currently open.";
  const std::string info = "Failed to retrieve key information.";
  const char *read = "CRegistry:ReadValue", *refresh = "CRegistry:RefreshKeyInfo",
             *open = "CRegistry:OpenKey", *parent = "Software\\Parent", *gone = "Software\\Gone";
  reg.OpenKey(kHKeyLocalMachine, "Software\\Parent\\Child", true);
  const Failure failures[] = {
      {nullptr, [](CRegistry& r) { r.ReadValue("a"); }, read, none},
      {nullptr, [](CRegistry& r) { r.ValueExists("a"); }, read, none},
      {nullptr, [](CRegistry& r) { r.WriteValue("a", ""); }, "CRegistry:WriteValue", none},
      {nullptr, [](CRegistry& r) { r.DeleteValue("a"); }, "CRegistry:DeleteValue", none},
      {nullptr, [](CRegistry& r) { r.DeleteKey(); }, "CRegistry:DeleteKey",
       "Failed to delete key ."},
      {parent, [](CRegistry& r) { r.CloseKey(), r.ReadValue(); }, read, none},
      {nullptr, [](CRegistry& r) { r.KeyClass(); }, refresh, info},
      {parent, [](CRegistry& r) { r.DeleteKey(); }, "CRegistry:DeleteKey",
       "Failed to delete key Software\\Parent."},  // it has a subkey
      {parent, [](CRegistry& r) { r.OpenKey(kHKeyLocalMachine, "Software\\Missing"); }, open,
       "Failed to open key Software\\Missing."},
      {parent, [](CRegistry& r) { r.OpenKey(kHKeyCurrentUser, "Software\\Parent"); }, open,
       "Failed to open key Software\\Parent."},
      // Only one leading "\" goes, and it goes before "/" turns into "\".
      {parent, [](CRegistry& r) { r.OpenKey(kHKeyLocalMachine, "\\\\Software\\D", true); }, open,
       "Failed to create key \\Software\\D."},
      {parent, [](CRegistry& r) { r.OpenKey(kHKeyLocalMachine, "/Software/G", true); }, open,
       "Failed to create key \\Software\\G."},
      {gone, [](CRegistry& r) { Vanish(r), r.DeleteValue("v"); }, "CRegistry:DeleteValue",
       "Failed to delete value v from Registry."},
      // Last, so that the check below sees the failed write did not bring the key back.
      {gone, [](CRegistry& r) { Vanish(r), r.WriteValue("new", "x"); }, "CRegistry:WriteValue",
       "Failed to write new value to new from Registry."},
  };
  for (std::size_t i = 0; i < std::size(failures); ++i) {
    const Failure& f = failures[i];
    SCOPED_TRACE("row " + std::to_string(i) + ": " + f.description);
    CRegistry r;
    if (f.open != nullptr) r.OpenKey(kHKeyLocalMachine, f.open, true);
    ExpectRaises([&] { f.call(r); }, f.source, f.description);
    EXPECT_EQ(r.CurrentKey(), f.open == gone ? gone : "");
    if (f.open != gone) ExpectRaises([&] { r.ValueExists("v"); }, read, none);
    EXPECT_NO_THROW(r.LastWriteTime());
  }
  for (const auto query : kQueries) ExpectRaises([&] { (CRegistry().*query)(); }, refresh, info);
  for (const char* never_made : {"Software\\Missing", gone})
    EXPECT_THROW(reg.OpenKey(kHKeyLocalMachine, never_made), RegistryError) << never_made;
  EXPECT_EQ(CRegistry().LastWriteTime(), (RegDateTime{1601, 1, 1, 0, 0, 0}));
}

TEST_F(CRegistryTest, KeyInformationComesFromTheStoredTree) {
  temp.WriteHiveText(
      "REGEDIT4\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Info]\n"
      ";last-write=2020-02-29T23:14:15.9990000Z class=\"Klass\"\n"
      "\"Longest Name\"=\"abc\"\n"
      "\"x\"=\"abcdefgh\"\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Info\\Sub]\n"
      ";last-write=2020-01-01T00:00:00.0000000Z class=\"Sub class\"\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Info\\Longer sub]\n");
  const std::string saved_zone = std::getenv("TZ") ? std::getenv("TZ") : "";
  setenv("TZ", "XYZ-2", 1);  // two hours east of Greenwich: the date moves on
  tzset();

  reg.OpenKey(kHKeyLocalMachine, "Software\\Info");
  EXPECT_EQ(reg.KeyClass(), "Klass");
  std::vector<std::int32_t> answers;
  for (const auto query : kQueries) answers.push_back((reg.*query)());
  EXPECT_EQ(answers, (std::vector<std::int32_t>{2, 10, 9, 2, 12, 9, 20}));
  EXPECT_EQ(reg.LastWriteTime(), (RegDateTime{2020, 3, 1, 1, 14, 15}));
  reg.WriteValue("a", "b");  // stamped with the time now
  const RegDateTime stamp = reg.LastWriteTime();
  EXPECT_GT(stamp.year, 2020);
  temp.WriteHiveText("REGEDIT4\n");  // deleted elsewhere: the last time known stands
  EXPECT_EQ(reg.LastWriteTime(), stamp);
  saved_zone.empty() ? unsetenv("TZ") : setenv("TZ", saved_zone.c_str(), 1);
  tzset();
}

}  // namespace
