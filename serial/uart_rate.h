// What a port really makes of an asked rate. A UART divides its base clock (the baud_base that
// TIOCGSERIAL reports, 115200 on a PC port) by a whole divisor, and its driver reports back the
// rate that was asked for, not the one the divisor makes: only this arithmetic tells them apart.
// Pure arithmetic, no device: the termios backend feeds them the driver's answers.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "serial/serial_error.h"

namespace serivane::serial {

// What a driver answered about a rate that was asked of it.
struct DriverRate {
  std::int32_t baud_base = 0;   // TIOCGSERIAL's baud_base; 0 when the driver gives none
  std::int32_t read_back = -1;  // the rate termios reads back; -1 when the driver cannot say
};

// The rate the port runs at, or why it cannot serve `asked`. Within 2 % of the
// asked rate both ends still agree on every bit of a frame. With a baud_base the real rate is
// the divisor's (baud_base / round(baud_base / asked), the divisor kept within 1 to 65535 as
// the chip's divisor latch holds it: 115200 asked 45056 -> 38400), and a refusal names the nearest
// rates the port makes ("45056 baud: this port makes 38400 or 57600"); without one, the read-back
// rate is checked ("the driver runs at 38400 baud"), and a driver that cannot say is taken at its
// word.
//
// The check gives the real rate, or refuses with kErrCommState and those words.
using RateCheck = Result<std::int32_t>;
inline Refusal RateRefusal(std::string reason) {
  return {kErrCommState, std::move(reason)};
}
RateCheck CheckRate(std::int32_t asked, const DriverRate& driver);

}  // namespace serivane::serial
