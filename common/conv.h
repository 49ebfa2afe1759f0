// Conversions between the program's numbers, booleans and texts. Several parts of the program
// read numbers that a person typed or stored by hand and write numbers that people read; they
// all go through here so that every place reads "2.5" and writes -1 the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace serivane {

// The leading number of a stored setting: blanks before it are skipped, then an optional sign,
// decimal digits, an optional "." with digits and an optional exponent (E or D, optional sign,
// digits). Reading stops at the first character that does not fit; no number gives 0. A number
// too large for a double reads as the largest double of its sign, so that it stays out of every
// field's width. "." is the decimal point whatever the locale.
// "9600.4" -> 9600.4, "3x" -> 3, "" -> 0, "  -12" -> -12.
double LeadingNumber(std::string_view text);

// The leading number of a typed answer, read the way BASIC's Val reads: blanks, tabs and line
// feeds are ignored wherever they stand ("1 000" -> 1000); optional sign, digits, decimal point,
// E or D exponent; "&H" (hexadecimal) and "&O" (octal) prefixes with their digits ("&H1F" -> 31).
// No number gives 0; one too large for a double reads as in LeadingNumber.
double Val(std::string_view text);

// Nearest whole number, a half going to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
// Not-a-number gives nullopt; so does a value beyond the range of int64.
std::optional<std::int64_t> RoundHalfEven(double value);

// RoundHalfEven into a field of 16 or 32 bits. A value that does not fit gives nullopt: the
// caller decides between its default and clamping, never a silent wrap.
std::optional<std::int16_t> ToInt16(double value);
std::optional<std::int32_t> ToInt32(double value);

// A stored boolean: "True" or "False" in any letter case (blanks around it ignored), or a text
// that starts with a number (0 is false, anything else true). Anything else gives nullopt.
std::optional<bool> ParseBool(std::string_view text);

// "True" or "False".
std::string BoolText(bool value);

// Decimal text without a leading blank; negatives start with "-".
std::string DecimalText(std::int64_t value);

// A single-precision number as decimal text with at most seven significant digits, "." as the
// decimal point only when there is a fraction, no exponent for ordinary window sizes
// (7500 -> "7500", 7500.5 -> "7500.5", 1/3 -> "0.3333333").
std::string SingleText(float value);

// Upper-case hexadecimal without leading zeros; a negative number as its eight-digit two's
// complement (255 -> "FF", 0 -> "0", -2147221502 -> "80040002").
std::string HexText(std::int32_t value);

// An error number as the window shows it: 8002 -> "Error 8002 (1F42H)".
std::string ErrorNumberText(std::int32_t number);

// A description followed by its error number in hexadecimal, as failure texts end:
// ("Device not found", 8002) -> "Device not found  (1F42H)".
std::string DescriptionWithNumber(std::string_view description, std::int32_t number);

}  // namespace serivane
