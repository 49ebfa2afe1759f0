#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "settings/reg_text.h"

namespace serivane::settings {
namespace {

// Each escaped text is read back by the parser as the text it came from.
TEST(RegTextTest, EscapingWritesEveryAwkwardByteSoThatItReadsBack) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain text", "plain text"},
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
    const RegTextParse parse = ParseRegText("REGEDIT4\n[K]\n\"v\"=\"" + escaped + "\"\n");
    ASSERT_FALSE(parse.error) << parse.error->message;
    ASSERT_EQ(parse.document.keys.size(), 1u);
    ASSERT_EQ(parse.document.keys[0].values.size(), 1u);
    EXPECT_EQ(parse.document.keys[0].values[0].text, text) << escaped;
  }
}

TEST(RegTextTest, KeyLinesWithoutAKeyAreRefused) {
  for (const char* line : {"[]", "[-]", "[HKLM", "[HKLM] x"}) {
    const RegTextParse parse = ParseRegText(std::string("REGEDIT4\n") + line + "\n");
    ASSERT_TRUE(parse.error) << line;
    EXPECT_EQ(parse.error->line, 2) << line;
  }
  EXPECT_EQ(ParseRegText("REGEDIT4\n[]\n").error->message, "key line without a key");
}

}  // namespace
}  // namespace serivane::settings
