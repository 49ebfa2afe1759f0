// The serial port control on the devices it drives. One table of behaviour runs on the virtual
// plug, on a pseudo-terminal pair whose far end echoes and, when SERIVANE_TEST_PORT names a port
// with a loopback plug fitted, on that real port. Then the virtual plug on a ManualClock, the
// refusals of bad input, and the termios backend on pseudo-terminal pairs.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "serial/comm_control.h"
#include "serial/termios_device.h"
#include "tests/serial/control_probe.h"

namespace serivane::serial {
namespace {

std::string AllCodes() {
  std::string block(256, '\0');
  for (int i = 0; i < 256; ++i) block[i] = static_cast<char>(i);
  return block;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << text;
}

struct TempDir {
  TempDir() : path((std::filesystem::temp_directory_path() / "serivane-XXXXXX").string()) {
    if (mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

// A pseudo-terminal pair whose slave side a control opens (or `target`, when changed), with the
// console guard and the lock folder pointed into a temporary folder. The test holds the master.
// Where the system has no pseudo-terminals (no devpts mounted) the pair is left out and
// `missing` says why, so that its tests skip rather than fail.
struct Pty {
  // `other`: the slave of another pair, for a second control on one device.
  explicit Pty(std::string lock_folder = "", const std::string& other = "")
      : lock_dir(std::move(lock_folder)) {
    if (!other.empty()) target = other;
    if (!missing.empty()) return;
    if (grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("pty");
    fcntl(master, F_SETFL, O_NONBLOCK);
  }
  ~Pty() { close(master); }
  // Points the console guard's sysfs at this pair's slave, as the console named `name`.
  void PretendConsole(const std::string& active) {
    struct stat st {};
    ASSERT_EQ(stat(slave.c_str(), &st), 0);
    WriteFile(dir.path + "/class/tty/console/active", active + "\n");
    WriteFile(dir.path + "/class/tty/ttyS0/dev",
              std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) + "\n");
  }
  // "/dev/pts/3" is locked as LCK..pts_3.
  std::string LockPath() const {
    return dir.path + "/LCK..pts_" + slave.substr(slave.rfind('/') + 1);
  }
  bool Readable(int wait_ms) {
    pollfd p{master, POLLIN, 0};
    return poll(&p, 1, wait_ms) > 0 && (p.revents & POLLIN);
  }
  // Sends back what reached the master, as a loopback plug does; waits a millisecond when
  // nothing did.
  void Echo() {
    char buf[4096];
    const ssize_t n = Readable(1) ? read(master, buf, sizeof buf) : 0;
    if (n > 0) echo.append(buf, static_cast<size_t>(n));
    const ssize_t w = echo.empty() ? 0 : write(master, echo.data(), echo.size());
    if (w > 0) echo.erase(0, static_cast<size_t>(w));
    if (n <= 0) usleep(1000);
  }
  // Everything the master can read until `wait_ms` pass without more.
  std::string Drain(int wait_ms = 50) {
    std::string out;
    char buf[4096];
    for (ssize_t n = 0; Readable(wait_ms) && (n = read(master, buf, sizeof buf)) > 0;) {
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  TempDir dir;
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::string missing =
      master < 0 ? std::string("no pseudo-terminals here: ") + std::strerror(errno) : "";
  std::string slave = master < 0 ? "" : ptsname(master);
  std::string target = slave;
  std::string lock_dir;
  std::string echo;
  CommControl control{[this](std::int16_t) { return target; },
                      SystemClock(),
                      {dir.path, lock_dir.empty() ? dir.path : lock_dir}};
};

enum Backend { kPlug, kPty, kRealPort };
constexpr int kVanishMs = 3'600'000;

class Loopback : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    const char* port = std::getenv("SERIVANE_TEST_PORT");
    if (backend == kRealPort && (port == nullptr || *port == '\0')) {
      GTEST_SKIP() << "set SERIVANE_TEST_PORT to a port with a loopback plug to run this";
    }
    if (backend == kPty && !pty.missing.empty()) GTEST_SKIP() << pty.missing;
    c.LineSettings("38400,N,8,1");
    c.OpenState(true);
  }
  // Services the control until `done` holds, letting a millisecond of the device's clock pass
  // between calls; false after ten seconds of it.
  bool ServiceUntil(const std::function<bool()>& done) {
    for (int ms = 0; ms < 10000; ++ms, backend == kPlug ? clock.AdvanceMillis(1) : pty.Echo()) {
      c.Service();
      if (done()) return true;
    }
    return false;
  }
  bool CountReaches(std::int32_t n) {
    return ServiceUntil([&] { return c.InBufferCount() >= n; });
  }

  const Backend backend = GetParam();
  Pty pty;
  ManualClock clock;
  CommControl other{[this](std::int16_t) -> std::string {
                      if (backend == kRealPort) return std::getenv("SERIVANE_TEST_PORT");
                      return "loopback?vanish=" + std::to_string(kVanishMs);
                    },
                    backend == kPlug ? static_cast<Clock&>(clock) : SystemClock()};
  CommControl& c = backend == kPty ? pty.control : other;
  EventLog log{c};
};

TEST_P(Loopback, EveryCodeComesBackInOrderAndReadingEmptiesTheBuffer) {
  // A run of FF is where a terminal that marks line errors in-band doubles bytes, pairs split
  // between reads included; single-character sends are where a writer may drop bytes.
  const std::string block = AllCodes() + std::string(5000, '\xFF') + AllCodes();
  c.TransmitText(block);
  for (int i = 0; i < 100; ++i) c.TransmitText("7");
  ASSERT_TRUE(CountReaches(static_cast<std::int32_t>(block.size()) + 100));
  EXPECT_EQ(c.ReceivedText(), block + std::string(100, '7'));
  c.TransmitText("again");
  ASSERT_TRUE(CountReaches(5));
  EXPECT_EQ(c.ReceivedText(), "again");
}

TEST_P(Loopback, ThresholdEventIsEdgeTriggeredAndZeroDisablesIt) {
  const auto receives = [&] { return log.Count(kEvReceive); };
  c.ReceiveThreshold(4);
  c.TransmitText("abc");
  ASSERT_TRUE(CountReaches(3));
  EXPECT_EQ(receives(), 0) << "raised below the threshold";
  c.TransmitText("d");
  ASSERT_TRUE(ServiceUntil([&] { return receives() == 1; }));
  c.TransmitText("efgh");
  ASSERT_TRUE(CountReaches(8));
  for (int i = 0; i < 20; ++i) c.Service();
  EXPECT_EQ(receives(), 1) << "raised again while the count stayed above";
  EXPECT_EQ(c.CommEvent(), kEvReceive) << "the latest code must stay";
  EXPECT_EQ(c.ReceivedText(), "abcdefgh");
  c.TransmitText("ijkl");
  EXPECT_TRUE(ServiceUntil([&] { return receives() == 2; })) << "not re-armed by the read";

  c.ReceivedText();
  c.ReceiveThreshold(0);
  c.TransmitText("0123456789");
  ASSERT_TRUE(CountReaches(10));
  for (int i = 0; i < 20; ++i) c.Service();
  EXPECT_EQ(receives(), 2);
}

TEST_P(Loopback, ALossMidTransferClosesThePortOnceAndStopsTheService) {
  if (backend == kRealPort) GTEST_SKIP() << "a real port cannot be unplugged by the test";
  c.TransmitText(std::string(3000, 'm'));
  c.Service();
  backend == kPty ? void(close(std::exchange(pty.master, -1))) : clock.AdvanceMillis(kVanishMs);
  ASSERT_TRUE(ServiceUntil([&] { return !c.OpenState(); }));
  for (int i = 0; i < 50; ++i) c.Service();
  EXPECT_EQ(c.CommEvent(), kErDeviceGone);
  EXPECT_EQ(log.Count(kErDeviceGone), 1);
  EXPECT_NE(c.LostReason().find(backend == kPty ? pty.slave : "plug"), std::string::npos)
      << c.LostReason();
  EXPECT_EQ(c.NextServiceMs(), -1) << "a lost port must not keep the event loop busy";
  EXPECT_EQ(c.WatchFd(), -1);
  EXPECT_FALSE(std::filesystem::exists(pty.LockPath()));
  EXPECT_EQ(ErrorOf([&] { c.TransmitText("x"); }), kErrPortNotOpen);
}

// An idle loop must not wake for a port whose lines change only by the program's own calls; the
// change such a call makes is still raised at the next service.
TEST_P(Loopback, AnIdlePortSetsNoDeadlineYetAnOutputChangeIsRaisedAtOnce) {
  if (backend == kRealPort) GTEST_SKIP() << "a real port's lines are polled";
  // The fixture's plug is set to vanish in an hour: its one deadline.
  const int idle = backend == kPlug ? kVanishMs : -1;
  c.Service();
  EXPECT_EQ(c.NextServiceMs(), idle);
  c.DtrOn(true);
  EXPECT_EQ(c.NextServiceMs(), 0);
  c.Service();
  EXPECT_EQ(log.codes, backend == kPlug ? (Codes{kEvDsr, kEvCd}) : Codes{});
  EXPECT_EQ(c.NextServiceMs(), idle);
}

const char* const kBackendNames[] = {"VirtualPlug", "PseudoTerminal", "RealPort"};
INSTANTIATE_TEST_SUITE_P(AllDevices, Loopback, ::testing::Values(kPlug, kPty, kRealPort),
                         [](const auto& p) { return kBackendNames[p.param]; });

TEST(VirtualPlug, CharactersArriveAfterTheirWireTimeWithOnlyTheirDataBits) {
  const std::tuple<const char*, int, int> rows[] = {
      {"38400,E,8,2", 12, 0xFF}, {"9600,O,7,1", 10, 0x7F}, {"300,N,5,1", 7, 0x1F}};
  for (const auto& [settings, bits, mask] : rows) {
    SCOPED_TRACE(settings);
    Plug plug;
    plug.control.LineSettings(settings);
    plug.control.OpenState(true);
    std::string masked = AllCodes();
    for (char& c : masked) c = static_cast<char>(c & mask);
    // Two sends back to back queue on the wire as one.
    plug.control.TransmitText(AllCodes().substr(0, 100));
    plug.control.TransmitText(AllCodes().substr(100));
    plug.Run(std::int64_t{256} * bits * 1'000'000 / LineConfig::Parse(settings).baud - 1);
    EXPECT_LT(plug.control.InBufferCount(), 256) << "the block arrived before its wire time";
    EXPECT_GE(plug.control.InBufferCount(), 254) << "characters held back beyond their time";
    plug.Run(2);
    EXPECT_EQ(plug.control.ReceivedText(), masked);
  }
}

// A loop that waits for events wakes when the awaited count is in, or sooner for a line error;
// with the threshold off or raised, once for the last character on the wire. At 9600 8N1 a
// character takes 1042 us.
TEST(VirtualPlug, TheEventDeadlineIsTheAwaitedCountNotTheNextCharacter) {
  const std::tuple<const char*, int, int, int> rows[] = {
      {"loopback", 10, 0, 11},         // the 10th character
      {"loopback", 0, 0, 28},          // no threshold: the 26th, the last
      {"loopback?frame=4", 10, 0, 5},  // the 4th comes with an error
      {"loopback?drop=2", 10, 0, 20},  // every 2nd is lost: the 19th brings the 10th
      {"loopback", 10, 6, 5}};         // 6 already read in: 4 more
  for (const auto& [target, threshold, first, due_ms] : rows) {
    SCOPED_TRACE(std::string(target) + " " + std::to_string(threshold));
    Plug plug(target);
    CommControl& c = plug.control;
    c.LineSettings("9600,N,8,1");
    c.OpenState(true);
    c.ReceiveThreshold(static_cast<std::int16_t>(threshold));
    c.TransmitText(std::string(static_cast<std::size_t>(first), 'a'));
    plug.Run(10'000);
    c.Service();  // the events of the open
    c.TransmitText(AllCodes().substr(1, 26 - static_cast<std::size_t>(first)));
    EXPECT_EQ(c.NextServiceMs(), 2) << "the next character";
    EXPECT_EQ(c.NextEventMs(), due_ms);
  }
}

// What the plug shows with `query` for its switches. Three characters are sent and the port is
// closed and opened again before they arrive: the trace holds the text then received for a
// ten-character send and the event codes raised; then, after the open, after RTS goes off and
// after DTR goes off, the CTS DSR DCD lines (1 on) and the events their changes raised. A failed
// open shows its error number alone.
std::string Trace(const std::string& query) {
  Plug plug("loopback?" + query);
  CommControl& c = plug.control;
  c.ReceiveThreshold(5);
  c.RtsOn(true);
  c.DtrOn(true);
  for (int open = 0; open < 2; ++open) {
    if (const auto e = ErrorOf([&] { c.OpenState(true); })) {
      return std::to_string(e) + (c.OpenState() ? " but open" : "");
    }
    if (open == 0) c.TransmitText("xyz");
    if (open == 0) c.OpenState(false);
  }
  c.TransmitText("ABCDEFGHIJ");
  plug.Run(100'000);
  std::string out = c.ReceivedText();
  for (int step = 0; step < 4; ++step) {
    if (step == 2) c.RtsOn(false);
    if (step == 3) c.DtrOn(false);
    if (step > 0) {
      plug.Run(10'000);
      out += '|';
      for (const bool on : {c.CtsState(), c.DsrState(), c.DcdState()}) out += on ? '1' : '0';
    }
    for (const auto code : plug.log.codes) out += ' ' + std::to_string(code);
    plug.log.codes.clear();
  }
  return out;
}

// Character counts run on across the close: A is the 4th character sent. slow=40 sends one
// character every 40 ms: two within 100 ms.
TEST(VirtualPlug, EachFaultSwitchShowsItsFaultAndNothingElse) {
  const std::string wired = "|111|011 3|000 4 5";  // RTS drives CTS, DTR drives DSR and DCD
  const std::pair<const char*, std::string> rows[] = {
      {"", "ABCDEFGHIJ 2" + wired},
      {"echo=off", wired},
      {"drop=4", "BCDFGHJ 2" + wired},
      {"echo=off&break=8", wired},
      {"corrupt=4", "@BCDDFGHHJ 2" + wired},
      {"extra=2", "ABCDEFGHIJ?? 2" + wired},
      {"slow=40", "AB" + wired},
      {"break=8", "ABCDEFGHIJ 2 1001" + wired},
      {"frame=8", "ABCDEFGHIJ 2 1004" + wired},
      {"parity=8", "ABCDEFGHIJ 2 1009" + wired},
      {"overrun=8", "ABCDFGHIJ 1006 2" + wired},
      {"ring=on", "ABCDEFGHIJ 2 6" + wired},
      {"cts=off", "ABCDEFGHIJ 2|011|011|000 4 5"},
      {"cts=on", "ABCDEFGHIJ 2|111|111|100 4 5"},
      {"dsr=off", "ABCDEFGHIJ 2|101|001 3|000 5"},
      {"dsr=on&dcd=on", "ABCDEFGHIJ 2|111|011 3|011"},
      {"busy=on", "8005"},
      {"openfail=1", "8010"},
      {"nosuch=1", "380"}};
  for (const auto& [query, trace] : rows) EXPECT_EQ(Trace(query), trace) << query;
}

TEST(VirtualPlug, AFloodNobodyReadsIsCutAtTheReceiveBufferAndSaidSo) {
  Plug plug;
  plug.control.ReceiveThreshold(0);
  plug.control.LineSettings("4000000,N,8,1");
  plug.control.OpenState(true);
  plug.control.TransmitText(std::string(70000, 'f'));
  // The plug takes 65536 at once; the rest waits in the send buffer until the plug has room.
  plug.Run(1'000'000);
  plug.Run(1'000'000);
  EXPECT_EQ(plug.control.InBufferCount(), 65536);
  EXPECT_EQ(plug.log.codes, Codes{kErRxOver});
}

// A switch is refused when its count is beyond its field or not a count, never cut down; the
// refusal names the limit.
TEST(VirtualPlug, SwitchesHaveLimits) {
  std::string what;
  for (const char* query :
       {"extra=1025", "opendelay=2147483648", "slow=60001", "delay=60001", "drop=-1", "drop",
        "wiring=half", "ri=maybe", "breaks=sometimes", "echo=yes"}) {
    Plug plug(std::string("loopback?") + query);
    EXPECT_EQ(ErrorOf([&] { plug.control.OpenState(true); }, &what), kErrInvalidPropertyValue)
        << query;
  }
  EXPECT_NE(what.find("invalid switch \"echo=yes\""), std::string::npos) << what;
  EXPECT_EQ(ErrorOf([] {
              Plug("loopback?EXTRA=1024&OpenDelay=2147483647&&drop=0").control.OpenState(true);
            }),
            0);
}

TEST(ControlRefusals, BadInputIsRefusedNamingWhatIsWrongAndChangesNothing) {
  Plug plug;
  CommControl& c = plug.control;
  c.PortNumber(3);
  c.LineSettings(" 19200 , e , 7 , 1 ");
  for (const char* text : {"19200,X,7,1", "19200,NN,7,1", "19200,N,9,1", "19200,N,4,1",
                           "19200,N,8,0", "19200,N,8,3", "0,N,8,1", "+9600,N,8,1", "fast,N,8,1",
                           "99999999999,N,8,1", "19200,N,8", "19200,N,8,1,1"}) {
    EXPECT_EQ(ErrorOf([&] { c.LineSettings(text); }), kErrInvalidPropertyValue) << text;
  }
  EXPECT_EQ(ErrorOf([&] { c.PortNumber(0); }), kErrInvalidPortNumber);
  EXPECT_EQ(ErrorOf([&] { c.FlowControl(4); }), kErrInvalidPropertyValue);
  EXPECT_EQ(ErrorOf([&] { c.ReceiveThreshold(-1); }), kErrInvalidPropertyValue);
  EXPECT_EQ(ErrorOf([&] { c.TransmitText("x"); }), kErrPortNotOpen);
  EXPECT_EQ(ErrorOf([&] { c.ReceivedText(); }), kErrPortNotOpen);
  c.OpenState(true);
  EXPECT_EQ(ErrorOf([&] { c.PortNumber(4); }), kErrPortAlreadyOpen);
  EXPECT_EQ(c.PortNumber(), 3);
  EXPECT_EQ(c.LineSettings(), "19200,E,7,1");
}

long OpenDescriptors() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return std::distance(begin(fds), end(fds));
}

class TermiosDevice : public ::testing::Test, public Pty {
 protected:
  void SetUp() override {
    if (!missing.empty()) GTEST_SKIP() << missing;
  }
};

// The console is known by its device numbers, whatever name or link reaches it: here the
// pseudo-terminal stands in for ttyS0, the console sysfs names.
TEST_F(TermiosDevice, RefusedOpensNameThePathAndTheReasonAndHoldNothing) {
  WriteFile(dir.path + "/plain", "text");
  const std::string link = dir.path + "/console-link";
  ASSERT_EQ(symlink(slave.c_str(), link.c_str()), 0);
  const long fds = OpenDescriptors();
  for (const auto& [path, error, named] :
       {std::tuple{std::string("/dev/serivane-no-such-port"), kErrInvalidPortNumber, "No such"},
        {dir.path + "/plain", kErrInvalidPortNumber, "not a terminal"},
        {"/dev/null", kErrInvalidPortNumber, "not a terminal"},
        {slave, kErrCommState, "did not take the line settings 9600,N,7,1"},
        {slave, kErrHardwareNotAvailable, "system console (ttyS0)"},
        {link, kErrHardwareNotAvailable, "system console (ttyS0)"}}) {
    target = path;
    control.LineSettings(error == kErrCommState ? "9600,N,7,1" : "9600,N,8,1");
    if (error == kErrHardwareNotAvailable) PretendConsole("tty0 ttyS0");
    std::string what;
    EXPECT_EQ(ErrorOf([&] { control.OpenState(true); }, &what), error) << path;
    EXPECT_NE(what.find(path), std::string::npos) << what;
    EXPECT_NE(what.find(named), std::string::npos) << what;
    EXPECT_FALSE(control.OpenState());
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_FALSE(std::filesystem::exists(LockPath()));
}

// /dev/tty stands for the controlling terminal, which may be the console: the guard looks at the
// terminal behind it. The child makes the pseudo-terminal its controlling terminal.
TEST_F(TermiosDevice, TheConsoleBehindTheControllingTerminalIsRefused) {
  PretendConsole("ttyS0");
  target = "/dev/tty";
  const pid_t child = fork();
  if (child == 0) {
    const int fd = (setsid() < 0) ? -1 : open(slave.c_str(), O_RDWR);
    if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0) _exit(2);
    std::string what;
    const bool refused =
        ErrorOf([&] { control.OpenState(true); }, &what) == kErrHardwareNotAvailable &&
        what.find("system console (ttyS0)") != std::string::npos;
    _exit(refused ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A pseudo-terminal keeps eight data bits and no parity. A refused setting leaves the driver as
// it was (the pair shares one termios, read here from the master); a rate outside the standard
// table goes through the driver's arbitrary-rate call.
TEST_F(TermiosDevice, ASettingTheDriverRefusesLeavesItAsItWas) {
  control.LineSettings("19200,N,8,2");
  control.OpenState(true);
  std::string what;
  EXPECT_EQ(ErrorOf([&] { control.LineSettings("9600,E,8,1"); }, &what), kErrCommState);
  EXPECT_NE(what.find(slave), std::string::npos) << what;
  EXPECT_EQ(control.LineSettings(), "19200,N,8,2");
  termios held{};
  ASSERT_EQ(tcgetattr(master, &held), 0);
  EXPECT_EQ(cfgetospeed(&held), B19200);
  EXPECT_EQ(held.c_cflag & (CSIZE | CSTOPB | PARENB), tcflag_t{CS8 | CSTOPB});
  EXPECT_EQ(ErrorOf([&] { control.LineSettings("123457,N,8,1"); }), 0);
  ASSERT_EQ(tcgetattr(master, &held), 0);
  EXPECT_EQ(held.c_cflag & (CSIZE | CSTOPB | PARENB), tcflag_t{CS8});
}

long Holder(const std::string& lock_path) {
  long holder = 0;
  std::ifstream(lock_path) >> holder;
  return holder;
}

// What may stand under the lock's name at an open, before the first open or between a close and
// the reopen (when the kept lock is only a claim that the reopen checks again). A lock of a
// holder that has ended, or naming no process, is taken over; a live holder's is refused and
// left; someone else's FIFO or link is refused at once (an alarm ends an open that waits on the
// FIFO), named, and left alone. The link leads to a file naming a live process: followed, it
// would read as "in use" instead. Last, a program that ignores lock files holds the port.
TEST_F(TermiosDevice, WhatStandsUnderTheLockNameDecidesTheOpen) {
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  const std::string holder = dir.path + "/holder";
  WriteFile(holder, std::to_string(getpid()) + "\n");
  Pty unlocked(dir.path + "/none", slave);
  // {what, opened and closed first (so that the open is a reopen), how it is planted, the error,
  // what the refusal names}
  using Case = std::tuple<const char*, bool, std::function<int()>, std::int32_t, std::string>;
  const auto write = [&](const std::string& text) {
    return [&, text] { return WriteFile(LockPath(), text), 0; };
  };
  const std::vector<Case> cases{
      {"ended holder", false, write("  " + std::to_string(ended) + "\n"), 0, ""},
      {"junk", false, write("junk\n"), 0, ""},
      {"live holder", false, write("         1\n"), kErrPortAlreadyOpen, "process 1"},
      {"kept lock removed", true, [&] { return remove(LockPath().c_str()); }, 0, ""},
      {"kept lock taken over", true, write("         1\n"), kErrPortAlreadyOpen, "process 1"},
      {"FIFO", false, [&] { return mkfifo(LockPath().c_str(), 0666); }, kErrHardwareNotAvailable,
       LockPath() + " is a FIFO"},
      {"link", false, [&] { return symlink(holder.c_str(), LockPath().c_str()); },
       kErrHardwareNotAvailable, LockPath() + " is a symbolic link"},
      {"unlocked program", true, [&] { return unlocked.control.OpenState(true), 0; },
       kErrPortAlreadyOpen, ""},
  };
  for (const auto& [name, kept, plant, error, named] : cases) {
    SCOPED_TRACE(name);
    if (kept) control.OpenState(true), control.OpenState(false);
    ASSERT_EQ(plant(), 0);
    const auto planted = std::filesystem::symlink_status(LockPath()).type();
    std::string what;
    alarm(5);
    EXPECT_EQ(ErrorOf([&] { control.OpenState(true); }, &what), error);
    alarm(0);
    EXPECT_NE(what.find(named), std::string::npos) << what;
    if (error == 0 || named.starts_with("process")) {
      EXPECT_EQ(Holder(LockPath()), error == 0 ? getpid() : 1);
    } else if (named.empty()) {
      EXPECT_FALSE(std::filesystem::exists(LockPath())) << "the refused reopen kept its lock";
    } else {
      EXPECT_EQ(std::filesystem::symlink_status(LockPath()).type(), planted) << "not left alone";
    }
    control.Release();
    std::filesystem::remove(LockPath());
  }
}

// The lock file is taken at the first open and kept over a close for a reopen of the same
// device, so that another process never finds the port free in between; every way of leaving
// the device lets it go, and a lock another process took over meanwhile stays. A thousand
// cycles leave no descriptor behind, and a pseudo-terminal's missing modem lines read off.
TEST_F(TermiosDevice, TheLockOutlivesACloseForAReopenAndGoesWithTheDevice) {
  EventLog log(control);
  control.OpenState(true);
  control.OpenState(false);
  const long fds = OpenDescriptors();
  for (int i = 0; i < 1000; ++i) {
    control.OpenState(true);
    control.RtsOn(i % 2);
    control.DtrOn(i % 3);
    control.Service();
    ASSERT_FALSE(control.CtsState() || control.DsrState() || control.DcdState()) << i;
    control.OpenState(false);
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_TRUE(log.codes.empty());
  EXPECT_EQ(Holder(LockPath()), getpid()) << "the close let go of the lock";
  Pty second(dir.path, slave);
  std::string what;
  EXPECT_EQ(ErrorOf([&] { second.control.OpenState(true); }, &what), kErrPortAlreadyOpen);
  EXPECT_NE(what.find("process " + std::to_string(getpid())), std::string::npos) << what;
  control.PortNumber(1);
  EXPECT_TRUE(std::filesystem::exists(LockPath())) << "the same port number keeps it";

  const std::pair<const char*, std::function<void()>> leaves[] = {
      {"another port number", [&] { control.PortNumber(2); }},
      {"the plug", [&] { target = "loopback", control.OpenState(true); }},
      {"a port number that names nothing now",
       [&] { target = "", ErrorOf([&] { control.OpenState(true); }); }},
      {"Release", [&] { control.Release(); }}};
  for (const auto& [how, leave] : leaves) {
    target = slave;
    control.PortNumber(1);
    control.OpenState(true);
    control.OpenState(false);
    leave();
    EXPECT_FALSE(std::filesystem::exists(LockPath())) << how;
    control.OpenState(false);
  }
  {
    Pty scoped(dir.path, slave);
    scoped.control.OpenState(true), scoped.control.OpenState(false);
  }
  EXPECT_FALSE(std::filesystem::exists(LockPath())) << "destroyed";
  // Taken over in place or by a new file: not the release's to remove.
  for (const bool in_place : {true, false}) {
    control.OpenState(true);
    if (!in_place) std::filesystem::remove(LockPath());
    WriteFile(LockPath(), "         1\n");
    control.Release();
    EXPECT_TRUE(std::filesystem::exists(LockPath())) << in_place;
    std::filesystem::remove(LockPath());
  }
}

// sysfs as the kernel shows an FT232BM on ftdi_sio, here for the pseudo-terminal: the chip's
// divisor rule decides, although the terminal reads back every rate it is given.
TEST_F(TermiosDevice, AnFtdiAdapterIsHeldToTheRateItsChipMakes) {
  const std::string usb = dir.path + "/devices/usb1/1-1";
  const std::string port = usb + "/1-1:1.0/ttyUSB0";
  WriteFile(usb + "/bcdDevice", "0400\n");
  WriteFile(usb + "/idProduct", "6001\n");
  const std::string bus = dir.path + "/bus/usb-serial",
                    tty = dir.path + "/class/tty/" + slave.substr(5);
  WriteFile(port + "/latency_timer", "16\n");
  std::filesystem::create_directories(bus + "/drivers/ftdi_sio");
  std::filesystem::create_directories(tty);
  for (const auto& [to, from] : {std::pair{bus, port + "/subsystem"},
                                 {bus + "/drivers/ftdi_sio", port + "/driver"},
                                 {port, tty + "/device"}})
    ASSERT_EQ(symlink(to.c_str(), from.c_str()), 0) << from;
  std::string what;
  control.LineSettings("2500000,N,8,1");
  EXPECT_EQ(ErrorOf([&] { control.OpenState(true); }, &what), kErrCommState);
  EXPECT_NE(what.find("2500000 baud: this port makes 2000000 or 3000000"), std::string::npos)
      << what;
}

TEST_F(TermiosDevice, SendingBeyondTheBufferIsRefusedLoudlyAndLosesNothingBefore) {
  EventLog log(control);
  control.OpenState(true);
  std::string block(256 * 1024, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
  control.TransmitText(block);
  control.Service();
  EXPECT_EQ(log.codes, Codes{kErTxFull});
  // The far end reads now: it gets an unbroken start of the block, at least as long as the
  // control's own buffer.
  std::string got;
  for (int quiet = 0; quiet < 50; control.Service()) {
    const std::string part = Drain(1);
    quiet = part.empty() ? quiet + 1 : 0;
    got += part;
  }
  EXPECT_GE(got.size(), 64u * 1024);
  EXPECT_LT(got.size(), block.size());
  EXPECT_TRUE(block.starts_with(got)) << "bytes were lost or reordered";
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
      {{"a\xFF\xFF", "\xFF", "\xFFz"}, "a\xFF\xFFz"},
      {{"a\xFF\0\0z"s}, "a<1001>z"},
      {{"a\xFF", "\0"s, "\0z"s}, "a<1001>z"},
      {{"a\xFF\0Zz"s}, "aZ<1009>z"},
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
