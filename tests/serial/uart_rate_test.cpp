// The rate a port really runs at, from what its driver answers: a UART's base clock and whole
// divisor where the driver gives a baud_base, the read-back rate where it does not.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "serial/uart_rate.h"

namespace serivane::serial {
namespace {

TEST(UartRate, RealRateOrRefusalFromTheDriversAnswers) {
  // {baud_base, read back, asked, the rate taken or the refusal's reason}. The 8250 driver reads
  // back whatever was asked; only the divisor tells the truth.
  const std::tuple<std::int32_t, std::int32_t, std::int32_t, std::string> cases[] = {
      {115200, 45056, 45056, "45056 baud: this port makes 38400 or 57600"},
      {115200, 100000, 100000, "100000 baud: this port makes 57600 or 115200"},
      {115200, 115200, 250000, "250000 baud: this port makes at most 115200"},
      {115200, 115200, 115200, "115200"},
      {115200, 113000, 113000, "115200"},  // 1.9 % fast: both ends still agree
      {115200, 56000, 56000, "56000 baud: this port makes 38400 or 57600"},  // 2.9 %
      {115200, 1, 1, "1 baud: this port makes at least 2"},
      {1500000, 250000, 250000, "250000"},  // a 24 MHz UART divides it exactly
      {1500000, 45056, 45056, "45455"},     // divisor 33: 0.9 % fast
      // Drivers without a base clock: the read-back rate is checked, or taken at its word.
      {0, 45056, 45056, "45056"},
      {0, 38400, 45056, "the driver runs at 38400 baud"},
      {0, 51, 50, "51"},  // 2 % off exactly: still taken
      {0, 52, 50, "the driver runs at 52 baud"},
      {0, -1, 45056, "45056"}};
  for (const auto& [baud_base, read_back, asked, outcome] : cases) {
    const RateCheck got = CheckRate(asked, {baud_base, read_back});
    EXPECT_EQ(got.ok() ? std::to_string(got.value()) : got.refusal().reason, outcome) << asked;
  }
}

}  // namespace
}  // namespace serivane::serial
