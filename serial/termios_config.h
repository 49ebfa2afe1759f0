// The termios configuration of a port, without a device: line settings to the termios2 image the
// driver is given, and the image the driver reads back to line settings again. Pure, so that
// every frame and rate tests as a table.
#pragma once

#include <cstdint>

#include "serial/comm_control.h"
#include "serial/serial_error.h"
#include "serial/termios_rate.h"

namespace serivane::serial {

// What the driver is given for line settings `config` and flow control `flow` (bit 0 XON/XOFF,
// bit 1 RTS/CTS). Every field is written, so that nothing an earlier program left behind
// survives: raw input and output, the receiver on, the modem lines not waited for, closing
// drops DTR and RTS, reads return at once (VMIN = VTIME = 0). `counters`: the driver keeps
// error counters, which then report breaks (IGNBRK); without them errors are marked in the data
// (PARMRK with INPCK: a break reads FF 00 00, a character with an error FF 00 c, an FF FF FF).
//
// A rate of the standard table goes in c_cflag as its code, with both speed fields set to it;
// any other rate has no code, and `custom_rate` holds it for SetKernelTermios to set through
// BOTHER (0 for a standard rate).
struct TermiosImage {
  KernelTermios termios;
  std::int32_t custom_rate = 0;
};
TermiosImage TermiosFor(const LineConfig& config, std::int32_t flow, bool counters);

// The line settings a termios image holds: the rate of its output speed field, parity (none
// when PARENB is off, whatever PARODD says), data bits and stop bits.
LineConfig LineConfigOf(const KernelTermios& termios);

// Whether the driver took what it was `asked`, from what it reads back (`got`). The rate is not
// looked at here: the driver echoes rates it does not make, and only the device can tell. The
// refusal (kErrCommState) names what the driver kept: "the driver keeps 7 data bits", "... keeps
// no parity", "... keeps 2 stop bits", "the driver did not take the flow control", "... raw mode".
Result<> CheckTaken(const KernelTermios& asked, const KernelTermios& got);

}  // namespace serivane::serial
