#include "engine/timing.h"

#include <limits>

#include "common/conv.h"

namespace serivane::engine {

// Both formulas divide the baud rate first and keep that order: the quoted times must match
// those of the same formula evaluated in double precision, ties included.

EchoLimit EchoTimeLimit(std::int32_t chars, std::int32_t baud, int frame_bits,
                        std::int32_t timeout_ms) {
  if (baud <= 0) return {std::nullopt, "no time limit at " + DecimalText(baud) + " baud"};
  const double chars_per_second = static_cast<double>(baud) / static_cast<double>(frame_bits);
  const double wire_ms = static_cast<double>(chars) / chars_per_second * 1000.0;
  if (const std::optional<std::int32_t> ms = ToInt32(wire_ms + static_cast<double>(timeout_ms)))
    return {ms, {}};
  // The wire time of at most 32767 characters of 12 bits at 1 baud fits easily: only the added
  // timeout can carry the sum beyond 32 bits.
  return {std::nullopt, "no time limit: \"Test Timeout\" " + DecimalText(timeout_ms) +
                            " ms plus the wire time of " +
                            DecimalText(RoundHalfEven(wire_ms).value_or(0)) +
                            " ms is beyond the longest wait of " +
                            DecimalText(std::numeric_limits<std::int32_t>::max()) + " ms"};
}

std::int64_t CalculatedWireMs(std::int32_t chars, std::int32_t baud) {
  const double chars_per_second = static_cast<double>(baud) / 11.0;
  return RoundHalfEven(static_cast<double>(chars) / chars_per_second * 1000.0).value_or(0);
}

}  // namespace serivane::engine
