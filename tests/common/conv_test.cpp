#include "common/conv.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>

#include <unistd.h>

namespace serivane {
namespace {

// A stored setting as the settings store loads it: leading number, then rounded into the
// field's width.
struct StoredCase {
  const char* text;
  std::optional<std::int16_t> as16;
  std::optional<std::int32_t> as32;
};

TEST(StoredNumberTest, ReadsLeadingNumberAndRoundsHalfToEvenIntoTheFieldWidth) {
  const StoredCase cases[] = {
      {"9600.4", 9600, 9600},
      {"2.5", 2, 2},
      {"3.5", 4, 4},
      {"-2.5", -2, -2},
      {"0.5", 0, 0},
      {"3x", 3, 3},
      {"", 0, 0},
      {"abc", 0, 0},
      {"  -12", -12, -12},
      {"\t+7", 7, 7},
      {".5", 0, 0},
      {"1.", 1, 1},
      {"1e3", 1000, 1000},
      {"1D2", 100, 100},
      {"2e", 2, 2},
      {"2e+", 2, 2},
      {"5-3", 5, 5},
      {"1 000", 1, 1},  // a stored number ends at the first blank
      {"-", 0, 0},
      {"-.", 0, 0},
      {"0000000000000000000000000042", 42, 42},
      {"1e-400", 0, 0},
      // The edges of the widths: a half rounds to the even side, which may still fit.
      {"32766.5", 32766, 32766},
      {"32767.5", std::nullopt, 32768},
      {"-32768.5", -32768, -32768},
      {"-32769.5", std::nullopt, -32770},
      {"2147483646.5", std::nullopt, 2147483646},
      {"2147483647.5", std::nullopt, std::nullopt},
      {"-2147483648.5", std::nullopt, std::numeric_limits<std::int32_t>::min()},
      // Beyond the width is nullopt, never a wrapped value.
      {"65536", std::nullopt, 65536},
      {"4294967296", std::nullopt, std::nullopt},
      {"-4294967297", std::nullopt, std::nullopt},
      // Beyond a double is out of every width, not 0.
      {"1e400", std::nullopt, std::nullopt},
      {"-9e99999999999", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\"");
    const double number = LeadingNumber(c.text);
    EXPECT_EQ(ToInt16(number), c.as16);
    EXPECT_EQ(ToInt32(number), c.as32);
  }
}

TEST(TypedNumberTest, ValIgnoresBlanksAnywhereAndReadsRadixPrefixes) {
  const struct {
    const char* text;
    double value;
  } cases[] = {
      {"25ms", 25},      {"1 000", 1000},  {" \t\n12", 12}, {"1\n2\t3", 123}, {"- 5", -5},
      {"0.4", 0.4},      {"100.4", 100.4}, {"2.5", 2.5},    {"1 . 5", 1.5},   {"1e3", 1000},
      {"1 E 2", 100},    {"3d-1", 0.3},    {"&H1F", 31},    {"&h1f", 31},     {"& H 1 F", 31},
      {"&HFFFF", 65535}, {"&H1G", 1},      {"&O17", 15},    {"&o78", 7},      {"&H", 0},
      {"&X12", 0},       {"&", 0},         {"abc", 0},      {"", 0},          {".", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("answer \"") + c.text + "\"");
    EXPECT_DOUBLE_EQ(Val(c.text), c.value);
  }
}

TEST(TypedNumberTest, NumbersBeyondDoubleStayOutOfEveryWidth) {
  const std::string many_hex_digits = "&H" + std::string(300, 'F');
  for (const std::string& text : {std::string("9e999"), many_hex_digits}) {
    SCOPED_TRACE(text);
    const double value = Val(text);
    EXPECT_TRUE(std::isfinite(value));
    EXPECT_GT(value, 0.0);
    EXPECT_EQ(ToInt16(value), std::nullopt);
    EXPECT_EQ(ToInt32(value), std::nullopt);
  }
  EXPECT_LT(Val("-9e999"), 0.0);
  EXPECT_EQ(ToInt32(Val("-9e999")), std::nullopt);
}

TEST(RoundHalfEvenTest, RoundsToNearestAndHalvesToEven) {
  const struct {
    double value;
    std::int64_t rounded;
  } cases[] = {
      {72.5, 72},
      {73.5, 74},
      {-72.5, -72},
      {-73.5, -74},
      {0.4, 0},
      {-0.5, 0},
      {2.5000001, 3},
      {2.4999999, 2},
      // Adding 0.5 and taking the floor gets these two wrong.
      {0.49999999999999994, 0},
      {4503599627370497.0, 4503599627370497},
      {-9223372036854775808.0, std::numeric_limits<std::int64_t>::min()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(RoundHalfEven(c.value), c.rounded);
  }
  EXPECT_EQ(RoundHalfEven(std::nan("")), std::nullopt);
  EXPECT_EQ(RoundHalfEven(std::numeric_limits<double>::infinity()), std::nullopt);
  EXPECT_EQ(RoundHalfEven(9223372036854775808.0), std::nullopt);
}

TEST(ParseBoolTest, ReadsWordsInAnyCaseAndNumbers) {
  const struct {
    const char* text;
    std::optional<bool> value;
  } cases[] = {
      {"True", true},
      {"TRUE", true},
      {" true\t", true},
      {"False", false},
      {"false", false},
      {"fAlSe", false},
      {"0", false},
      {"-1", true},
      {"1", true},
      {"0.0", false},
      {".5", true},
      {"+0", false},
      {"2 apples", true},
      {"yes", std::nullopt},
      {"", std::nullopt},
      {"x1", std::nullopt},
      {"Truex", std::nullopt},
      {"-", std::nullopt},
      {"-.", std::nullopt},
      {"T", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\"");
    EXPECT_EQ(ParseBool(c.text), c.value);
  }
}

TEST(TextTest, WritesDecimalAndTwosComplementHex) {
  EXPECT_EQ(DecimalText(-1), "-1");
  EXPECT_EQ(HexText(-2147221502), "80040002");
  EXPECT_EQ(HexText(-1), "FFFFFFFF");
  EXPECT_EQ(HexText(std::numeric_limits<std::int32_t>::min()), "80000000");
  EXPECT_EQ(HexText(255), "FF");
  EXPECT_EQ(HexText(0), "0");
}

TEST(SingleTextTest, WritesAtMostSevenSignificantDigitsWithoutExponent) {
  const struct {
    float value;
    const char* text;
  } cases[] = {
      {7500.0f, "7500"},
      {7500.5f, "7500.5"},
      {1.0f / 3.0f, "0.3333333"},
      {0.1f, "0.1"},
      {-2.25f, "-2.25"},
      {-0.0f, "0"},
      {0.0f, "0"},
      {123456789.0f, "123456800"},
      {1234.5678f, "1234.568"},
      {1e20f, "100000000000000000000"},
      {1e-10f, "0.0000000001"},
      {std::numeric_limits<float>::quiet_NaN(), "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(SingleText(c.value), c.text);
  }
}

// The window toolkit switches the C library to the user's locale at start; under a decimal
// comma, strtod stops at the "." of "3.5" and printf writes "7500,5". The conversions must read
// and write "." whatever the locale says.
TEST(ConvLocaleTest, DecimalPointIsAPointUnderADecimalCommaLocale) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("conv_locale_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::string command =
      "localedef -i de_DE -f UTF-8 '" + (folder / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
  const bool built = std::system(command.c_str()) == 0;
  ::setenv("LOCPATH", folder.c_str(), 1);
  const bool switched = built && std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  char probe[16] = "";
  if (switched) std::snprintf(probe, sizeof probe, "%.1f", 0.5);
  const bool comma = std::string(probe) == "0,5";

  const double three_and_half = LeadingNumber("3.5");
  const double typed = Val("2.5");
  const std::string height = SingleText(7500.5f);
  const std::optional<bool> fraction = ParseBool("0.5");

  std::setlocale(LC_ALL, "C");
  ::unsetenv("LOCPATH");
  std::filesystem::remove_all(folder);
  if (!comma) GTEST_SKIP() << "no locale with a decimal comma could be made here";

  EXPECT_EQ(three_and_half, 3.5);
  EXPECT_EQ(ToInt16(three_and_half), 4);
  EXPECT_EQ(typed, 2.5);
  EXPECT_EQ(height, "7500.5");
  EXPECT_EQ(fraction, true);
}

}  // namespace
}  // namespace serivane
