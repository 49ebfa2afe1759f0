// The termios backend on pseudo-terminal pairs: taking and releasing the port, refusals, a far
// end that goes away, and output that the far end never reads.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "serial/comm_control.h"
#include "serial/device.h"
#include "serial/termios_device.h"
#include "test_support.h"

namespace serivane::serial {
namespace {

using testing::EventLog;
using testing::PtyPair;
using testing::TempDir;

// A control on the slave side of its own pseudo-terminal, with the console guard and the lock
// folder pointed into a temporary folder.
struct PtyFixture {
  PtyFixture() : control(Resolver(), SystemClock(), Paths()) {}
  PortResolver Resolver() {
    return [this](std::int16_t) { return pty.slave_path(); };
  }
  SystemPaths Paths() const { return {dir.path(), dir.path()}; }
  std::string LockPath() const { return dir.path() + "/" + LockFileName(pty.slave_path()); }

  TempDir dir;
  PtyPair pty;
  CommControl control;
};

std::int32_t OpenError(CommControl& control, std::string* text = nullptr) {
  try {
    control.OpenState(true);
  } catch (const CommError& e) {
    if (text != nullptr) *text = e.what();
    EXPECT_FALSE(control.OpenState());
    return e.number();
  }
  return 0;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << text;
}

TEST(TermiosDevice, ModemLineOperationsOnAPortWithoutLinesNeitherFailNorInventStates) {
  PtyFixture f;
  EventLog log(f.control);
  f.control.OpenState(true);
  for (const bool on : {true, false, true}) {
    f.control.RtsOn(on);
    f.control.DtrOn(on);
    EXPECT_FALSE(f.control.CtsState());
    EXPECT_FALSE(f.control.DsrState());
    EXPECT_FALSE(f.control.DcdState());
    f.control.Service();
  }
  EXPECT_TRUE(log.codes.empty());
  EXPECT_TRUE(f.control.RtsOn()) << "the output is remembered";
}

TEST(TermiosDevice, APortAlreadyHeldIsRefusedAndSendsNothing) {
  PtyFixture f;
  f.control.OpenState(true);
  ASSERT_TRUE(std::filesystem::exists(f.LockPath()));
  CommControl second(f.Resolver(), SystemClock(), f.Paths());
  EXPECT_EQ(OpenError(second), kErrPortAlreadyOpen);
  EXPECT_THROW(second.TransmitText("from the second"), CommError);
  EXPECT_EQ(f.pty.Drain(20), "");

  // Without the lock file, the descriptor lock still keeps the port to its first holder.
  CommControl unlocked(f.Resolver(), SystemClock(), {f.dir.path(), f.dir.path() + "/none"});
  EXPECT_EQ(OpenError(unlocked), kErrPortAlreadyOpen);

  f.control.TransmitText("first");
  EXPECT_EQ(f.pty.Drain(), "first") << "the holder keeps its port";
}

pid_t EndedProcess() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

struct LockCase {
  const char* name;
  enum { kLive, kEnded, kGarbage, kNoFolder } holder;
  std::int32_t error;
};

class LockFiles : public ::testing::TestWithParam<LockCase> {};

TEST_P(LockFiles, AreHonouredOnlyWhileTheirHolderLives) {
  const LockCase& lc = GetParam();
  PtyFixture f;
  SystemPaths paths = f.Paths();
  switch (lc.holder) {
    case LockCase::kLive:
      WriteFile(f.LockPath(), std::to_string(getppid()) + "\n");
      break;
    case LockCase::kEnded:
      WriteFile(f.LockPath(), "      " + std::to_string(EndedProcess()) + "\n");
      break;
    case LockCase::kGarbage:
      WriteFile(f.LockPath(), "not a process\n");
      break;
    case LockCase::kNoFolder:
      paths.lock_dir = f.dir.path() + "/missing";
      break;
  }
  CommControl control(f.Resolver(), SystemClock(), paths);
  std::string text;
  EXPECT_EQ(OpenError(control, &text), lc.error) << text;
  if (lc.error != 0) {
    EXPECT_NE(text.find(std::to_string(getppid())), std::string::npos) << text;
    return;
  }
  if (lc.holder != LockCase::kNoFolder) {
    std::ifstream in(f.LockPath());
    long pid = 0;
    in >> pid;
    EXPECT_EQ(pid, getpid()) << "the stale lock was not replaced by ours";
  }
  control.OpenState(false);
  EXPECT_FALSE(std::filesystem::exists(f.LockPath())) << "the lock outlived the close";
}

INSTANTIATE_TEST_SUITE_P(Holders, LockFiles,
                         ::testing::Values(LockCase{"Live", LockCase::kLive, kErrPortAlreadyOpen},
                                           LockCase{"Ended", LockCase::kEnded, 0},
                                           LockCase{"Garbage", LockCase::kGarbage, 0},
                                           LockCase{"NoFolder", LockCase::kNoFolder, 0}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(TermiosDevice, PathsThatAreNoSerialPortAreRefusedByName) {
  TempDir dir;
  WriteFile(dir.path() + "/plain", "text");
  const std::string paths[] = {"/dev/serivane-no-such-port", dir.path() + "/plain", "/dev/null",
                               dir.path()};
  for (const std::string& path : paths) {
    CommControl control([&](std::int16_t) { return path; }, SystemClock(),
                        {dir.path(), dir.path()});
    std::string text;
    EXPECT_EQ(OpenError(control, &text), kErrInvalidPortNumber) << path;
    EXPECT_NE(text.find(path), std::string::npos) << text;
  }
}

TEST(TermiosDevice, TheConsolePortIsRefused) {
  PtyFixture f;
  const std::string name = f.pty.slave_path().substr(std::string("/dev/").size());
  WriteFile(f.dir.path() + "/class/tty/console/active", "tty0 " + name + "\n");
  std::string text;
  EXPECT_EQ(OpenError(f.control, &text), kErrHardwareNotAvailable);
  EXPECT_NE(text.find("console"), std::string::npos) << text;
  EXPECT_NE(text.find(f.pty.slave_path()), std::string::npos) << text;
  EXPECT_FALSE(std::filesystem::exists(f.LockPath()));
}

TEST(TermiosDevice, SettingsTheDriverRefusesLeaveThePreviousOnes) {
  PtyFixture f;
  f.pty.StartEcho();
  f.control.LineSettings("19200,N,8,1");
  f.control.OpenState(true);
  // A pseudo-terminal always keeps eight data bits and no parity.
  for (const char* refused : {"19200,N,7,1", "19200,E,8,1"}) {
    try {
      f.control.LineSettings(refused);
      ADD_FAILURE() << refused << " was taken";
    } catch (const CommError& e) {
      EXPECT_EQ(e.number(), kErrCommState) << e.what();
      EXPECT_NE(std::string(e.what()).find(f.pty.slave_path()), std::string::npos) << e.what();
    }
    EXPECT_EQ(f.control.LineSettings(), "19200,N,8,1");
  }
  // A rate outside the standard table goes through the driver's arbitrary-rate call.
  f.control.LineSettings("123457,N,8,2");
  EXPECT_EQ(f.control.LineSettings(), "123457,N,8,2");
  f.control.TransmitText("still works");
  for (int i = 0; i < 5000 && f.control.InBufferCount() < 11; ++i) {
    f.control.Service();
    usleep(1000);
  }
  EXPECT_EQ(f.control.ReceivedText(), "still works");
}

TEST(TermiosDevice, AnOpenWithRefusedSettingsHoldsNothing) {
  PtyFixture f;
  const std::size_t fds = testing::OpenDescriptorCount();
  f.control.LineSettings("9600,N,7,1");
  EXPECT_EQ(OpenError(f.control), kErrCommState);
  EXPECT_EQ(testing::OpenDescriptorCount(), fds);
  EXPECT_FALSE(std::filesystem::exists(f.LockPath()));
}

TEST(TermiosDevice, ClosingTheFarEndMidTransferClosesThePortOnce) {
  PtyFixture f;
  EventLog log(f.control);
  f.pty.StartEcho();
  f.control.OpenState(true);
  f.control.TransmitText(std::string(3000, 'm'));
  f.control.Service();
  f.pty.CloseMaster();
  int services = 0;
  while (f.control.OpenState() && services < 5000) {
    f.control.Service();
    ++services;
    usleep(200);
  }
  EXPECT_FALSE(f.control.OpenState());
  for (int i = 0; i < 100; ++i) f.control.Service();
  EXPECT_EQ(log.Count(kErDeviceGone), 1u);
  EXPECT_NE(f.control.LostReason().find(f.pty.slave_path()), std::string::npos)
      << f.control.LostReason();
  EXPECT_EQ(f.control.WatchFd(), -1);
  EXPECT_EQ(f.control.NextServiceMs(), -1);
  EXPECT_FALSE(std::filesystem::exists(f.LockPath()));
}

TEST(TermiosDevice, ThousandCloseOpenCyclesLeaveNoDescriptorBehind) {
  PtyFixture f;
  f.control.OpenState(true);
  f.control.OpenState(false);
  const std::size_t fds = testing::OpenDescriptorCount();
  for (int i = 0; i < 1000; ++i) {
    f.control.OpenState(true);
    f.control.Service();
    f.control.OpenState(false);
  }
  EXPECT_EQ(testing::OpenDescriptorCount(), fds);
  EXPECT_FALSE(std::filesystem::exists(f.LockPath()));
}

TEST(TermiosDevice, SendingBeyondTheBufferIsRefusedLoudlyAndLosesNothingBefore) {
  PtyFixture f;
  EventLog log(f.control);
  f.control.OpenState(true);
  std::string block(256 * 1024, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
  f.control.TransmitText(block);
  f.control.Service();
  EXPECT_EQ(log.Count(kErTxFull), 1u);

  // The far end reads now: what it gets is an unbroken start of the block, at least as long as
  // the control's own buffer.
  std::string got;
  for (int i = 0; i < 2000; ++i) {
    f.control.Service();
    const std::string part = f.pty.Drain(1);
    got += part;
    if (part.empty() && i > 50) break;
  }
  EXPECT_GE(got.size(), 64u * 1024);
  EXPECT_LT(got.size(), block.size());
  EXPECT_TRUE(block.starts_with(got)) << "bytes were lost or reordered";
}

TEST(TermiosDevice, CloseWithUnsentOutputDoesNotWaitForTheFarEnd) {
  PtyFixture f;
  f.control.OpenState(true);
  f.control.TransmitText(std::string(64 * 1024, 'w'));
  f.control.TransmitText(std::string(64 * 1024, 'w'));
  const auto start = std::chrono::steady_clock::now();
  f.control.OpenState(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(f.control.OpenState());
}

TEST(TermiosDevice, PermissionHintNamesTheGroupAndMembership) {
  TempDir dir;
  const std::string mine = dir.path() + "/mine";
  const std::string theirs = dir.path() + "/theirs";
  WriteFile(mine, "");
  WriteFile(theirs, "");
  ASSERT_EQ(chown(mine.c_str(), static_cast<uid_t>(-1), getegid()), 0);
  EXPECT_NE(PermissionHint(mine).find(", and you are a member of it"), std::string::npos)
      << PermissionHint(mine);
  // A group number nobody has: only the superuser may give a file to it.
  if (chown(theirs.c_str(), static_cast<uid_t>(-1), 54321) != 0) GTEST_SKIP();
  EXPECT_EQ(PermissionHint(theirs),
            "the device belongs to group 54321, and you are not a member of it");
}

// Records what a device hands over, data and errors in one sequence.
struct Recorder final : DeviceSink {
  void Received(std::string_view bytes) override { seen += std::string(bytes); }
  void LineError(std::int16_t code) override { seen += "<" + std::to_string(code) + ">"; }
  std::string seen;
};

struct MarkCase {
  const char* name;
  std::vector<std::string> reads;
  std::string expected;
};

class InBandMarks : public ::testing::TestWithParam<MarkCase> {};

TEST_P(InBandMarks, AreUndoneAcrossReads) {
  Recorder sink;
  MarkDecoder decoder;
  for (const std::string& read : GetParam().reads) decoder.Feed(read, kErRxParity, sink);
  EXPECT_EQ(sink.seen, GetParam().expected);
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    Reads, InBandMarks,
    ::testing::Values(MarkCase{"Plain", {"ab\0c"s}, "ab\0c"s},
                      MarkCase{"DoubledFF",
                               {"a\xFF\xFF"
                                "b"},
                               "a\xFF"
                               "b"},
                      MarkCase{"DoubledFFSplit",
                               {"a\xFF",
                                "\xFF"
                                "b"},
                               "a\xFF"
                               "b"},
                      MarkCase{"Break", {"a\xFF\0\0b"s}, "a<1001>b"},
                      MarkCase{"BreakSplitTwice", {"a\xFF", "\0"s, "\0b"s}, "a<1001>b"},
                      MarkCase{"MarkedCharacter", {"a\xFF\0Zb"s}, "aZ<1009>b"},
                      MarkCase{"MarkedFF", {"\xFF\0\xFF"s}, "\xFF<1009>"},
                      MarkCase{"MarkSplitAfterFF00", {"a\xFF\0"s, "Z"}, "aZ<1009>"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace serivane::serial
