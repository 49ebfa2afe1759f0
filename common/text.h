// Small text helpers shared by the layers: blanks trimmed, ASCII case folded, fields split.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace serivane {

// `text` without the characters of `blanks` at either end.
std::string_view Trim(std::string_view text, std::string_view blanks = " \t");

// ASCII letters folded; every other byte, including those above 127, stays as it is. The
// fold does not follow the locale, so stored names compare the same everywhere.
char FoldLower(char c);
char FoldUpper(char c);
std::string Lower(std::string_view text);
std::string Upper(std::string_view text);
// True when `a` and `b` differ at most in the case of ASCII letters.
bool EqualFolded(std::string_view a, std::string_view b);

// Appends the UTF-8 bytes of the character `code` (at most U+10FFFF).
void AppendUtf8(std::string& out, std::uint32_t code);

// The fields between the separators: "a,,b" -> {"a", "", "b"}; "" -> {""}.
std::vector<std::string_view> Split(std::string_view text, char separator);

}  // namespace serivane
