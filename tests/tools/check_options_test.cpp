// The command line of the checks beyond the tests: durations, rate lists and the option whose
// value may be left out.
#include <gtest/gtest.h>

#include "tools/run/options.h"

namespace serivane::run {
namespace {

TEST(CheckOptions, DurationsAndTheirLimits) {
  EXPECT_EQ(ParseDuration("--soak", "90s"), 90'000);
  EXPECT_EQ(ParseDuration("--soak", "45"), 45'000);
  EXPECT_EQ(ParseDuration("--soak", "10m"), 600'000);
  EXPECT_EQ(ParseDuration("--soak", "2h"), 7'200'000);
  EXPECT_EQ(ParseDuration("--soak", "168h"), 604'800'000);
  for (const char* bad : {"", "s", "0s", "10x", "1.5m", "-5s", "169h", "99999999999999999999s"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ParseDuration("--soak", bad), UsageError);
  }
}

TEST(CheckOptions, TheSweepTakesAListOnlyWhenOneFollows) {
  Options o = ParseOptions({"--sweep", "loopback"});
  ASSERT_TRUE(o.checks.sweep.has_value());
  EXPECT_TRUE(o.checks.sweep->empty());
  EXPECT_EQ(o.ports, std::vector<std::string>{"loopback"});

  o = ParseOptions({"--sweep", "9600,115200", "loopback"});
  EXPECT_EQ(*o.checks.sweep, (std::vector<std::int32_t>{9600, 115200}));
  EXPECT_EQ(o.ports, std::vector<std::string>{"loopback"});

  o = ParseOptions({"loopback", "--sweep=300"});
  EXPECT_EQ(*o.checks.sweep, std::vector<std::int32_t>{300});
  EXPECT_FALSE(o.checks.soak_ms || o.checks.break_ms || o.checks.latency_rounds);

  EXPECT_THROW(ParseOptions({"--sweep=9600,,19200"}), UsageError);
  EXPECT_THROW(ParseOptions({"--sweep=49"}), UsageError);
}

TEST(CheckOptions, EachCheckIsAskedForByItsOwnOption) {
  const Options o = ParseOptions({"--soak", "10m", "--flow", "rts", "--plug", "full", "--break",
                                  "250", "--latency", "1000", "--junit", "r.xml", "loopback"});
  EXPECT_EQ(o.checks.soak_ms, 600'000);
  EXPECT_TRUE(o.checks.flow_rts);
  EXPECT_TRUE(o.checks.full_plug);
  EXPECT_EQ(o.checks.break_ms, 250);
  EXPECT_EQ(o.checks.latency_rounds, 1000);
  EXPECT_EQ(o.junit, "r.xml");
  EXPECT_FALSE(o.checks.sweep.has_value());
  EXPECT_FALSE(ParseOptions({"loopback"}).checks.Any());

  EXPECT_THROW(ParseOptions({"--flow", "rts", "loopback"}), UsageError);  // nothing to soak
  EXPECT_THROW(ParseOptions({"--plug", "half"}), UsageError);
  EXPECT_THROW(ParseOptions({"--break", "0"}), UsageError);
  EXPECT_THROW(ParseOptions({"--latency", "0"}), UsageError);
  EXPECT_THROW(ParseOptions({"--junit="}), UsageError);
}

}  // namespace
}  // namespace serivane::run
