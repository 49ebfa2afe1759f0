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

void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << text;
}

long OpenDescriptors() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return std::distance(begin(fds), end(fds));
}

// A control on the slave side of its own pseudo-terminal (or on `target`), with the console
// guard and the lock folder pointed into a temporary folder.
struct Pty {
  explicit Pty(std::string lock_folder = "")
      : lock_dir(lock_folder.empty() ? dir.path : lock_folder) {}
  std::string LockPath() const { return dir.path + "/" + LockFileName(pty.slave_path()); }

  testing::TempDir dir;
  testing::PtyPair pty;
  std::string target = pty.slave_path();
  std::string lock_dir;
  CommControl control{[this](std::int16_t) { return target; }, SystemClock(), {dir.path, lock_dir}};
};

TEST(TermiosDevice, RefusedOpensNameThePathAndTheReasonAndHoldNothing) {
  Pty f;
  WriteFile(f.dir.path + "/plain", "text");
  const long fds = OpenDescriptors();
  for (const auto& [target, error, named] :
       {std::tuple{std::string("/dev/serivane-no-such-port"), kErrInvalidPortNumber, "No such"},
        {f.dir.path + "/plain", kErrInvalidPortNumber, "not a terminal"},
        {"/dev/null", kErrInvalidPortNumber, "not a terminal"},
        {f.dir.path, kErrInvalidPortNumber, "not a terminal"},
        {f.pty.slave_path(), kErrCommState, "did not take the line settings 9600,N,7,1"},
        {f.pty.slave_path(), kErrHardwareNotAvailable, "console"}}) {
    f.target = target;
    f.control.LineSettings(error == kErrCommState ? "9600,N,7,1" : "9600,N,8,1");
    if (error == kErrHardwareNotAvailable) {
      WriteFile(f.dir.path + "/class/tty/console/active", "tty0 " + target.substr(5) + "\n");
    }
    std::string what;
    EXPECT_EQ(ErrorOf([&] { f.control.OpenState(true); }, &what), error) << target;
    EXPECT_NE(what.find(target), std::string::npos) << what;
    EXPECT_NE(what.find(named), std::string::npos) << what;
    EXPECT_FALSE(f.control.OpenState());
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_FALSE(std::filesystem::exists(f.LockPath()));
}

TEST(TermiosDevice, APortAlreadyHeldIsRefusedAndSendsNothing) {
  Pty f;
  f.control.OpenState(true);
  CommControl second([&](std::int16_t) { return f.target; }, SystemClock(),
                     {f.dir.path, f.dir.path});
  std::string what;
  EXPECT_EQ(ErrorOf([&] { second.OpenState(true); }, &what), kErrPortAlreadyOpen);
  EXPECT_NE(what.find("process " + std::to_string(getpid())), std::string::npos) << what;
  EXPECT_EQ(ErrorOf([&] { second.TransmitText("from the second"); }), kErrPortNotOpen);
  // Without the lock file, the descriptor lock still keeps the port to its first holder.
  CommControl unlocked([&](std::int16_t) { return f.target; }, SystemClock(),
                       {f.dir.path, f.dir.path + "/none"});
  EXPECT_EQ(ErrorOf([&] { unlocked.OpenState(true); }), kErrPortAlreadyOpen);
  f.control.TransmitText("first");
  EXPECT_EQ(f.pty.Drain(), "first") << "the holder keeps its port, and only its bytes went out";
}

TEST(TermiosDevice, ThousandCloseOpenCyclesLeaveNothingBehindAndInventNoModemLines) {
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  Pty f;
  testing::EventLog log(f.control);
  f.control.OpenState(true);
  f.control.OpenState(false);
  const long fds = OpenDescriptors();
  for (int i = 0; i < 1000; ++i) {
    // Lock files left by a holder that has ended, or naming no process, are taken over.
    if (i < 2) WriteFile(f.LockPath(), i == 0 ? "  " + std::to_string(ended) + "\n" : "junk\n");
    f.control.OpenState(true);
    long holder = 0;
    std::ifstream(f.LockPath()) >> holder;
    ASSERT_EQ(holder, getpid()) << i;
    f.control.RtsOn(i % 2);
    f.control.DtrOn(i % 3);
    f.control.Service();
    // A pseudo-terminal has no modem lines: they read off, and setting outputs does not fail.
    ASSERT_FALSE(f.control.CtsState() || f.control.DsrState() || f.control.DcdState()) << i;
    f.control.OpenState(false);
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_FALSE(std::filesystem::exists(f.LockPath()));
  EXPECT_TRUE(log.codes.empty());
}

TEST(TermiosDevice, SettingsTheDriverRefusesLeaveThePreviousOnes) {
  Pty f;
  f.control.LineSettings("19200,N,8,1");
  f.control.OpenState(true);
  // A pseudo-terminal always keeps eight data bits and no parity.
  for (const char* refused : {"19200,N,7,1", "19200,E,8,1"}) {
    std::string what;
    EXPECT_EQ(ErrorOf([&] { f.control.LineSettings(refused); }, &what), kErrCommState) << refused;
    EXPECT_NE(what.find(f.target), std::string::npos) << what;
    EXPECT_EQ(f.control.LineSettings(), "19200,N,8,1");
  }
  // A rate outside the standard table goes through the driver's arbitrary-rate call.
  f.control.LineSettings("123457,N,8,2");
  EXPECT_EQ(f.control.LineSettings(), "123457,N,8,2");
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
  for (int quiet = 0; quiet < 50; f.control.Service()) {
    const std::string part = f.pty.Drain(1);
    quiet = part.empty() ? quiet + 1 : 0;
    got += part;
  }
  EXPECT_GE(got.size(), 64u * 1024);
  EXPECT_LT(got.size(), block.size());
  EXPECT_TRUE(block.starts_with(got)) << "bytes were lost or reordered";

  // A close with a full buffer and a far end that no longer reads does not wait for it.
  f.control.TransmitText(block);
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
  // A real FF arrives as FF FF, a break as FF 00 00, a character c with an error as FF 00 c.
  const std::pair<std::vector<std::string>, std::string> rows[] = {
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
  for (const auto& [reads, expected] : rows) {
    Recorder sink;
    MarkDecoder decoder;
    for (const std::string& read : reads) decoder.Feed(read, kErRxParity, sink);
    EXPECT_EQ(sink.seen, expected) << ::testing::PrintToString(reads);
  }
}

}  // namespace
}  // namespace serivane::serial
