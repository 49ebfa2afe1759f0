#include "common/conv.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "common/text.h"

namespace serivane {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads sign, digits, point and exponent from `next`/`peek` (`peek` yields 0 at the end) and
// stops at the first character that does not fit. The text goes to from_chars, not strtod:
// the window toolkit switches the C library to the user's locale, where strtod would stop at
// the "." of "2.5" under a decimal comma.
template <typename Next, typename Peek>
double ReadDecimal(Next next, Peek peek) {
  bool negative = false;
  char c = peek();
  if (c == '+' || c == '-') {
    negative = c == '-';
    next();
    c = peek();
  }
  std::string number;
  // Where the first significant digit stands relative to the point, for telling an overflow
  // from an underflow when from_chars gives up on a number beyond double.
  int magnitude = 0;
  bool significant = false;
  while (IsDigit(c)) {
    number += c;
    if (c != '0') significant = true;
    if (significant) ++magnitude;
    next();
    c = peek();
  }
  if (c == '.') {
    number += '.';
    next();
    c = peek();
    while (IsDigit(c)) {
      number += c;
      if (!significant) {
        if (c != '0') significant = true;
        --magnitude;
      }
      next();
      c = peek();
    }
  }
  if (number.empty() || number == ".") return 0.0;
  if (!significant) return 0.0;
  long exponent_value = 0;
  if (c == 'e' || c == 'E' || c == 'd' || c == 'D') {
    std::string exponent = "e";
    next();
    c = peek();
    if (c == '+' || c == '-') {
      exponent += c;
      next();
      c = peek();
    }
    bool exp_digits = false;
    while (IsDigit(c)) {
      exponent += c;
      exp_digits = true;
      // Saturate: only the sign of the final magnitude matters beyond this.
      if (exponent_value < 100000) exponent_value = exponent_value * 10 + (c - '0');
      next();
      c = peek();
    }
    if (exp_digits) {
      number += exponent;
      if (exponent[1] == '-') exponent_value = -exponent_value;
    } else {
      exponent_value = 0;
    }
  }
  double value = 0.0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error == std::errc::result_out_of_range) {
    value = magnitude + exponent_value > 0 ? std::numeric_limits<double>::max() : 0.0;
  } else if (error != std::errc() || end != number.data() + number.size()) {
    value = 0.0;
  }
  return negative ? -value : value;
}

}  // namespace

double LeadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  auto peek = [&]() -> char { return i < text.size() ? text[i] : '\0'; };
  auto next = [&]() { ++i; };
  return ReadDecimal(next, peek);
}

double Val(std::string_view text) {
  std::size_t i = 0;
  auto skip = [&]() {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
  };
  auto peek = [&]() -> char {
    skip();
    return i < text.size() ? text[i] : '\0';
  };
  auto next = [&]() { ++i; };

  if (peek() == '&') {
    next();
    const char radix_letter = FoldUpper(peek());
    int radix = 0;
    if (radix_letter == 'H') radix = 16;
    if (radix_letter == 'O') radix = 8;
    if (radix == 0) return 0.0;
    next();
    double value = 0.0;
    for (;;) {
      const char c = FoldUpper(peek());
      int digit = -1;
      if (IsDigit(c)) digit = c - '0';
      if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0 || digit >= radix) break;
      value = value * radix + digit;
      next();
    }
    return std::isfinite(value) ? value : std::numeric_limits<double>::max();
  }
  return ReadDecimal(next, peek);
}

std::optional<std::int64_t> RoundHalfEven(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  // Worked out by hand rather than with nearbyint, which follows whatever rounding mode the
  // floating-point environment was last switched to.
  double rounded = std::floor(value);
  const double fraction = value - rounded;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
  // 2^63 is the first value int64 cannot hold; -2^63 is the last one it can.
  if (rounded < -9223372036854775808.0 || rounded >= 9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(rounded);
}

std::optional<std::int16_t> ToInt16(double value) {
  const auto rounded = RoundHalfEven(value);
  if (!rounded || *rounded < std::numeric_limits<std::int16_t>::min() ||
      *rounded > std::numeric_limits<std::int16_t>::max())
    return std::nullopt;
  return static_cast<std::int16_t>(*rounded);
}

std::optional<std::int32_t> ToInt32(double value) {
  const auto rounded = RoundHalfEven(value);
  if (!rounded || *rounded < std::numeric_limits<std::int32_t>::min() ||
      *rounded > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(*rounded);
}

std::optional<bool> ParseBool(std::string_view text) {
  const std::string word = Lower(Trim(text));
  if (word == "true") return true;
  if (word == "false") return false;
  // A number: it must start the text, so "x1" is no boolean while "-1" and "0" are.
  std::size_t i = 0;
  if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
  if (i < word.size() && word[i] == '.') ++i;
  if (i >= word.size() || !IsDigit(word[i])) return std::nullopt;
  return LeadingNumber(word) != 0.0;
}

std::string BoolText(bool value) {
  return value ? "True" : "False";
}

std::string DecimalText(std::int64_t value) {
  return std::to_string(value);
}

std::string SingleText(float value) {
  if (!std::isfinite(value)) return "0";
  // Seven significant digits in scientific form ("7.500500e+03"), then spelled out in full:
  // printf's %g would use the locale's decimal point and an exponent for large values.
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 6);
  const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = scientific.find('e');
  const bool negative = scientific.front() == '-';
  std::string digits;
  for (char c : scientific.substr(0, e))
    if (IsDigit(c)) digits += c;
  int exponent = 0;
  std::from_chars(scientific.data() + e + 1 + (scientific[e + 1] == '+' ? 1 : 0),
                  scientific.data() + scientific.size(), exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  if (digits == "0") return "0";

  std::string text;
  if (exponent < 0) {
    text = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  } else {
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= whole) {
      text = digits + std::string(whole - digits.size(), '0');
    } else {
      text = digits.substr(0, whole) + "." + digits.substr(whole);
    }
  }
  return negative ? "-" + text : text;
}

std::string HexText(std::int32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%X", static_cast<std::uint32_t>(value));
  return buffer;
}

std::string ErrorNumberText(std::int32_t number) {
  return "Error " + DecimalText(number) + " (" + HexText(number) + "H)";
}

}  // namespace serivane
