// --latency N: N round trips of one character each, one at a time: the time from handing the
// character to the port to reading its echo. Reports the median, the 95th and 99th percentiles
// and the maximum, and says when they point at a USB adapter's latency timer.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tools/run/checks/check.h"

namespace serivane::run {

CheckOutcome RunLatencyCheck(CheckContext& context, std::int32_t rounds);

// The p-th percentile (1 to 100) of `sorted` (ascending, not empty) by nearest rank: the least
// value that at least p % of the values do not exceed.
std::int64_t Percentile(const std::vector<std::int64_t>& sorted, int p);

// Whether round trips (microseconds, ascending) point at a USB adapter holding its echoes:
//   - its latency timer is known (L ms, above 0) and the median is at least three quarters of it;
//   - or it is a USB adapter whose timer is not known, the median is at least 1 ms beyond the
//     wire time of the character, and three quarters of the round trips lie within 125 us of a
//     whole millisecond, as the 1 ms frames of USB polling make them.
// Only for USB devices: elsewhere whole milliseconds come from how the run waits, not the port.
bool PointsAtUsbTimer(const std::vector<std::int64_t>& sorted, std::int64_t wire_us,
                      std::optional<int> latency_timer_ms, bool on_usb);

}  // namespace serivane::run
