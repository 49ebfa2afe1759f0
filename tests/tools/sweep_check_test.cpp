// The rate sweep on the virtual plug, on a clock that moves only as the sweep waits: every rate's
// block, its verdict and the rate it runs at, with the plug's rate= and maxrate= switches.
#include <gtest/gtest.h>

#include "tests/tools/plug_context.h"
#include "tools/run/checks/sweep.h"

namespace serivane::run {
namespace {

// A sweep on the plug; the run's rate must be back after it.
CheckOutcome Sweep(const std::string& target, std::vector<std::int32_t> rates,
                   const std::string& line = "38400,N,8,1") {
  PlugContext context(target, line);
  context.min_step_ms_ = 1;
  CheckOutcome out = RunSweepCheck(context, std::move(rates));
  EXPECT_EQ(context.Port().LineSettings(), line);
  return out;
}

std::int64_t Int(const std::vector<Figure>& figures, const std::string& key) {
  return FigureOf<std::int64_t>(figures, key);
}

TEST(SweepCheck, EachRatePassesAtItsWireTimeInTheRunsFrame) {
  const CheckOutcome out = Sweep("loopback", {300, 9600, 115200}, "19200,E,7,2");  // 11 bits
  EXPECT_TRUE(out.passed);
  EXPECT_EQ(out.lines.front(), "Rate sweep of 3 rates at E,7,2: 3 passed --- OK");
  EXPECT_EQ(out.lines.back(), "Highest rate that passed: 115200");
  EXPECT_EQ(Int(out.figures, "highest_passed_baud"), 115200);
  // 300 baud: 16 characters at the least, 586.7 ms; 9600: 175 characters for 200.5 ms;
  // 115200: 2095 characters for 200.0 ms.
  const std::int64_t wants[][3] = {{300, 16, 587}, {9600, 175, 201}, {115200, 2095, 200}};
  ASSERT_EQ(out.items.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const auto [baud, characters, wire_ms] = wants[i];
    const std::vector<Figure>& item = out.items[i];
    EXPECT_EQ(FigureOf<std::string>(item, "result"), "passed");
    EXPECT_EQ(Int(item, "characters"), characters);
    EXPECT_EQ(Int(item, "wire_time_ms"), wire_ms);
    EXPECT_NEAR(static_cast<double>(Int(item, "duration_ms")), wire_ms, 2.0);
    EXPECT_NEAR(static_cast<double>(Int(item, "measured_baud")), baud, baud * 0.005);
    EXPECT_EQ(Int(item, "about_baud"), baud);
  }
}

// The plug's wire at another rate than the one set: 3 % off passes, 8 % off is flagged in both
// directions, whatever else is asked passes.
TEST(SweepCheck, ARateThatRunsOffIsFlaggedWithTheRateItRunsAt) {
  const std::pair<const char*, const char*> rows[] = {
      {"9312", "9600: passed, 192 characters in 20"},
      {"8832", "asked 9600, runs at about 8830: 192 characters in "},
      {"10368", "asked 9600, runs at about 10400: 192 characters in "},
      {"14400", "asked 9600, runs at about 14400: 192 characters in "},
  };
  for (const auto& [runs, line] : rows) {
    SCOPED_TRACE(runs);
    const bool passed = runs == std::string("9312");
    const CheckOutcome out = Sweep(std::string("loopback?rate=9600:") + runs, {1200, 9600});
    EXPECT_EQ(out.passed, passed);
    ASSERT_GE(out.lines.size(), 3u);
    EXPECT_TRUE(out.lines[1].starts_with("1200: passed, "));
    EXPECT_TRUE(out.lines[2].starts_with(line)) << out.lines[2];
    EXPECT_EQ(out.lines.back(),
              std::string("Highest rate that passed: ") + (passed ? "9600" : "1200"));
    EXPECT_EQ(FigureOf<bool>(out.items[1], "off_rate"), !passed);
    EXPECT_EQ(out.diagnosis.size(), passed ? 0u : 1u);
  }
}

// An echo faster than the port's fastest rate crossed no wire at any rate: an emulated UART hands
// each character over at once. Not timed, not flagged; a port that takes that rate is flagged.
TEST(SweepCheck, AnEchoWithoutWireTimingIsNotTimedRatherThanFlagged) {
  CheckOutcome out = Sweep("loopback?maxrate=460800&rate=57600:921600", {57600, 19200});
  EXPECT_TRUE(out.passed);
  ASSERT_EQ(out.lines.size(), 5u);
  EXPECT_TRUE(out.lines[1].starts_with("57600: passed, 1152 characters in "));
  EXPECT_TRUE(out.lines[1].ends_with(" (not timed)"));
  EXPECT_TRUE(out.lines[2].starts_with("19200: passed, 384 characters in 20"));
  EXPECT_EQ(out.lines[3],
            "The echo came back faster than 460800 baud, the fastest rate this port takes: its "
            "wire is not timed (as an emulated UART's is not), and that rate was not timed");
  EXPECT_FALSE(HasFigure(out.items[0], "measured_baud"));
  EXPECT_EQ(Int(out.figures, "port_fastest_baud"), 460800);

  out = Sweep("loopback?rate=57600:921600", {57600});
  EXPECT_FALSE(out.passed);
  // Over 12 ms the clock's 1 ms steps are felt.
  EXPECT_NEAR(static_cast<double>(Int(out.items[0], "measured_baud")), 921600, 921600 * 0.03);
}

TEST(SweepCheck, RefusedRatesAreReportedWithoutFailingAndTheStandardOnesBeyondInOneLine) {
  const CheckOutcome out = Sweep("loopback?maxrate=115200", {});
  EXPECT_TRUE(out.passed);
  EXPECT_EQ(out.lines.front(), "Rate sweep of 30 rates at N,8,1: 17 passed, 13 refused --- OK");
  ASSERT_EQ(out.lines.size(), 20u);
  EXPECT_TRUE(out.lines[1].starts_with("50: passed, 1"));
  EXPECT_TRUE(out.lines[17].starts_with("115200: passed,"));
  EXPECT_EQ(out.lines[18],
            "230400 to 4000000: refused, 13 rates (230400 baud: this port makes at most 115200)");
  ASSERT_EQ(out.items.size(), 30u);
  EXPECT_FALSE(HasFigure(out.items[29], "duration_ms"));
}

TEST(SweepCheck, AWrongEchoFailsItsRateAndSaysWhatCameBack) {
  const std::pair<const char*, const char*> rows[] = {
      {"drop=100", "9600: failed, only 191 of 192 characters came back"},
      {"echo=off", "9600: failed, only 0 of 192 characters came back"},
      {"corrupt=50", "9600: failed, 3 of 192 characters came back changed, the first at 50"},
      {"extra=2", "9600: failed, 192 characters came back and 2 extra characters"},
  };
  for (const auto& [switches, line] : rows) {
    const CheckOutcome out = Sweep(std::string("loopback?") + switches, {9600}, "9600,N,8,1");
    EXPECT_FALSE(out.passed);
    EXPECT_EQ(out.lines, (std::vector<std::string>{out.lines[0], line, "No rate passed"}));
    EXPECT_EQ(out.diagnosis, std::vector<std::string>{"At 9600 baud the echo failed (" +
                                                      std::string(line).substr(14) +
                                                      "): the port, the cable or the plug does "
                                                      "not carry that rate."});
  }
}

TEST(SweepCheck, AStopEndsTheSweepUnpassedWithTheRunsRateBack) {
  PlugContext context("loopback", "38400,N,8,1");
  context.min_step_ms_ = 1;
  context.stop_after_waits_ = 50;
  // 1200 baud takes about 30 waits, 19200 about 400.
  const CheckOutcome out = RunSweepCheck(context, {1200, 19200, 57600});
  EXPECT_FALSE(out.passed);
  EXPECT_TRUE(out.interrupted);
  EXPECT_EQ(out.lines.back(), "Highest rate that passed: 1200");
  EXPECT_EQ(out.lines[out.lines.size() - 2], "Stopped before the sweep's end");
  EXPECT_EQ(out.items.size(), 1u);
  EXPECT_EQ(context.Port().LineSettings(), "38400,N,8,1");
}

TEST(SweepCheck, ThePlugsRateSwitchesTakeRatesOnly) {
  for (const char* query :
       {"rate=0", "rate=9600:", "rate=:9600", "rate=0:9600", "maxrate=0", "maxrate=fast"}) {
    EXPECT_THROW(PlugContext(std::string("loopback?") + query), serial::CommError) << query;
  }
  // The port's own rate above maxrate= is refused at the open, as the driver would.
  EXPECT_THROW(PlugContext("loopback?maxrate=9600", "19200,N,8,1"), serial::CommError);
}

}  // namespace
}  // namespace serivane::run
