// --sweep: a block at each of a list of rates, its echo checked and, where the device has wire
// timing, the rate the port really runs at measured from when the echo arrives.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "tools/run/checks/check.h"

namespace serivane::run {

// The rates a sweep without a list tries: the standard rates the settings take.
inline constexpr std::array<std::int32_t, 30> kSweepRates = {
    50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

// Off by more than this fraction of the asked rate, a rate is flagged. Both ends of a line still
// agree on a frame a few percent apart; a measurement over a block of about 200 ms stays well
// within it on a sound port, while an adapter 8 % off is beyond it.
inline constexpr double kSweepTolerance = 0.05;

// Each rate of `rates` (empty: kSweepRates) at the port's current frame, in order; the port is
// left at the rate it had. A rate the port refuses is reported, not failed; a rate whose echo
// is wrong, or which runs off the asked rate by more than kSweepTolerance, fails the check.
CheckOutcome RunSweepCheck(CheckContext& context, const std::vector<std::int32_t>& rates);

// A measured rate as said to people: the nearest standard rate when within 1.5 % of it, else
// the rate to three significant digits (1986 -> 1990, 229500 -> 230400).
std::int32_t AboutRate(double measured_baud);

}  // namespace serivane::run
