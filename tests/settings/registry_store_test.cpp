#include "settings/registry_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "settings/cregistry.h"
#include "tests/settings/temp_registry.h"

namespace reg = serivane::settings;
using reg::CRegistry;
using reg::kHKeyLocalMachine;
using reg::RegistryError;
using reg::RegStatus;

namespace {

const char kKey[] = "Software\\Durable";

// Reads exactly `size` bytes unless the writer is gone first; answers the bytes read.
std::size_t ReadFull(int fd, void* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, static_cast<char*>(buffer) + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

// Runs `body` in a child process that reports through `report_fd`; the child never returns.
pid_t Spawn(const std::function<void()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    try {
      body();
    } catch (...) {
      ::_exit(3);
    }
    ::_exit(0);
  }
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

TEST(RegistryStoreTest, AWriterKilledMidwayLeavesAWholeHiveWithEveryFinishedWrite) {
  TempRegistry temp;
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = Spawn([&] {
    ::close(report[0]);
    CRegistry registry;
    registry.OpenKey(kHKeyLocalMachine, kKey, true);
    for (std::uint32_t i = 0; i < 1000; ++i) {
      registry.WriteValue("Value " + std::to_string(i),
                          std::string(i % 50, 'x') + "\n" + std::to_string(i));
      if (::write(report[1], &i, sizeof i) != sizeof i) ::_exit(4);
    }
  });
  ::close(report[1]);
  std::set<std::uint32_t> finished;
  std::uint32_t i = 0;
  while (finished.size() < 150 && ReadFull(report[0], &i, sizeof i) == sizeof i) finished.insert(i);
  ::kill(child, SIGKILL);
  EXPECT_EQ(WaitExit(child), -SIGKILL) << "the writer ended before it was killed";
  while (ReadFull(report[0], &i, sizeof i) == sizeof i) finished.insert(i);
  ::close(report[0]);

  reg::RegKeyNode tree;
  ASSERT_EQ(reg::LoadHive(kHKeyLocalMachine, tree), RegStatus::kOk) << reg::RegLastErrorDetail();
  CRegistry registry;
  registry.OpenKey(kHKeyLocalMachine, kKey);
  for (const std::uint32_t n : finished) {
    ASSERT_EQ(registry.ReadValue("Value " + std::to_string(n)),
              std::string(n % 50, 'x') + "\n" + std::to_string(n));
  }
  // The lock died with the writer: the hive takes changes again.
  registry.WriteValue("after", "yes");
  EXPECT_EQ(registry.ReadValue("after"), "yes");
}

TEST(RegistryStoreTest, TwoProcessesWritingAtOnceLoseNothing) {
  TempRegistry temp;
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  auto writer = [&](const std::string& prefix, const char* key) {
    return Spawn([&, prefix, key] {
      ::close(start[1]);
      char go = 0;
      ReadFull(start[0], &go, 1);  // both start when the pipe closes
      CRegistry registry;
      registry.OpenKey(kHKeyLocalMachine, key, true);
      for (int n = 0; n < 120; ++n) registry.WriteValue(prefix + std::to_string(n), prefix);
    });
  };
  const pid_t first = writer("a", "Software\\Shared");
  const pid_t second = writer("b", "software\\SHARED\\Deeper");
  ::close(start[0]);
  ::close(start[1]);
  EXPECT_EQ(WaitExit(first), 0);
  EXPECT_EQ(WaitExit(second), 0);

  CRegistry registry;
  registry.OpenKey(kHKeyLocalMachine, "Software\\Shared");
  EXPECT_EQ(registry.NumOfValues(), 120);
  EXPECT_EQ(registry.NumOfSubKeys(), 1);
  for (int n = 0; n < 120; ++n) EXPECT_EQ(registry.ReadValue("a" + std::to_string(n)), "a");
  registry.OpenKey(kHKeyLocalMachine, "Software\\Shared\\Deeper");
  EXPECT_EQ(registry.NumOfValues(), 120);
  for (int n = 0; n < 120; ++n) EXPECT_EQ(registry.ReadValue("b" + std::to_string(n)), "b");
}

TEST(RegistryStoreTest, AHiveThatDoesNotParseIsNeverWritten) {
  struct Case {
    const char* fault;
    std::string text;
    const char* detail;  // what the message must name
  };
  const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Durable]\n";
  const Case cases[] = {
      {"no header", key + "\"a\"=\"b\"\n", "line 1"},
      {"open quote", "REGEDIT4\n\n" + key + "\"a\"=\"b\n", "line 4"},
      {"unknown escape", "REGEDIT4\n\n" + key + "\"a\"=\"C:\\Users\"\n", "line 4"},
      {"value before a key", "REGEDIT4\n\"a\"=\"b\"\n", "line 2"},
      {"another root", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n", "line 3"},
      {"a deletion", "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software]\n", "line 3"},
      {"a number value", "REGEDIT4\n\n" + key + "\"a\"=dword:00000001\n", "line 4"},
      {"a bad time", "REGEDIT4\n\n" + key + ";last-write=yesterday\n", "line 4"},
      {"an empty key name", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\\\X]\n", "line 3"},
      {"binary junk",
       std::string("\x7f"
                   "ELF\x02\x01\x01\0\0",
                   9),
       "line 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    TempRegistry temp;
    temp.WriteHiveText("REGEDIT4\n\n" + key + "\"a\"=\"b\"\n");
    CRegistry open;  // opened while the hive was still good
    open.OpenKey(kHKeyLocalMachine, kKey);
    temp.WriteHiveText(c.text);

    const std::function<void()> operations[] = {
        [&] { open.WriteValue("a", "c"); },
        [&] { open.DeleteValue("a"); },
        [&] { open.ReadValue("a"); },
        [&] { open.NumOfValues(); },
        [&] { open.DeleteKey(); },
        [&] {
          CRegistry other;
          other.OpenKey(kHKeyLocalMachine, "Software\\New", true);
        },
    };
    for (const auto& operation : operations) EXPECT_THROW(operation(), RegistryError);
    reg::RegHandle handle = 0;
    EXPECT_EQ(reg::RegCreate(kHKeyLocalMachine, "Software\\Other", handle), RegStatus::kBadHive);
    EXPECT_NE(reg::RegLastErrorDetail().find("HKEY_LOCAL_MACHINE.reg " + std::string(c.detail)),
              std::string::npos)
        << reg::RegLastErrorDetail();
    EXPECT_EQ(temp.HiveText(), c.text);
  }
}

TEST(RegistryStoreTest, AnEmptyOrMissingHiveIsAnEmptyRegistry) {
  for (const bool empty_file : {false, true}) {
    TempRegistry temp;
    if (empty_file) temp.WriteHiveText("");
    CRegistry registry;
    registry.OpenKey(kHKeyLocalMachine, "");  // the root key itself
    EXPECT_EQ(registry.NumOfSubKeys(), 0);
    registry.OpenKey(kHKeyLocalMachine, "Software\\X", true);
    registry.WriteValue("v", "1");
    const std::string hive = temp.HiveText();
    EXPECT_EQ(hive.rfind("REGEDIT4\n", 0), 0u) << hive;
    EXPECT_NE(hive.find("[HKEY_LOCAL_MACHINE\\Software\\X]\n;last-write="), std::string::npos)
        << hive;
  }
}

}  // namespace
