#include "engine/timing.h"

#include "common/conv.h"

namespace serivane::engine {

// Both formulas divide the baud rate first and keep that order: the quoted times must match
// those of the same formula evaluated in double precision, ties included.

std::optional<std::int32_t> EchoTimeLimitMs(std::int32_t chars, std::int32_t baud,
                                            std::int32_t timeout_ms) {
  if (baud <= 0) return std::nullopt;
  const double chars_per_second = static_cast<double>(baud) / 10.0;
  return ToInt32(static_cast<double>(chars) / chars_per_second * 1000.0 +
                 static_cast<double>(timeout_ms));
}

std::int64_t CalculatedWireMs(std::int32_t chars, std::int32_t baud) {
  const double chars_per_second = static_cast<double>(baud) / 11.0;
  return RoundHalfEven(static_cast<double>(chars) / chars_per_second * 1000.0).value_or(0);
}

}  // namespace serivane::engine
