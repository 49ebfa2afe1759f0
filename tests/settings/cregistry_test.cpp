#include "settings/cregistry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>

#include "tests/settings/temp_registry.h"

using serivane::settings::CRegistry;
using serivane::settings::kHKeyCurrentUser;
using serivane::settings::kHKeyLocalMachine;
using serivane::settings::RegDateTime;
using serivane::settings::RegistryError;

namespace {

struct Raised {
  bool raised = false;
  std::int32_t number = 0;
  std::string source, description;
};

Raised Catch(const std::function<void()>& call) {
  try {
    call();
  } catch (const RegistryError& error) {
    return {true, error.number(), error.source(), error.description()};
  }
  return {};
}

void ExpectRaises(const std::function<void()>& call, const std::string& source,
                  const std::string& description) {
  const Raised raised = Catch(call);
  ASSERT_TRUE(raised.raised) << "nothing raised; wanted " << description;
  EXPECT_EQ(raised.number, -2147221502);
  EXPECT_EQ(raised.source, source);
  EXPECT_EQ(raised.description, description);
}

class CRegistryTest : public ::testing::Test {
 protected:
  TempRegistry temp;
  CRegistry reg;
};

TEST_F(CRegistryTest, PathsAreNormalisedBeforeUse) {
  struct Case {
    const char* given;
    const char* current;  // nullptr: the key cannot be made
    const char* error;
  };
  const Case cases[] = {
      {"\\Software/A/B", "Software\\A\\B", nullptr},
      {"Software/Balvoric\\C", "Software\\Balvoric\\C", nullptr},
      {"\\\\Software\\D", nullptr, "Failed to create key \\Software\\D."},  // one "\" removed
      // The leading "\" goes before "/" turns into "\", so a leading "/" stays.
      {"/Software/G", nullptr, "Failed to create key \\Software\\G."},
      {"Software//E", nullptr, "Failed to create key Software\\\\E."},
      {"Software\\F\\", nullptr, "Failed to create key Software\\F\\."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    if (c.current != nullptr) {
      reg.OpenKey(kHKeyLocalMachine, c.given, true);
      EXPECT_EQ(reg.CurrentKey(), c.current);
      CRegistry again;
      again.OpenKey(kHKeyLocalMachine, c.current);
      EXPECT_EQ(again.CurrentKey(), c.current);
    } else {
      ExpectRaises([&] { reg.OpenKey(kHKeyLocalMachine, c.given, true); }, "CRegistry:OpenKey",
                   c.error);
      EXPECT_EQ(reg.CurrentKey(), "");
    }
  }
}

TEST_F(CRegistryTest, OpenKeyClosesThePreviousKeyEvenWhenTheNewOneFails) {
  reg.OpenKey(kHKeyLocalMachine, "Software\\Here", true);
  reg.WriteValue("v", "1");
  ExpectRaises([&] { reg.OpenKey(kHKeyLocalMachine, "Software\\Missing"); }, "CRegistry:OpenKey",
               "Failed to open key Software\\Missing.");
  EXPECT_EQ(reg.CurrentKey(), "");
  ExpectRaises([&] { reg.ReadValue("v"); }, "CRegistry:ReadValue", "No key is currently open.");
  // Opening without blnCreateNew made nothing.
  ExpectRaises([&] { reg.OpenKey(kHKeyLocalMachine, "Software\\Missing"); }, "CRegistry:OpenKey",
               "Failed to open key Software\\Missing.");
}

TEST_F(CRegistryTest, CreatingMakesMissingParentsAndKeepsNamesAsFirstWritten) {
  reg.OpenKey(kHKeyLocalMachine, "Software\\Balvoric\\Deep\\Key", true);
  reg.WriteValue("Name", "first");
  reg.OpenKey(kHKeyLocalMachine, "SOFTWARE\\balvoric", false);
  EXPECT_EQ(reg.NumOfSubKeys(), 1);
  EXPECT_EQ(reg.MaxSubkeyNameLength(), 4);
  reg.OpenKey(kHKeyLocalMachine, "software\\BALVORIC\\deep\\KEY", true);
  EXPECT_EQ(reg.CurrentKey(), "software\\BALVORIC\\deep\\KEY");
  EXPECT_EQ(reg.ReadValue("NAME"), "first");
  reg.WriteValue("nAmE", "second");
  EXPECT_EQ(reg.NumOfValues(), 1);
  reg.CloseKey();
  const std::string hive = temp.HiveText();
  EXPECT_NE(hive.find("[HKEY_LOCAL_MACHINE\\Software\\Balvoric\\Deep\\Key]"), std::string::npos)
      << hive;
  EXPECT_NE(hive.find("\"Name\"=\"second\""), std::string::npos) << hive;
  // Roots are separate hives.
  ExpectRaises([&] { reg.OpenKey(kHKeyCurrentUser, "Software\\Balvoric"); }, "CRegistry:OpenKey",
               "Failed to open key Software\\Balvoric.");
}

TEST_F(CRegistryTest, ValueTextsAndTheBufferLimit) {
  reg.OpenKey(kHKeyLocalMachine, "Software\\Values", true);
  struct Case {
    std::string name, written, read;
  };
  const Case cases[] = {
      {"empty", "", " "},
      {"blank", " ", " "},
      {"254", std::string(254, 'x'), std::string(254, 'x')},
      {"", "unnamed", "unnamed"},
      {"odd", "a\"b\\c=[d]\r\ne\x01\xE4\xFC", "a\"b\\c=[d]\r\ne\x01\xE4\xFC"},
  };
  for (const Case& c : cases) reg.WriteValue(c.name, c.written);
  CRegistry other;  // reads what the first wrote, through the file
  other.OpenKey(kHKeyLocalMachine, "\\Software\\Values");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(other.ValueExists(c.name));
    EXPECT_EQ(other.ReadValue(c.name), c.read);
  }
  EXPECT_EQ(other.ReadValue(), "unnamed");
  EXPECT_EQ(other.MaxValueLength(), 255);  // 254 characters and the NUL

  for (const std::size_t length : {255u, 300u}) {
    reg.WriteValue("long", std::string(length, 'y'));
    EXPECT_FALSE(reg.ValueExists("long"));
    ExpectRaises([&] { reg.ReadValue("long"); }, "CRegistry:ReadValue",
                 "Failed to read value long from Registry.");
  }
  EXPECT_FALSE(reg.ValueExists("missing"));
  reg.DeleteValue("long");
  EXPECT_FALSE(reg.ValueExists("long"));
}

TEST_F(CRegistryTest, WithNoKeyOpenEveryOperationFailsButLastWriteTimeAndCloseKey) {
  const std::string info = "Failed to retrieve key information.";
  const std::string none = "No key is currently open.";
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "new object" : "after CloseKey");
    ExpectRaises([&] { reg.ReadValue("a"); }, "CRegistry:ReadValue", none);
    ExpectRaises([&] { reg.ValueExists("a"); }, "CRegistry:ReadValue", none);
    ExpectRaises([&] { reg.WriteValue("a", "b"); }, "CRegistry:WriteValue", none);
    ExpectRaises([&] { reg.WriteValue("a", ""); }, "CRegistry:WriteValue", none);
    ExpectRaises([&] { reg.DeleteValue("a"); }, "CRegistry:DeleteValue", none);
    ExpectRaises([&] { reg.KeyClass(); }, "CRegistry:RefreshKeyInfo", info);
    ExpectRaises([&] { reg.NumOfSubKeys(); }, "CRegistry:RefreshKeyInfo", info);
    ExpectRaises([&] { reg.MaxSubkeyNameLength(); }, "CRegistry:RefreshKeyInfo", info);
    ExpectRaises([&] { reg.MaxClassNameLength(); }, "CRegistry:RefreshKeyInfo", info);
    ExpectRaises([&] { reg.NumOfValues(); }, "CRegistry:RefreshKeyInfo", info);
    ExpectRaises([&] { reg.MaxValueNameLength(); }, "CRegistry:RefreshKeyInfo", info);
    ExpectRaises([&] { reg.MaxValueLength(); }, "CRegistry:RefreshKeyInfo", info);
    ExpectRaises([&] { reg.SecurityDescriptor(); }, "CRegistry:RefreshKeyInfo", info);
    EXPECT_FALSE(Catch([&] { reg.LastWriteTime(); }).raised);
    EXPECT_FALSE(Catch([&] { reg.CloseKey(); }).raised);
    ExpectRaises([&] { reg.DeleteKey(); }, "CRegistry:DeleteKey", "Failed to delete key .");
    reg.OpenKey(kHKeyLocalMachine, "Software\\Open", true);
    reg.CloseKey();
  }
  EXPECT_EQ(reg.LastWriteTime(), (RegDateTime{1601, 1, 1, 0, 0, 0}));
}

TEST_F(CRegistryTest, DeleteKeyLeavesNoKeyOpenWhetherOrNotItDeleted) {
  reg.OpenKey(kHKeyLocalMachine, "Software\\Parent\\Child", true);
  reg.OpenKey(kHKeyLocalMachine, "Software\\Parent");
  ExpectRaises([&] { reg.DeleteKey(); }, "CRegistry:DeleteKey",
               "Failed to delete key Software\\Parent.");  // it has a subkey
  EXPECT_EQ(reg.CurrentKey(), "");
  ExpectRaises([&] { reg.ReadValue(); }, "CRegistry:ReadValue", "No key is currently open.");

  reg.OpenKey(kHKeyLocalMachine, "\\Software/Parent/Child");
  reg.DeleteKey();
  EXPECT_EQ(reg.CurrentKey(), "");
  ExpectRaises([&] { reg.OpenKey(kHKeyLocalMachine, "Software\\Parent\\Child"); },
               "CRegistry:OpenKey", "Failed to open key Software\\Parent\\Child.");
  reg.OpenKey(kHKeyLocalMachine, "Software\\Parent");
  EXPECT_EQ(reg.NumOfSubKeys(), 0);
  reg.DeleteKey();  // now empty, so it goes
  ExpectRaises([&] { reg.DeleteKey(); }, "CRegistry:DeleteKey", "Failed to delete key .");
}

TEST_F(CRegistryTest, AKeyDeletedBySomeoneElseFailsCleanly) {
  reg.OpenKey(kHKeyLocalMachine, "Software\\Shared", true);
  reg.WriteValue("kept", "1");
  const std::int32_t before = reg.NumOfValues();
  CRegistry other;
  other.OpenKey(kHKeyLocalMachine, "Software\\Shared");
  other.DeleteKey();

  ExpectRaises([&] { reg.ReadValue("kept"); }, "CRegistry:ReadValue",
               "Failed to read value kept from Registry.");
  EXPECT_FALSE(reg.ValueExists("kept"));
  ExpectRaises([&] { reg.WriteValue("new", "x"); }, "CRegistry:WriteValue",
               "Failed to write new value to new from Registry.");
  ExpectRaises([&] { reg.DeleteValue("kept"); }, "CRegistry:DeleteValue",
               "Failed to delete value kept from Registry.");
  ExpectRaises([&] { reg.NumOfValues(); }, "CRegistry:RefreshKeyInfo",
               "Failed to retrieve key information.");
  EXPECT_EQ(before, 1);
  EXPECT_EQ(reg.CurrentKey(), "Software\\Shared");  // failures leave the state as it was
  // The write failed: it did not bring the key back.
  ExpectRaises([&] { other.OpenKey(kHKeyLocalMachine, "Software\\Shared"); }, "CRegistry:OpenKey",
               "Failed to open key Software\\Shared.");
}

class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (saved_.empty())
      unsetenv("TZ");
    else
      setenv("TZ", saved_.c_str(), 1);
    tzset();
  }

 private:
  std::string saved_;
};

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
  reg.OpenKey(kHKeyLocalMachine, "Software\\Info");
  EXPECT_EQ(reg.KeyClass(), "Klass");
  EXPECT_EQ(reg.NumOfSubKeys(), 2);
  EXPECT_EQ(reg.MaxSubkeyNameLength(), 10);
  EXPECT_EQ(reg.MaxClassNameLength(), 9);
  EXPECT_EQ(reg.NumOfValues(), 2);
  EXPECT_EQ(reg.MaxValueNameLength(), 12);
  EXPECT_EQ(reg.MaxValueLength(), 9);
  EXPECT_EQ(reg.SecurityDescriptor(), 20);
  {
    ZoneGuard zone("UTC0");
    EXPECT_EQ(reg.LastWriteTime(), (RegDateTime{2020, 2, 29, 23, 14, 15}));
  }
  {
    ZoneGuard zone("XYZ-2");  // two hours east of Greenwich: the date moves on
    EXPECT_EQ(reg.LastWriteTime(), (RegDateTime{2020, 3, 1, 1, 14, 15}));
    // A key deleted elsewhere: the query fails quietly and the last time stands.
    temp.WriteHiveText("REGEDIT4\n");
    EXPECT_EQ(reg.LastWriteTime(), (RegDateTime{2020, 3, 1, 1, 14, 15}));
  }
}

TEST_F(CRegistryTest, WritingStampsTheKeyWithTheTimeNow) {
  ZoneGuard zone("UTC0");
  reg.OpenKey(kHKeyLocalMachine, "Software\\Stamp", true);
  const std::time_t before = std::time(nullptr);
  reg.WriteValue("a", "b");
  const std::time_t after = std::time(nullptr);
  const RegDateTime stamp = reg.LastWriteTime();
  std::tm tm{};
  tm.tm_year = stamp.year - 1900;
  tm.tm_mon = stamp.month - 1;
  tm.tm_mday = stamp.day;
  tm.tm_hour = stamp.hour;
  tm.tm_min = stamp.minute;
  tm.tm_sec = stamp.second;
  const std::time_t written = timegm(&tm);
  EXPECT_GE(written, before);
  EXPECT_LE(written, after);
}

}  // namespace
