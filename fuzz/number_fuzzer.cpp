// The number readers take whatever a person stored or typed. Each must give a number for any
// text, with no undefined behaviour (the sanitizers watch the conversions), and a whole number
// that fits a field must survive being written as text and read again.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/conv.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace serivane;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const double number : {LeadingNumber(text), Val(text)}) {
    if (const auto whole = RoundHalfEven(number)) {
      if (std::isnan(number)) __builtin_trap();
      if (LeadingNumber(DecimalText(*whole)) != static_cast<double>(*whole) &&
          std::abs(*whole) < (std::int64_t{1} << 53))
        __builtin_trap();
    }
    if (const auto field = ToInt32(number)) {
      if (ToInt32(LeadingNumber(DecimalText(*field))) != field) __builtin_trap();
      if (ToInt32(Val(DecimalText(*field))) != field) __builtin_trap();
      (void)HexText(*field);
    }
    if (const auto field = ToInt16(number)) {
      if (ToInt16(LeadingNumber(DecimalText(*field))) != field) __builtin_trap();
    }
    if (std::isfinite(number) && std::abs(number) < 3.0e38)
      (void)SingleText(static_cast<float>(number));
  }
  (void)ParseBool(text);
  return 0;
}
