// What only a real UART driver can show: the control on the kernel's serial core and an 8250
// (16550) port. Runs on the port SERIVANE_TEST_PORT names, which must loop back: a plug wired
// TxD-RxD, RTS-CTS, DTR-DSR, or the 16550's own loopback mode (serivane-uart-loop), which also
// wires OUT1 to RI and OUT2 to DCD. CI runs it in a QEMU guest on the guest's second 16550; the
// console rows run only there (SERIVANE_GUEST_CONSOLE), because they aim at the console.
//
// In QEMU there is no wire timing, and the chip reports no line errors and no modem-status
// interrupts: the rows lean on none of them.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "serial/comm_control.h"
#include "tests/serial/control_probe.h"

namespace serivane::serial {
namespace {

using Clock = std::chrono::steady_clock;

// From the kernel's <asm/termios.h>, which cannot be included next to <termios.h>.
constexpr int kTiocmOut1 = 0x2000;
constexpr int kTiocmOut2 = 0x4000;
constexpr int kTiocmLoop = 0x8000;

// A second descriptor on the port, beside the control's: for what the control does not offer
// (OUT1, OUT2, the driver's view of the termios and its queues).
struct RawPort {
  explicit RawPort(const std::string& path)
      : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
  int ModemBits() const {
    int bits = 0;
    return ioctl(fd.get(), TIOCMGET, &bits) == 0 ? bits : 0;
  }
  void Set(int bits, bool on) const { ioctl(fd.get(), on ? TIOCMBIS : TIOCMBIC, &bits); }
  UniqueFd fd;
};

class Uart : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* named = std::getenv("SERIVANE_TEST_PORT");
    if (named == nullptr || *named == '\0') {
      GTEST_SKIP() << "set SERIVANE_TEST_PORT to a port with a loopback plug to run this";
    }
    port = named;
    c.LineSettings("38400,N,8,1");
    c.RtsOn(true);
    c.DtrOn(true);
  }

  // Services the control until `done` holds; false after `ms` milliseconds.
  bool ServiceUntil(const std::function<bool()>& done, int ms = 10000) {
    for (const auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;) {
      c.Service();
      if (done()) return true;
      pollfd p{c.WatchFd(), POLLIN, 0};
      poll(&p, 1, 1);
    }
    return false;
  }
  void ServiceFor(int ms) {
    ServiceUntil([] { return false; }, ms);
  }
  std::string Echo(const std::string& text) {
    c.TransmitText(text);
    ServiceUntil([&] { return c.InBufferCount() >= static_cast<std::int32_t>(text.size()); });
    return c.ReceivedText();
  }

  std::string port;
  CommControl c{[this](std::int16_t) { return port; }};
  EventLog log{c};
};

TEST_F(Uart, AFloodNobodyReadsShowsInTheDriverCountersAndIsReportedOnce) {
  c.ReceiveThreshold(0);
  c.OpenState(true);
  RawPort raw(port);
  serial_icounter_struct before{};
  if (ioctl(raw.fd.get(), TIOCGICOUNT, &before) != 0)
    GTEST_SKIP() << "the driver keeps no counters";
  // Written past the control, which is not serviced meanwhile: the kernel's receive buffers
  // (about 1.3 MB on 6.1) fill and the driver drops the rest, counting buf_overrun.
  const std::string block(1536 * 1024, 'f');
  std::size_t sent = 0;
  for (const auto end = Clock::now() + std::chrono::seconds(60);
       sent < block.size() && Clock::now() < end;) {
    const ssize_t n = write(raw.fd.get(), block.data() + sent, block.size() - sent);
    if (n > 0) sent += static_cast<std::size_t>(n);
    pollfd p{raw.fd.get(), POLLOUT, 0};
    poll(&p, 1, 10);
  }
  ASSERT_EQ(sent, block.size());
  ServiceFor(300);
  serial_icounter_struct after{};
  ASSERT_EQ(ioctl(raw.fd.get(), TIOCGICOUNT, &after), 0);
  EXPECT_EQ(after.tx - before.tx, static_cast<int>(block.size()));
  EXPECT_GT(after.buf_overrun, before.buf_overrun) << "the flood did not overflow the driver";
  EXPECT_EQ(log.codes, Codes{kErRxOver});
  // What got through is the block's own bytes, and once it is read the port goes on working.
  for (std::string kept = c.ReceivedText(); !kept.empty(); kept = c.ReceivedText()) {
    ASSERT_EQ(kept.find_first_not_of('f'), std::string::npos);
    ServiceFor(50);
  }
  EXPECT_EQ(Echo("after the flood"), "after the flood");
}

// The 16550 divides its 115200 baud base by a whole divisor: a rate is taken when the divisor
// nearest to it makes a rate within 2 %, and refused otherwise, the previous one staying. QEMU's
// trace of the chip's parameters shows the rate really made (read by the CI stage).
TEST_F(Uart, RatesAreTakenOnlyWhereTheUartsDivisorMakesThem) {
  c.OpenState(true);
  // The standard table, termios2 with divisors 4 and 8, and divisor 16 (7200: 1.4 % slow).
  for (const char* settings : {"57600,N,8,1", "28800,N,8,1", "14400,N,8,1", "7300,N,8,1"}) {
    std::string what;
    EXPECT_EQ(ErrorOf([&] { c.LineSettings(settings); }, &what), 0) << what;
    EXPECT_EQ(c.LineSettings(), settings);
    EXPECT_EQ(Echo("rate"), "rate") << settings;
  }
  // The refusal's own wording is the rate check's; here that the driver's answer reaches it.
  for (const std::string settings : {"45056,N,8,1", "230400,N,8,1"}) {
    std::string what;
    EXPECT_EQ(ErrorOf([&] { c.LineSettings(settings); }, &what), kErrCommState) << settings;
    EXPECT_NE(what.find(port + " did not take the line settings " + settings + ": "),
              std::string::npos)
        << what;
    EXPECT_EQ(c.LineSettings(), "7300,N,8,1");
    EXPECT_EQ(Echo("rate"), "rate") << settings;
  }
}

TEST_F(Uart, EveryFrameTheProgramOffersIsHeldByTheDriver) {
  c.OpenState(true);
  const struct {
    const char* settings;
    tcflag_t cflag;  // CSIZE | PARENB | PARODD | CSTOPB as the driver must hold them
  } rows[] = {
      {"4800,E,7,1", CS7 | PARENB}, {"4800,O,7,2", CS7 | PARENB | PARODD | CSTOPB},
      {"4800,E,8,1", CS8 | PARENB}, {"4800,N,5,1", CS5},
      {"4800,N,8,2", CS8 | CSTOPB},
  };
  RawPort raw(port);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.settings);
    std::string what;
    EXPECT_EQ(ErrorOf([&] { c.LineSettings(row.settings); }, &what), 0) << what;
    termios held{};
    ASSERT_EQ(tcgetattr(raw.fd.get(), &held), 0);
    EXPECT_EQ(held.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), row.cflag);
    // Codes every frame carries whole (five data bits at least).
    EXPECT_EQ(Echo("\x01\x0A\x15\x1F"), "\x01\x0A\x15\x1F");
  }
}

TEST_F(Uart, EachModemLineChangeRaisesItsOneEvent) {
  const bool loop_mode = (RawPort(port).ModemBits() & kTiocmLoop) != 0;
  c.OpenState(true);
  RawPort raw(port);
  // Starting point: every output on, so every wired input is on.
  if (loop_mode) raw.Set(kTiocmOut1 | kTiocmOut2, true);
  ServiceFor(100);
  log.codes.clear();
  // The control drives RTS and DTR; OUT1 and OUT2 only the second descriptor can.
  const struct {
    const char* line;
    int output, input;
    Codes off, on;  // events for switching the output off, then on again
  } rows[] = {
      {"RTS to CTS", TIOCM_RTS, TIOCM_CTS, {kEvCts}, {kEvCts}},
      {"DTR to DSR", TIOCM_DTR, TIOCM_DSR, {kEvDsr}, {kEvDsr}},
      {"OUT2 to DCD", kTiocmOut2, TIOCM_CD, {kEvCd}, {kEvCd}},
      // A ring is raised when RI comes on, not when it goes off.
      {"OUT1 to RI", kTiocmOut1, TIOCM_RI, {}, {kEvRing}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    const bool by_control = row.output == TIOCM_RTS || row.output == TIOCM_DTR;
    if (!by_control && !loop_mode) continue;  // a plug has no OUT1 or OUT2
    for (const bool on : {false, true}) {
      if (row.output == TIOCM_RTS) c.RtsOn(on);
      if (row.output == TIOCM_DTR) c.DtrOn(on);
      if (!by_control) raw.Set(row.output, on);
      ServiceFor(100);  // ten line polls
      EXPECT_EQ((raw.ModemBits() & row.input) != 0, on);
      EXPECT_EQ(log.codes, on ? row.on : row.off);
      log.codes.clear();
    }
  }
  EXPECT_TRUE(c.CtsState() && c.DsrState() && (c.DcdState() || !loop_mode));
}

// The guest's console is named by the run (SERIVANE_GUEST_CONSOLE=/dev/ttyS0); nowhere else do
// these rows run, since a fault in the guard would open the machine's own console.
TEST_F(Uart, TheConsoleIsRefusedWhateverNameItHas) {
  const char* console = std::getenv("SERIVANE_GUEST_CONSOLE");
  if (console == nullptr || *console == '\0') {
    GTEST_SKIP() << "runs only in the QEMU guest, which names its console in "
                    "SERIVANE_GUEST_CONSOLE";
  }
  // A symbolic link is resolved before the guard looks (the pseudo-terminal tests show that); a
  // second device node for the console is not, and must be known by its numbers.
  const std::string twin = "/tmp/serivane-console-twin";
  struct stat st {};
  ASSERT_EQ(stat(console, &st), 0);
  std::filesystem::remove(twin);
  ASSERT_EQ(mknod(twin.c_str(), S_IFCHR | 0600, st.st_rdev), 0);
  for (const std::string& path : {std::string(console), twin}) {
    port = path;
    std::string what;
    EXPECT_EQ(ErrorOf([&] { c.OpenState(true); }, &what), kErrHardwareNotAvailable) << path;
    EXPECT_NE(what.find("system console"), std::string::npos) << what;
  }
  std::filesystem::remove(twin);
}

}  // namespace
}  // namespace serivane::serial
