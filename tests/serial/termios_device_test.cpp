// The termios backend on pseudo-terminal pairs: taking and releasing the port, refusals, output
// that the far end never reads, and the undoing of in-band line-error marks.
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

using testing::ErrorOf;
using testing::OpenDescriptorCount;
using testing::WriteFile;

// A control on the slave side of its own pseudo-terminal, with the console guard and the lock
// folder pointed into a temporary folder.
struct Pty {
  explicit Pty(const std::string& lock_dir = "")
      : control([this](std::int16_t) { return pty.slave_path(); }, SystemClock(),
                {dir.path, lock_dir.empty() ? dir.path : lock_dir}) {}
  std::string LockPath() const { return dir.path + "/" + LockFileName(pty.slave_path()); }
  std::int32_t OpenError(std::string* what = nullptr) {
    return ErrorOf([&] { control.OpenState(true); }, what);
  }

  testing::TempDir dir;
  testing::PtyPair pty;
  CommControl control;
};

TEST(TermiosDevice, ModemLineOperationsOnAPortWithoutLinesNeitherFailNorInventStates) {
  Pty f;
  testing::EventLog log(f.control);
  f.control.OpenState(true);
  for (const bool on : {true, false, true}) {
    f.control.RtsOn(on);
    f.control.DtrOn(on);
    EXPECT_FALSE(f.control.CtsState() || f.control.DsrState() || f.control.DcdState());
    f.control.Service();
  }
  EXPECT_TRUE(log.codes.empty());
}

TEST(TermiosDevice, APortAlreadyHeldIsRefusedAndSendsNothing) {
  Pty f;
  f.control.OpenState(true);
  CommControl second([&](std::int16_t) { return f.pty.slave_path(); }, SystemClock(),
                     {f.dir.path, f.dir.path});
  EXPECT_EQ(ErrorOf([&] { second.OpenState(true); }), kErrPortAlreadyOpen);
  EXPECT_EQ(ErrorOf([&] { second.TransmitText("from the second"); }), kErrPortNotOpen);
  // Without the lock file, the descriptor lock still keeps the port to its first holder.
  CommControl unlocked([&](std::int16_t) { return f.pty.slave_path(); }, SystemClock(),
                       {f.dir.path, f.dir.path + "/none"});
  EXPECT_EQ(ErrorOf([&] { unlocked.OpenState(true); }), kErrPortAlreadyOpen);
  f.control.TransmitText("first");
  EXPECT_EQ(f.pty.Drain(), "first") << "the holder keeps its port, and only its bytes went out";
}

TEST(TermiosDevice, LockFilesAreHonouredOnlyWhileTheirHolderLives) {
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  const struct {
    std::string content;  // of a lock file found at the open; "-" for no lock folder at all
    std::int32_t error;
  } rows[] = {{std::to_string(getppid()) + "\n", kErrPortAlreadyOpen},
              {"      " + std::to_string(ended) + "\n", 0},
              {"not a process\n", 0},
              {"-", 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.content);
    Pty f(row.content == "-" ? "/nonexistent/serivane-locks" : "");
    if (row.content != "-") WriteFile(f.LockPath(), row.content);
    std::string what;
    EXPECT_EQ(f.OpenError(&what), row.error) << what;
    if (row.error != 0) {
      EXPECT_NE(what.find(std::to_string(getppid())), std::string::npos) << what;
      continue;
    }
    long pid = 0;
    std::ifstream(f.LockPath()) >> pid;
    EXPECT_EQ(pid, row.content == "-" ? 0 : getpid()) << "a stale lock was not replaced by ours";
    f.control.OpenState(false);
    EXPECT_FALSE(std::filesystem::exists(f.LockPath())) << "the lock outlived the close";
  }
}

TEST(TermiosDevice, PathsThatAreNoSerialPortAndTheConsoleAreRefusedByName) {
  testing::TempDir dir;
  WriteFile(dir.path + "/plain", "text");
  for (const std::string& path : {std::string("/dev/serivane-no-such-port"), dir.path + "/plain",
                                  std::string("/dev/null"), dir.path}) {
    CommControl control([&](std::int16_t) { return path; }, SystemClock(), {dir.path, dir.path});
    std::string what;
    EXPECT_EQ(ErrorOf([&] { control.OpenState(true); }, &what), kErrInvalidPortNumber) << path;
    EXPECT_NE(what.find(path), std::string::npos) << what;
  }

  Pty f;
  const std::string name = f.pty.slave_path().substr(std::string("/dev/").size());
  WriteFile(f.dir.path + "/class/tty/console/active", "tty0 " + name + "\n");
  std::string what;
  EXPECT_EQ(f.OpenError(&what), kErrHardwareNotAvailable);
  EXPECT_NE(what.find("console"), std::string::npos) << what;
  EXPECT_NE(what.find(f.pty.slave_path()), std::string::npos) << what;
  EXPECT_FALSE(std::filesystem::exists(f.LockPath()));
}

TEST(TermiosDevice, SettingsTheDriverRefusesLeaveThePreviousOnes) {
  Pty f;
  f.pty.StartEcho();
  f.control.LineSettings("19200,N,8,1");
  f.control.OpenState(true);
  // A pseudo-terminal always keeps eight data bits and no parity.
  for (const char* refused : {"19200,N,7,1", "19200,E,8,1"}) {
    std::string what;
    EXPECT_EQ(ErrorOf([&] { f.control.LineSettings(refused); }, &what), kErrCommState) << refused;
    EXPECT_NE(what.find(f.pty.slave_path()), std::string::npos) << what;
    EXPECT_EQ(f.control.LineSettings(), "19200,N,8,1");
  }
  // A rate outside the standard table goes through the driver's arbitrary-rate call.
  f.control.LineSettings("123457,N,8,2");
  EXPECT_EQ(f.control.LineSettings(), "123457,N,8,2");
  f.control.TransmitText("still works");
  for (int i = 0; i < 5000 && f.control.InBufferCount() < 11; ++i, usleep(1000)) {
    f.control.Service();
  }
  EXPECT_EQ(f.control.ReceivedText(), "still works");
}

TEST(TermiosDevice, RefusedOpensAndThousandCloseOpenCyclesLeaveNothingBehind) {
  Pty f;
  f.control.OpenState(true);
  f.control.OpenState(false);
  const long fds = OpenDescriptorCount();
  f.control.LineSettings("9600,N,7,1");
  EXPECT_EQ(f.OpenError(), kErrCommState);
  EXPECT_EQ(OpenDescriptorCount(), fds);
  EXPECT_FALSE(std::filesystem::exists(f.LockPath()));
  f.control.LineSettings("9600,N,8,1");
  for (int i = 0; i < 1000; ++i) {
    f.control.OpenState(true);
    f.control.Service();
    f.control.OpenState(false);
  }
  EXPECT_EQ(OpenDescriptorCount(), fds);
  EXPECT_FALSE(std::filesystem::exists(f.LockPath()));
}

TEST(TermiosDevice, SendingBeyondTheBufferIsRefusedLoudlyAndLosesNothingBefore) {
  Pty f;
  testing::EventLog log(f.control);
  f.control.OpenState(true);
  std::string block(256 * 1024, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
  f.control.TransmitText(block);
  f.control.Service();
  EXPECT_EQ(log.codes, std::vector<std::int16_t>{kErTxFull});
  // The far end reads now: it gets an unbroken start of the block, at least as long as the
  // control's own buffer.
  std::string got;
  for (int quiet = 0; quiet < 50;) {
    f.control.Service();
    const std::string part = f.pty.Drain(1);
    quiet = part.empty() ? quiet + 1 : 0;
    got += part;
  }
  EXPECT_GE(got.size(), 64u * 1024);
  EXPECT_LT(got.size(), block.size());
  EXPECT_TRUE(block.starts_with(got)) << "bytes were lost or reordered";
}

TEST(TermiosDevice, CloseWithUnsentOutputDoesNotWaitForTheFarEnd) {
  Pty f;
  f.control.OpenState(true);
  f.control.TransmitText(std::string(64 * 1024, 'w'));
  f.control.TransmitText(std::string(64 * 1024, 'w'));
  const auto start = std::chrono::steady_clock::now();
  f.control.OpenState(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(MarkDecoder, UndoesInBandMarksAlsoWhenSplitAcrossReads) {
  using namespace std::string_literals;
  struct Recorder final : DeviceSink {
    void Received(std::string_view bytes) override { seen += bytes; }
    void LineError(std::int16_t code) override { seen += "<" + std::to_string(code) + ">"; }
    std::string seen;
  };
  const struct {
    std::vector<std::string> reads;
    std::string expected;
  } rows[] = {{{"ab\0c"s}, "ab\0c"s},
              {{"a\xFF\xFF", "\xFF",
                "\xFF"
                "b"},
               "a\xFF\xFF"
               "b"},
              {{"a\xFF\0\0b"s}, "a<1001>b"},
              {{"a\xFF", "\0"s, "\0b"s}, "a<1001>b"},
              {{"a\xFF\0Zb"s}, "aZ<1009>b"},
              {{"\xFF\0\xFF"s}, "\xFF<1009>"},
              {{"a\xFF\0"s, "Z"}, "aZ<1009>"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.reads));
    Recorder sink;
    MarkDecoder decoder;
    for (const std::string& read : row.reads) decoder.Feed(read, kErRxParity, sink);
    EXPECT_EQ(sink.seen, row.expected);
  }
}

}  // namespace
}  // namespace serivane::serial
