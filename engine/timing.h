// The time arithmetic of the data tests, kept apart so that the rounding rules can be checked
// without a port. All results are whole milliseconds, a half going to the even neighbour.
#pragma once

#include <cstdint>
#include <optional>

namespace serivane::engine {

// How long a data test waits for its echo: the wire time of `chars` characters at 10 bits per
// character plus `timeout_ms`. nullopt when `baud` is not above 0 or the result does not fit
// 32 bits: there is then no meaningful limit and the test cannot run.
// 256 characters at 38400 baud with 2000 ms -> 2067.
std::optional<std::int32_t> EchoTimeLimitMs(std::int32_t chars, std::int32_t baud,
                                            std::int32_t timeout_ms);

// The wire time of `chars` characters at 11 bits per character, as the Data Tx/Rx line quotes
// it. `baud` must be above 0. 256 characters at 38400 baud -> 73.
std::int64_t CalculatedWireMs(std::int32_t chars, std::int32_t baud);

}  // namespace serivane::engine
