// The termios image a port is given, and the read-back check, without a device. Expected flags
// are Linux's own numbers (octal, as the kernel's termbits headers write them), not the macros
// the code uses:
//   c_cflag  CS5 0, CS6 020, CS7 040, CS8 060, CSTOPB 0100, CREAD 0200, PARENB 0400,
//            PARODD 01000, HUPCL 02000, CLOCAL 04000, CRTSCTS 020000000000; rate codes
//            B300 07, B600 010, B1200 011, B2400 013, B4800 014, B9600 015, B19200 016,
//            B38400 017, B57600 010001, B115200 010002, B4000000 010017
//   c_iflag  IGNBRK 01, PARMRK 010, INPCK 020, IXON 02000, IXOFF 010000
//   c_lflag  ISIG 01, ICANON 02, ECHO 010
// so every row reads CREAD|CLOCAL|HUPCL = 06200 plus the frame and the rate.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "serial/termios_config.h"

namespace serivane::serial {
namespace {

// Every frame the window offers at 9600 baud; every rate it offers in the frame it starts with;
// what the command line may ask besides: short characters, the top of the table, and a rate
// without a code, which goes through BOTHER.
TEST(TermiosConfig, EachFrameAndRateTheProgramOffersGivesItsFlagsAndSpeeds) {
  const std::tuple<const char*, std::uint32_t, std::int32_t> rows[] = {
      {"9600,N,7,1", 06255, 0},     {"9600,N,7,2", 06355, 0},   {"9600,O,7,1", 07655, 0},
      {"9600,O,7,2", 07755, 0},     {"9600,E,7,1", 06655, 0},   {"9600,E,7,2", 06755, 0},
      {"9600,N,8,1", 06275, 0},     {"9600,N,8,2", 06375, 0},   {"9600,O,8,1", 07675, 0},
      {"9600,O,8,2", 07775, 0},     {"9600,E,8,1", 06675, 0},   {"9600,E,8,2", 06775, 0},
      {"300,N,8,1", 06267, 0},      {"600,N,8,1", 06270, 0},    {"1200,N,8,1", 06271, 0},
      {"2400,N,8,1", 06273, 0},     {"4800,N,8,1", 06274, 0},   {"19200,N,8,1", 06276, 0},
      {"38400,N,8,1", 06277, 0},    {"57600,N,8,1", 016261, 0}, {"115200,N,8,1", 016262, 0},
      {"300,N,5,1", 06207, 0},      {"300,E,6,2", 06727, 0},    {"4000000,N,8,1", 016277, 0},
      {"45056,N,8,1", 06260, 45056}};
  for (const auto& [settings, cflag, custom_rate] : rows) {
    const LineConfig config = LineConfig::Parse(settings);
    const TermiosImage image = TermiosFor(config, 0, true);
    const KernelTermios& t = image.termios;
    EXPECT_EQ(t.cflag, cflag) << settings << ": " << std::oct << t.cflag;
    const auto baud = static_cast<std::uint32_t>(config.baud);
    EXPECT_EQ(std::tuple(image.custom_rate, t.ispeed, t.ospeed, t.iflag, t.lflag | t.oflag),
              std::tuple(custom_rate, baud, baud, 01u, 0u))
        << settings;
    EXPECT_EQ(LineConfigOf(t), config) << settings;
  }
}

TEST(TermiosConfig, FlowControlAndErrorMarkingGoWhereTheDriverLooks) {
  // {flow, counters, cflag, iflag}
  const std::tuple<std::int32_t, bool, std::uint32_t, std::uint32_t> rows[] = {
      {0, false, 06275, 030},            // errors marked in the data
      {1, true, 06275, 012001},          // XON/XOFF both ways
      {2, true, 020000006275, 01},       // RTS/CTS
      {3, false, 020000006275, 012030},  // both
  };
  for (const auto& [flow, counters, cflag, iflag] : rows) {
    const KernelTermios t = TermiosFor(LineConfig::Parse("9600,N,8,1"), flow, counters).termios;
    EXPECT_EQ(std::pair(t.cflag, t.iflag), std::pair(cflag, iflag)) << flow;
    // Reads return at once (VTIME and VMIN 0); XON and XOFF are DC1 and DC3.
    EXPECT_EQ(std::vector<int>(&t.cc[5], &t.cc[10]), (std::vector<int>{0, 0, 0, 0x11, 0x13}));
  }
}

TEST(TermiosConfig, TheReadBackNamesWhatTheDriverKept) {
  // Asked: 9600,O,7,1 with RTS/CTS. {what the driver changed in cflag, iflag, lflag, the refusal
  // or "" when taken}
  const KernelTermios asked = TermiosFor(LineConfig::Parse("9600,O,7,1"), 2, true).termios;
  const std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::string> rows[] = {
      {0, 0, 0, ""},
      {020, 0, 0, "the driver keeps 8 data bits"},    // CS7 -> CS8
      {01000, 0, 0, "the driver keeps even parity"},  // PARODD dropped
      {01400, 0, 0, "the driver keeps no parity"},    // PARENB and PARODD dropped
      {0100, 0, 0, "the driver keeps 2 stop bits"},
      {020000000000, 0, 0, "the driver did not take the flow control"},
      {0, 02000, 0, "the driver did not take the flow control"},  // XON turned on
      {0, 0, 02, "the driver did not take raw mode"},             // ICANON
      {0, 0, 010, "the driver did not take raw mode"},            // ECHO
      {0200, 0, 0, "the driver did not take raw mode"},           // receiver off
      {0, 0, 0100000, ""},                                        // IEXTEN is no concern
  };
  for (const auto& [cflag_flip, iflag_flip, lflag, refusal] : rows) {
    KernelTermios got = asked;
    got.cflag ^= cflag_flip;
    got.iflag ^= iflag_flip;
    got.lflag = lflag;
    const Result<> taken = CheckTaken(asked, got);
    EXPECT_EQ(taken.ok() ? "" : taken.refusal().reason, refusal) << std::oct << got.cflag;
    if (!taken.ok()) {
      EXPECT_EQ(taken.refusal().number, kErrCommState);
    }
  }
  // With parity off, an odd-parity bit the driver leaves set means nothing.
  KernelTermios none = TermiosFor(LineConfig::Parse("9600,N,8,1"), 0, true).termios, odd_bit = none;
  odd_bit.cflag |= 01000;
  EXPECT_TRUE(CheckTaken(none, odd_bit).ok());
}

}  // namespace
}  // namespace serivane::serial
