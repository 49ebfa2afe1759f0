#include "settings/reg_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace serivane::settings {
namespace {

// The one value of the one key of a parsed text; what the parser said when it failed.
std::string ValueOf(const std::string& text) {
  const RegTextParse parse = ParseRegText(text);
  if (parse.error) return "error: " + parse.error->message;
  if (parse.document.keys.size() != 1 || parse.document.keys[0].values.size() != 1) return "?";
  return parse.document.keys[0].values[0].text.value_or("not a string");
}

// Each escaped text is read back by the parser as the text it came from; a bad escape or key line
// is refused.
TEST(RegTextTest, EscapedTextsReadBackAndBadLinesAreRefused) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\Logs\\", "C:\\\\Logs\\\\"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {std::string("\0\x01\x1F\x7F", 4), "\\x00\\x01\\x1F\\x7F"},
      {" ~", " ~"},
      {"Gr\xC3\xBC\xC3\x9F"
       "e \x80\xFF",
       "Gr\xC3\xBC\xC3\x9F"
       "e \x80\xFF"},
  };
  for (const auto& [text, escaped] : cases) {
    EXPECT_EQ(EscapeRegText(text), escaped);
    EXPECT_EQ(ValueOf("REGEDIT4\n[K]\n\"v\"=\"" + escaped + "\"\n"), text) << escaped;
  }
  EXPECT_EQ(ValueOf("REGEDIT4\n[K]\n\"v\"=\"\\q\"\n"), "error: value text: unknown escape \\q");
  for (const char* line : {"[]", "[-]", "[HKLM", "[HKLM] x"})
    EXPECT_EQ(ValueOf(std::string("REGEDIT4\n") + line + "\n").rfind("error: ", 0), 0u) << line;
}

// Export files of the other header come as UTF-16LE; a lone surrogate becomes U+FFFD.
TEST(RegTextTest, Utf16TextReadsAsUtf8) {
  auto utf16 = [](const std::string& ascii) {
    std::string out;
    for (const char c : ascii) out += std::string{c, '\0'};
    return out;
  };
  const std::string text =
      "\xFF\xFE" + utf16("Windows Registry Editor Version 5.00\r\n[K]\r\n\"v\"=\"") +
      std::string("\xC4\x00\x16\x04\x3D\xD8\x00\xDE\x00\xD8", 10) + utf16("\"\r\n");
  EXPECT_EQ(ValueOf(text), "\xC3\x84\xD0\x96\xF0\x9F\x98\x80\xEF\xBF\xBD");
}

// 2000-01-01 is 12,591,158,400 seconds after 1601-01-01; file times count 100 ns.
TEST(RegTextTest, LastWriteTimesAreReadToTheTenthOfAMicrosecond) {
  const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
      {"2000-01-01T00:00:00Z", 125911584000000000},
      {"2000-01-01T00:00:00.1234567Z", 125911584001234567},
      {"1601-01-01T00:00:00Z", 0},
      {"1600-12-31T23:59:59Z", std::nullopt},
      {"2000-13-01T00:00:00Z", std::nullopt},
      {"2000-01-01T00:00:00.12345678Z", std::nullopt},
      {"2000-01-01 00:00:00Z", std::nullopt},
  };
  for (const auto& [time, file_time] : cases) {
    const RegTextParse parse = ParseRegText(std::string("REGEDIT4\n[K]\n;last-write=") + time);
    EXPECT_EQ(parse.error.has_value(), !file_time) << time;
    if (file_time) {
      EXPECT_EQ(parse.document.keys.at(0).last_write, file_time) << time;
    }
  }
  EXPECT_EQ(FileTimeText(125911584001234567), "2000-01-01T00:00:00.1234567Z");
}

}  // namespace
}  // namespace serivane::settings
