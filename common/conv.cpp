#include "common/conv.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace serivane {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Collects sign, digits, point and exponent from `next` (which yields characters, 0 at the end)
// into a text that strtod reads; stops at the first character that does not fit.
template <typename Next, typename Peek>
double ReadDecimal(Next next, Peek peek) {
  std::string number;
  char c = peek();
  if (c == '+' || c == '-') {
    number += c;
    next();
    c = peek();
  }
  bool digits = false;
  while (IsDigit(c)) {
    number += c;
    digits = true;
    next();
    c = peek();
  }
  if (c == '.') {
    number += '.';
    next();
    c = peek();
    while (IsDigit(c)) {
      number += c;
      digits = true;
      next();
      c = peek();
    }
  }
  if (!digits) return 0.0;
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
      next();
      c = peek();
    }
    if (exp_digits) number += exponent;
  }
  const double value = std::strtod(number.c_str(), nullptr);
  return std::isfinite(value) ? value : 0.0;
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
    const char radix_letter = static_cast<char>(std::toupper(static_cast<unsigned char>(peek())));
    int radix = 0;
    if (radix_letter == 'H') radix = 16;
    if (radix_letter == 'O') radix = 8;
    if (radix == 0) return 0.0;
    next();
    double value = 0.0;
    for (;;) {
      const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(peek())));
      int digit = -1;
      if (IsDigit(c)) digit = c - '0';
      if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0 || digit >= radix) break;
      value = value * radix + digit;
      next();
    }
    return value;
  }
  return ReadDecimal(next, peek);
}

std::optional<std::int64_t> RoundHalfEven(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  // nearbyint follows the current rounding mode, which is round-half-even unless someone
  // changed it; rint/nearbyint with FE_TONEAREST is exactly banker's rounding.
  const double rounded = std::nearbyint(value);
  if (rounded < -9.2233720368547758e18 || rounded >= 9.2233720368547758e18) return std::nullopt;
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
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  std::string word;
  for (std::size_t i = begin; i < end; ++i)
    word += static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
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
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.7g", static_cast<double>(value));
  std::string text = buffer;
  // %g may choose an exponent for very large or small values; spell those out in full.
  if (text.find('e') != std::string::npos) {
    std::snprintf(buffer, sizeof buffer, "%.7f", static_cast<double>(value));
    text = buffer;
    if (text.find('.') != std::string::npos) {
      while (!text.empty() && text.back() == '0') text.pop_back();
      if (!text.empty() && text.back() == '.') text.pop_back();
    }
  }
  if (text == "-0") text = "0";
  return text;
}

std::string HexText(std::int32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%X", static_cast<std::uint32_t>(value));
  return buffer;
}

}  // namespace serivane
