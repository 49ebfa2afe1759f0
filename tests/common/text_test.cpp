#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/paths.h"
#include "common/text.h"

namespace serivane {
namespace {

TEST(TextTest, FoldsEveryAsciiLetterAndNothingElse) {
  const std::string upper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  const std::string lower = "abcdefghijklmnopqrstuvwxyz";
  EXPECT_EQ(Lower(upper), lower);
  EXPECT_EQ(Upper(lower), upper);
  // The neighbours of both alphabets, digits and bytes above 127 (Latin-1 "Ä", UTF-8 "é") stay.
  const std::string others = "@[`{09 _\xC4\xE4\xC3\xA9\x7F";
  EXPECT_EQ(Lower(others), others);
  EXPECT_EQ(Upper(others), others);
}

TEST(TextTest, TrimAndSplit) {
  EXPECT_EQ(Trim(" \t a b \t "), "a b");
  EXPECT_EQ(Trim("\r\nx\n"), "\r\nx\n");  // blanks and tabs only, unless told

  const std::pair<std::string_view, std::vector<std::string_view>> cases[] = {
      {"", {""}},
      {"a", {"a"}},
      {"9600,n,8,1", {"9600", "n", "8", "1"}},
      {",a,,b,", {"", "a", "", "b", ""}},
  };
  for (const auto& [text, fields] : cases) EXPECT_EQ(Split(text, ','), fields) << text;
}

TEST(PathsTest, DriveLetters) {
  const std::pair<std::string_view, std::optional<std::string>> cases[] = {
      {"c:\\logs\\a.txt", "/home/op/logs/a.txt"},
      {"C:a.txt", "/home/op/a.txt"},
      {"C:", "/home/op/"},
      {"Z:\\tmp\\a.txt", "/tmp/a.txt"},
      {"z:", "/"},
      {"D:\\a.txt", std::nullopt},
      {"1:\\a.txt", "1:/a.txt"},
      {"logs\\run.txt", "logs/run.txt"},
      {"", ""},
  };
  for (const auto& [path, resolved] : cases)
    EXPECT_EQ(ResolveDrivePath(path, "/home/op/"), resolved) << path;
}

}  // namespace
}  // namespace serivane
