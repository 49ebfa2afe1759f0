#include "settings/cregistry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "settings/hive_format.h"
#include "settings/reg_api.h"
#include "settings/registry_store.h"
#include "tests/settings/temp_registry.h"

namespace reg = serivane::settings;
using reg::CRegistry;
using reg::kHKeyLocalMachine;
using reg::RegistryError;

namespace {

// The kind of the RegistryError `call` throws; none when it returns.
std::optional<RegistryError::Kind> KindOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const RegistryError& error) {
    return error.kind();
  }
  return std::nullopt;
}

class CRegistryTest : public ::testing::Test {
 protected:
  TempRegistry temp;
  CRegistry reg;
};

TEST_F(CRegistryTest, KeysAreMadeWithTheirParentsAndKeepTheirFirstNames) {
  reg.OpenKey(kHKeyLocalMachine, "\\Software/Balvoric\\Deep/Key", true);
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
  EXPECT_THROW(other.ReadValue("255"), RegistryError);
  other.DeleteValue("254");
  EXPECT_FALSE(reg.ValueExists("254"));
}

// A missing key or value is told apart from a refusal.
TEST_F(CRegistryTest, FailuresSayWhetherSomethingIsMissingOrRefused) {
  using Kind = RegistryError::Kind;
  reg.OpenKey(kHKeyLocalMachine, "Software\\Parent\\Child", true);
  CRegistry parent;
  parent.OpenKey(kHKeyLocalMachine, "Software\\Parent");
  EXPECT_EQ(KindOf([&] { CRegistry().OpenKey(kHKeyLocalMachine, "Software\\None"); }),
            Kind::kMissing);
  EXPECT_EQ(KindOf([&] { reg.ReadValue("none"); }), Kind::kMissing);
  EXPECT_EQ(KindOf([&] { reg.DeleteValue("none"); }), Kind::kMissing);
  EXPECT_EQ(KindOf([&] { parent.DeleteKey(); }), Kind::kOther);  // it has a subkey
  EXPECT_EQ(KindOf([&] { CRegistry().WriteValue("a", "b"); }), Kind::kOther);
  CRegistry gone;
  gone.OpenKey(kHKeyLocalMachine, "Software\\Parent\\Child");
  reg.DeleteKey();
  EXPECT_EQ(KindOf([&] { gone.WriteValue("a", "b"); }), Kind::kMissing);
}

TEST(RegistryStoreTest, TwoProcessesWritingAtOnceLoseNothing) {
  TempRegistry temp;
  const std::pair<std::string, const char*> writers[] = {{"a", "Software\\Shared"},
                                                         {"b", "software\\SHARED\\Deeper"}};
  std::vector<pid_t> pids;
  for (const auto& [prefix, key] : writers) {
    pids.push_back(::fork());
    if (pids.back() != 0) continue;
    CRegistry registry;  // an exception ends the child abnormally
    registry.OpenKey(kHKeyLocalMachine, key, true);
    for (int n = 0; n < 120; ++n) registry.WriteValue(prefix + std::to_string(n), prefix);
    ::_exit(0);
  }
  for (const pid_t pid : pids) {
    int status = 1;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
  }
  CRegistry registry;
  for (const auto& [prefix, key] : writers) {
    registry.OpenKey(kHKeyLocalMachine, key);
    for (int n = 0; n < 120; ++n) EXPECT_EQ(registry.ReadValue(prefix + std::to_string(n)), prefix);
  }
}

// Every operation on a hive that does not parse fails as unreadable and writes nothing.
TEST(RegistryStoreTest, AHiveThatDoesNotParseIsNeverWritten) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Durable]\n";
  const std::pair<std::string, const char*> cases[] = {
      // The hive, and where the message points.
      {key + "\"a\"=\"b\"\n", "line 1"},
      {"REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n", "line 3"},
  };
  for (const auto& [hive, line] : cases) {
    SCOPED_TRACE(hive);
    TempRegistry temp;
    temp.WriteHiveText("REGEDIT4\n\n" + key + "\"a\"=\"b\"\n");
    CRegistry open;  // opened while the hive was still good
    open.OpenKey(kHKeyLocalMachine, "Software\\Durable");
    temp.WriteHiveText(hive);
    const std::function<void()> operations[] = {
        [&] { open.WriteValue("a", "c"); },
        [&] { open.ReadValue("a"); },
        [&] { open.DeleteKey(); },
        [&] { CRegistry().OpenKey(kHKeyLocalMachine, "Software\\New", true); },
    };
    for (const auto& operation : operations) {
      try {
        operation();
        ADD_FAILURE() << "an operation on a broken hive succeeded";
      } catch (const RegistryError& error) {
        EXPECT_EQ(error.kind(), RegistryError::Kind::kUnreadable);
        EXPECT_NE(error.reason().find(std::string("HKEY_LOCAL_MACHINE.reg ") + line),
                  std::string::npos)
            << error.reason();
      }
    }
    EXPECT_EQ(temp.HiveText(), hive);
  }
}

// A writer killed between writing <hive>.new and renaming it leaves that file behind; the next
// change removes it, even one that ends up writing nothing.
TEST(RegistryStoreTest, TheNextChangeRemovesTheNewFileOfAKilledWriter) {
  TempRegistry temp;
  const std::string hive = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"a\"=\"1\"\n";
  temp.WriteHiveText(hive);
  const std::string stale = temp.Hive().string() + ".new";
  std::ofstream(stale) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"a\"=\"2";
  CRegistry registry;
  registry.OpenKey(kHKeyLocalMachine, "Software");
  EXPECT_THROW(registry.DeleteValue("missing"), RegistryError);
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_EQ(temp.HiveText(), hive);
}

// A person may name a key or a value twice, in any letter case: one key or value results, with
// the name as first written, the text last written, and its place where it first appeared.
TEST(RegistryStoreTest, AKeyOrValueNamedTwiceIsOneWithTheFirstNameAndTheLastText) {
  const auto tree = reg::ParseHive(
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Soft\\Ware]\n\"Baud\"=\"1\"\n\"b\"=\"x\"\n"
      "[hkey_local_machine\\SOFT]\n[HKEY_LOCAL_MACHINE\\soft\\WARE]\n"
      "\"BAUD\"=\"2\"\n\"c\"=\"y\"\n",
      kHKeyLocalMachine, "twice.reg");
  ASSERT_TRUE(tree.ok()) << tree.detail();
  EXPECT_EQ(std::regex_replace(reg::FormatHive("HKEY_LOCAL_MACHINE", *tree),
                               std::regex(";last-write=[^\n]*"), ";"),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n;\n\n[HKEY_LOCAL_MACHINE\\Soft]\n;\n\n"
            "[HKEY_LOCAL_MACHINE\\Soft\\Ware]\n;\n\"Baud\"=\"2\"\n\"b\"=\"x\"\n\"c\"=\"y\"\n");
}

// The platform's limits: 512 levels and 255-byte names; a path below the root of at most 32767
// bytes. A hive beyond them is refused before any tree is built, however deep it claims to be
// (a 40,000-level key once took gigabytes and then the stack).
TEST(RegistryStoreTest, KeysBeyondTheDepthOrPathLimitAreRefusedWithTheReason) {
  TempRegistry temp;
  auto path = [](int levels, std::size_t name_length) {
    std::string text(name_length, 'k');
    for (int i = 1; i < levels; ++i) text += "\\" + std::string(name_length, 'k');
    return text;
  };
  const std::pair<std::string, std::string> cases[] = {
      {path(512, 1), ""},
      {path(513, 1), "a key is nested more than 512 levels deep"},
      {path(128, 255), ""},  // 128 * 255 + 127 = 32767 bytes
      {path(128, 255) + "k", "a key path is longer than 32767 bytes below its root key"},
      {path(2, 256), "a key name is longer than 255 bytes"},
  };
  for (const auto& [key, refusal] : cases) {
    SCOPED_TRACE(refusal);
    const auto handle = reg::RegCreate(kHKeyLocalMachine, key);
    if (refusal.empty()) {
      ASSERT_TRUE(handle.ok()) << handle.detail();
      EXPECT_TRUE(reg::RegClose(*handle).ok());
      continue;
    }
    EXPECT_EQ(handle.code(), reg::RegCode::kInvalidParameter);
    EXPECT_EQ(handle.detail(), refusal);
    const auto tree = reg::ParseHive("REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + key + "]\n",
                                     kHKeyLocalMachine, "deep.reg");
    EXPECT_EQ(tree.code(), reg::RegCode::kBadHive);
    EXPECT_EQ(tree.detail(), "deep.reg line 2: " + refusal);
  }
  // Both deepest keys were written and read back, so the hive still loads.
  EXPECT_TRUE(reg::LoadHive(kHKeyLocalMachine).ok());
}

// Several hives change together or not at all: one whose new file cannot be written leaves the
// others as they were and no new file behind.
TEST(RegistryStoreTest, ChangesToSeveralHivesAreWrittenAllOrNothing) {
  TempRegistry temp;
  const std::string machine = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"a\"=\"1\"\n";
  temp.WriteHiveText(machine);
  auto set_a = [](std::uint32_t, reg::RegKeyNode& tree, bool& changed) {
    bool created = false;
    reg::CreateKey(tree, {"Software"}, 0, created).values = {{"a", std::string("2\0", 2)}};
    changed = true;
    return reg::RegOk();
  };
  const std::vector<std::uint32_t> roots = {kHKeyLocalMachine, reg::kHKeyCurrentUser};
  const std::string user_new = temp.Hive("HKEY_CURRENT_USER").string() + ".new";
  std::filesystem::create_directories(user_new + "/blocker");
  EXPECT_FALSE(reg::ModifyHives(roots, set_a).ok());
  EXPECT_EQ(temp.HiveText(), machine);
  EXPECT_FALSE(std::filesystem::exists(temp.Hive().string() + ".new"));
  std::filesystem::remove_all(user_new);
  EXPECT_TRUE(reg::ModifyHives(roots, set_a).ok());
  EXPECT_NE(temp.HiveText().find("\"a\"=\"2\""), std::string::npos);
  EXPECT_NE(temp.HiveText("HKEY_CURRENT_USER").find("\"a\"=\"2\""), std::string::npos);
}

// A snapshot of part of a hive holds that part and the keys on its way, reads values as
// ReadValue does, and is still refused when a key outside the part breaks the hive's rules.
TEST(RegistrySnapshotTest, APartHoldsItsKeysAndTheWholeHiveIsStillChecked) {
  TempRegistry temp;
  const std::string keys =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"s\"=\"1\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"o\"=\"2\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\vendor\\Product]\n\"p\"=\"3\"\n\"long\"=\"" +
      std::string(255, 'l') + "\"\n";
  temp.WriteHiveText(keys);
  const auto part = reg::RegistrySnapshot::Read(kHKeyLocalMachine, "Software\\Vendor");
  EXPECT_EQ(part.OpenKey("software\\VENDOR\\product").Read("P"), "3");
  EXPECT_EQ(part.OpenKey("Software").Read("s"), "1");
  EXPECT_FALSE(part.OpenKey("Software\\Other").Exists());
  EXPECT_EQ(part.OpenKey("Software\\Vendor\\Product").Read("long"), std::nullopt);
  EXPECT_EQ(part.OpenKey("Software\\Vendor\\Product").Size("long"), 256u);
  EXPECT_EQ(reg::RegistrySnapshot::Read(kHKeyLocalMachine).OpenKey("Software\\Other").Read("o"),
            "2");

  temp.WriteHiveText(keys + "[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"n\"=dword:00000001\n");
  try {
    reg::RegistrySnapshot::Read(kHKeyLocalMachine, "Software\\Vendor");
    ADD_FAILURE() << "a hive with a number value was read";
  } catch (const RegistryError& error) {
    EXPECT_EQ(error.kind(), RegistryError::Kind::kUnreadable);
    EXPECT_NE(error.reason().find("only string values"), std::string::npos) << error.reason();
  }
}

}  // namespace
