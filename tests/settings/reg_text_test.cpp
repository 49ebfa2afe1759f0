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

}  // namespace
}  // namespace serivane::settings
