#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include <unistd.h>

#include "common/conv.h"

namespace serivane {
namespace {

constexpr double kMax = std::numeric_limits<double>::max();

// A stored setting: its leading number, rounded half to even into a field of 16 and of 32 bits,
// as "as16/as32" with "-" where it does not fit (never a wrapped value).
std::string StoredWidths(const char* text) {
  const double number = LeadingNumber(text);
  const auto as16 = ToInt16(number);
  const auto as32 = ToInt32(number);
  return (as16 ? std::to_string(*as16) : "-") + "/" + (as32 ? std::to_string(*as32) : "-");
}

TEST(ConvTest, StoredNumberRoundsHalfToEvenIntoTheFieldWidth) {
  const std::pair<const char*, const char*> cases[] = {
      // clang-format off
      {"9600.4", "9600/9600"}, {"2.5", "2/2"}, {"3.5", "4/4"}, {"-2.5", "-2/-2"},
      {"-3.5", "-4/-4"}, {"0.49999999999999994", "0/0"},
      {"3x", "3/3"}, {"", "0/0"}, {"  -12", "-12/-12"}, {"\t+7", "7/7"}, {".5", "0/0"},
      {"1e3", "1000/1000"}, {"1D2", "100/100"}, {"2e+", "2/2"}, {"1 000", "1/1"},
      {"-.", "0/0"}, {"1e-400", "0/0"}, {"32767.5", "-/32768"}, {"-32768.5", "-32768/-32768"},
      {"-32769.5", "-/-32770"}, {"2147483646.5", "-/2147483646"}, {"2147483647.5", "-/-"},
      {"-2147483648.5", "-/-2147483648"}, {"65536", "-/65536"}, {"4294967296", "-/-"},
      {"1e400", "-/-"}, {"-9e99999999999", "-/-"},
      // clang-format on
  };
  for (const auto& [text, widths] : cases) EXPECT_EQ(StoredWidths(text), widths) << '"' << text;
  EXPECT_EQ(RoundHalfEven(4503599627370497.0), 4503599627370497);
  EXPECT_EQ(RoundHalfEven(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min());
  for (double value : {std::nan(""), HUGE_VAL, 9223372036854775808.0})
    EXPECT_EQ(RoundHalfEven(value), std::nullopt) << value;
}

// A typed answer: blanks anywhere are ignored, &H and &O prefixes read, beyond a double stays
// the largest double.
TEST(ConvTest, ValReadsTypedAnswers) {
  const std::pair<std::string, double> cases[] = {
      // clang-format off
      {"25ms", 25}, {"1 000", 1000}, {" \t\n12", 12}, {"- 5", -5}, {"1 . 5", 1.5}, {"1 E 2", 100},
      {"3d-1", 0.3}, {"&H1F", 31}, {"& h 1 f", 31}, {"&HFFFF", 65535}, {"&H1G", 1}, {"&O17", 15},
      {"&o78", 7}, {"&H", 0}, {"&X12", 0}, {"abc", 0}, {"", 0}, {".", 0}, {"9e999", kMax},
      {"-9e999", -kMax}, {"&H" + std::string(300, 'F'), kMax},
      // clang-format on
  };
  for (const auto& [text, value] : cases) EXPECT_DOUBLE_EQ(Val(text), value) << '"' << text;
}

TEST(ConvTest, ParseBoolReadsWordsInAnyCaseAndLeadingNumbers) {
  const std::optional<bool> kNone;
  const std::pair<const char*, std::optional<bool>> cases[] = {
      // clang-format off
      {" tRUE\t", true}, {"fAlSe", false}, {"0", false}, {"-1", true}, {".5", true},
      {"+0", false}, {"2 apples", true}, {"yes", kNone}, {"", kNone}, {"Truex", kNone}, {"-.", kNone},
      // clang-format on
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(ParseBool(text), value) << '"' << text;
}

TEST(ConvTest, SingleTextHasSevenSignificantDigits) {
  const std::pair<float, const char*> cases[] = {
      // clang-format off
      {7500.0f, "7500"}, {7500.5f, "7500.5"}, {1.0f / 3.0f, "0.3333333"}, {0.1f, "0.1"},
      {-2.25f, "-2.25"}, {-0.0f, "0"}, {123456789.0f, "123456800"}, {1234.5678f, "1234.568"},
      {1e20f, "100000000000000000000"}, {1e-10f, "0.0000000001"},
      {std::numeric_limits<float>::quiet_NaN(), "0"},
      // clang-format on
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(SingleText(value), text);
}

// The window toolkit switches the C library to the user's locale; under a decimal comma the
// conversions must still read and write ".".
TEST(ConvTest, DecimalPointIsAPointUnderADecimalCommaLocale) {
  const auto folder =
      std::filesystem::temp_directory_path() / ("conv_locale_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::string command =
      "localedef -i de_DE -f UTF-8 '" + (folder / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
  ::setenv("LOCPATH", folder.c_str(), 1);
  const bool switched =
      std::system(command.c_str()) == 0 && std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  const bool comma = switched && *std::localeconv()->decimal_point == ',';
  const bool read = LeadingNumber("3.5") == 3.5 && Val("2.5") == 2.5 && ParseBool("0.5") == true;
  const std::string text = SingleText(7500.5f);
  std::setlocale(LC_ALL, "C");
  ::unsetenv("LOCPATH");
  std::filesystem::remove_all(folder);
  if (!comma) GTEST_SKIP() << "no locale with a decimal comma here";
  EXPECT_TRUE(read);
  EXPECT_EQ(text, "7500.5");
}

}  // namespace
}  // namespace serivane
