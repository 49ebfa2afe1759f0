#include "settings/registry_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <new>
#include <string>

#include "settings/cregistry.h"
#include "tests/settings/temp_registry.h"

namespace reg = serivane::settings;
using reg::CRegistry;
using reg::kHKeyLocalMachine;
using reg::RegistryError;

namespace {

// Runs `body` in a child process, which an exception ends abnormally.
pid_t Spawn(const std::function<void()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) body(), ::_exit(0);
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

TEST(RegistryStoreTest, AWriterKilledMidwayLeavesAWholeHiveWithEveryFinishedWrite) {
  TempRegistry temp;
  // How many writes the writer has finished, in memory both processes share.
  void* shared = ::mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* finished = new (shared) std::atomic<int>(0);
  const pid_t child = Spawn([&] {
    CRegistry registry;
    registry.OpenKey(kHKeyLocalMachine, "Software\\Durable", true);
    for (int i = 0; i < 1000; ++i) {
      registry.WriteValue("Value " + std::to_string(i), "line\n" + std::to_string(i));
      finished->store(i + 1);
    }
  });
  // Reading takes no lock: every read while the writer works finds a whole hive.
  bool whole = true;
  int status = 0;
  while (whole && finished->load() < 150 && ::waitpid(child, &status, WNOHANG) == 0) {
    const auto acknowledged = static_cast<std::size_t>(finished->load());
    reg::RegKeyNode tree;
    const bool read = reg::LoadHive(kHKeyLocalMachine, tree) == reg::RegStatus::kOk;
    const reg::RegKeyNode* key = reg::FindKey(tree, {"Software", "Durable"});
    whole = read && (acknowledged == 0 || (key != nullptr && key->values.size() >= acknowledged));
  }
  ::kill(child, SIGKILL);
  EXPECT_EQ(WaitExit(child), -SIGKILL) << "the writer ended before it was killed";
  EXPECT_TRUE(whole);

  CRegistry registry;  // raises unless the hive parses
  registry.OpenKey(kHKeyLocalMachine, "Software\\Durable");
  for (int n = 0; n < finished->load(); ++n)
    ASSERT_EQ(registry.ReadValue("Value " + std::to_string(n)), "line\n" + std::to_string(n));
  ::munmap(shared, sizeof(std::atomic<int>));
  registry.WriteValue("after", "yes");  // the lock died with the writer
  EXPECT_EQ(registry.ReadValue("after"), "yes");
}

TEST(RegistryStoreTest, TwoProcessesWritingAtOnceLoseNothing) {
  TempRegistry temp;
  auto writer = [](const std::string& prefix, const char* key) {
    return Spawn([&] {
      CRegistry registry;
      registry.OpenKey(kHKeyLocalMachine, key, true);
      for (int n = 0; n < 120; ++n) registry.WriteValue(prefix + std::to_string(n), prefix);
    });
  };
  const pid_t first = writer("a", "Software\\Shared");
  const pid_t second = writer("b", "software\\SHARED\\Deeper");
  EXPECT_EQ(WaitExit(first), 0);
  EXPECT_EQ(WaitExit(second), 0);

  CRegistry registry;
  for (const auto& [key, prefix] :
       {std::pair{"Software\\Shared", "a"}, std::pair{"Software\\Shared\\Deeper", "b"}}) {
    registry.OpenKey(kHKeyLocalMachine, key);
    EXPECT_EQ(registry.NumOfValues(), 120);
    for (int n = 0; n < 120; ++n) EXPECT_EQ(registry.ReadValue(prefix + std::to_string(n)), prefix);
  }
}

TEST(RegistryStoreTest, AHiveThatDoesNotParseIsNeverWritten) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Durable]\n";
  const std::pair<std::string, const char*> cases[] = {
      // The hive, and where the message points.
      {key + "\"a\"=\"b\"\n", "line 1"},
      {"REGEDIT4\n\n" + key + "\"a\"=\"b\n", "line 4"},
      {"REGEDIT4\n\n" + key + "\"a\"=\"C:\\Users\"\n", "line 4"},
      {"REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n", "line 3"},
      {"REGEDIT4\n\n" + key + "\"a\"=dword:00000001\n", "line 4"},
      {std::string("\x7f\x45LF\0\x01", 6), "line 1"},
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
    for (const auto& operation : operations) EXPECT_THROW(operation(), RegistryError);
    EXPECT_NE(reg::RegLastErrorDetail().find(std::string("HKEY_LOCAL_MACHINE.reg ") + line),
              std::string::npos)
        << reg::RegLastErrorDetail();
    EXPECT_EQ(temp.HiveText(), hive);
  }
}

TEST(RegistryStoreTest, AnEmptyOrBlankHiveFileIsAnEmptyRegistry) {
  for (const char* text : {"", " \r\n\n\t\n"}) {
    TempRegistry temp;
    temp.WriteHiveText(text);
    CRegistry registry;
    registry.OpenKey(kHKeyLocalMachine, "Software", true);
    EXPECT_EQ(temp.HiveShape(),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n;\n\n[HKEY_LOCAL_MACHINE\\Software]\n;\n");
  }
}

}  // namespace
