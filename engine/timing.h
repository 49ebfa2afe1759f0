// The time arithmetic of the data tests, kept apart so that the rounding rules can be checked
// without a port. All results are whole milliseconds, a half going to the even neighbour.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace serivane::engine {

// How long a data test waits for its echo: the wire time of `chars` characters of `frame_bits`
// bits each (LineConfig::BitsPerCharacter), plus `timeout_ms`. When there is no meaningful limit
// (`baud` not above 0, or the sum beyond 32 bits) `ms` is empty and `refusal` names the setting
// that leaves none. 256 characters at 38400 baud, 10 bits, 2000 ms -> 2067.
struct EchoLimit {
  std::optional<std::int32_t> ms;
  std::string refusal;
};
EchoLimit EchoTimeLimit(std::int32_t chars, std::int32_t baud, int frame_bits,
                        std::int32_t timeout_ms);

// The wire time of `chars` characters at 11 bits per character, as the Data Tx/Rx line quotes
// it. `baud` must be above 0. 256 characters at 38400 baud -> 73.
std::int64_t CalculatedWireMs(std::int32_t chars, std::int32_t baud);

}  // namespace serivane::engine
