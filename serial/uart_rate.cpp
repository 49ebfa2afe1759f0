#include "serial/uart_rate.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace serivane::serial {

namespace {

// The divisor latch of a 16550 holds 16 bits.
constexpr double kMaxDivisor = 65535.0;

std::int32_t Whole(double rate) {
  return static_cast<std::int32_t>(std::lround(rate));
}

bool WithinTwoPercent(double real, std::int32_t asked) {
  return std::abs(real - static_cast<double>(asked)) * 50.0 <= static_cast<double>(asked);
}

std::string RateText(double rate) {
  return std::to_string(Whole(rate));
}

double UartDivisorRate(std::int32_t baud_base, std::int32_t asked) {
  const double base = static_cast<double>(baud_base);
  const double divisor =
      std::clamp(std::round(base / static_cast<double>(asked)), 1.0, kMaxDivisor);
  return base / divisor;
}

}  // namespace

RateCheck CheckRate(std::int32_t asked, const DriverRate& driver) {
  if (driver.baud_base <= 0) {
    if (driver.read_back <= 0) return asked;
    if (WithinTwoPercent(driver.read_back, asked)) return driver.read_back;
    return RateRefusal("the driver runs at " + std::to_string(driver.read_back) + " baud");
  }
  const double real = UartDivisorRate(driver.baud_base, asked);
  if (WithinTwoPercent(real, asked)) return Whole(real);

  const double base = static_cast<double>(driver.baud_base);
  const double quotient = base / static_cast<double>(asked);
  const std::string head = std::to_string(asked) + " baud: this port makes ";
  if (quotient < 1.0) return RateRefusal(head + "at most " + RateText(base));
  if (quotient > kMaxDivisor) return RateRefusal(head + "at least " + RateText(base / kMaxDivisor));
  // The asked rate lies between the rates of the two divisors around the quotient.
  return RateRefusal(head + RateText(base / std::ceil(quotient)) + " or " +
                     RateText(base / std::floor(quotient)));
}

}  // namespace serivane::serial
