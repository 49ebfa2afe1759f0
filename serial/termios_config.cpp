// <termios.h> names the flag bits; termios_rate.h keeps the kernel's own header away from it.
#include "serial/termios_config.h"

#include <termios.h>

#include <algorithm>
#include <array>
#include <string>

namespace serivane::serial {

namespace {

struct Rate {
  std::int32_t baud;
  speed_t code;
};
constexpr std::array kStandardRates = {
    Rate{50, B50},           Rate{75, B75},           Rate{110, B110},
    Rate{134, B134},         Rate{150, B150},         Rate{200, B200},
    Rate{300, B300},         Rate{600, B600},         Rate{1200, B1200},
    Rate{1800, B1800},       Rate{2400, B2400},       Rate{4800, B4800},
    Rate{9600, B9600},       Rate{19200, B19200},     Rate{38400, B38400},
    Rate{57600, B57600},     Rate{115200, B115200},   Rate{230400, B230400},
    Rate{460800, B460800},   Rate{500000, B500000},   Rate{576000, B576000},
    Rate{921600, B921600},   Rate{1000000, B1000000}, Rate{1152000, B1152000},
    Rate{1500000, B1500000}, Rate{2000000, B2000000}, Rate{2500000, B2500000},
    Rate{3000000, B3000000}, Rate{3500000, B3500000}, Rate{4000000, B4000000},
};

tcflag_t SizeBits(int data_bits) {
  switch (data_bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

int DataBitsOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

const char* ParityWord(char parity) {
  if (parity == 'N') return "no parity";
  return parity == 'O' ? "odd parity" : "even parity";
}

}  // namespace

TermiosImage TermiosFor(const LineConfig& config, std::int32_t flow, bool counters) {
  TermiosImage image;
  KernelTermios& t = image.termios;
  t.cflag = CREAD | CLOCAL | HUPCL | SizeBits(config.data_bits);
  if (config.parity != 'N') t.cflag |= PARENB;
  if (config.parity == 'O') t.cflag |= PARODD;
  if (config.stop_bits == 2) t.cflag |= CSTOPB;
  if (flow & 2) t.cflag |= CRTSCTS;
  if (flow & 1) t.iflag |= IXON | IXOFF;
  // INPCK is needed for framing errors to be marked too.
  t.iflag |= counters ? IGNBRK : PARMRK | INPCK;
  t.cc[VMIN] = 0;
  t.cc[VTIME] = 0;
  t.cc[VSTART] = 0x11;
  t.cc[VSTOP] = 0x13;

  // The input rate follows the output rate when its own code is left 0.
  const auto standard = std::find_if(kStandardRates.begin(), kStandardRates.end(),
                                     [&](const Rate& r) { return r.baud == config.baud; });
  if (standard != kStandardRates.end()) {
    t.cflag |= standard->code;
  } else {
    image.custom_rate = config.baud;
  }
  t.ispeed = t.ospeed = static_cast<std::uint32_t>(config.baud);
  return image;
}

LineConfig LineConfigOf(const KernelTermios& t) {
  LineConfig config;
  config.baud = static_cast<std::int32_t>(t.ospeed);
  config.parity = !(t.cflag & PARENB) ? 'N' : (t.cflag & PARODD) ? 'O' : 'E';
  config.data_bits = DataBitsOf(t.cflag);
  config.stop_bits = (t.cflag & CSTOPB) ? 2 : 1;
  return config;
}

Result<> CheckTaken(const KernelTermios& asked, const KernelTermios& got) {
  const LineConfig want = LineConfigOf(asked);
  const LineConfig kept = LineConfigOf(got);
  const auto refuse = [](const std::string& reason) { return Refusal{kErrCommState, reason}; };
  if (kept.data_bits != want.data_bits) {
    return refuse("the driver keeps " + std::to_string(kept.data_bits) + " data bits");
  }
  if (kept.parity != want.parity) {
    return refuse(std::string("the driver keeps ") + ParityWord(kept.parity));
  }
  if (kept.stop_bits != want.stop_bits) {
    return refuse("the driver keeps " + std::to_string(kept.stop_bits) + " stop bits");
  }
  if ((got.cflag & CRTSCTS) != (asked.cflag & CRTSCTS) ||
      (got.iflag & (IXON | IXOFF)) != (asked.iflag & (IXON | IXOFF))) {
    return refuse("the driver did not take the flow control");
  }
  if ((got.lflag & (ICANON | ECHO | ISIG)) != 0 || (got.cflag & CREAD) == 0) {
    return refuse("the driver did not take raw mode");
  }
  return Done{};
}

}  // namespace serivane::serial
