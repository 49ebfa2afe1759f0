// The rate sweep on the virtual plug, on a clock that moves only as the sweep waits: every rate's
// block, its verdict and the rate it runs at, with the plug's rate= and maxrate= switches.
#include <gtest/gtest.h>

#include <algorithm>

#include "serial/comm_control.h"
#include "tools/run/checks/sweep.h"

namespace serivane::run {
namespace {

using serial::CommControl;

// The run's side of a check, on the plug: Wait lets the clock run to the plug's next delivery
// (or `max_ms`) and services the port, as the run's event loop does.
class PlugContext final : public CheckContext {
 public:
  explicit PlugContext(std::string target, const char* settings = "9600,N,8,1")
      : target_(std::move(target)) {
    port_.LineSettings(settings);
    port_.ReceiveThreshold(0);
    port_.OpenState(true);
  }
  CommControl& Port() override { return port_; }
  Clock& GetClock() override { return clock_; }
  const settings::Settings& RunSettings() const override { return settings_; }
  void Wait(std::int32_t max_ms) override {
    ++waits_;
    std::int32_t ms = max_ms;
    if (const int next = port_.NextServiceMs(); next >= 0) ms = std::min(ms, next);
    clock_.AdvanceMillis(max_ms <= 0 ? 0 : std::max(ms, 1));
    port_.Service();
  }
  bool StopRequested() const override {
    return stop_after_waits_ >= 0 && waits_ >= stop_after_waits_;
  }
  void Progress(std::string_view) override {}
  std::vector<std::int16_t> TakeEvents() override { return {}; }
  bool NoModemLines() const override { return no_modem_lines_; }

  bool no_modem_lines_ = false;
  std::int64_t stop_after_waits_ = -1;

 private:
  std::string target_;
  ManualClock clock_;
  settings::Settings settings_;
  CommControl port_{[this](std::int16_t) { return target_; }, clock_};
  std::int64_t waits_ = 0;
};

// The value of `key` in `figures`, which must hold it.
template <typename T>
T Value(const std::vector<Figure>& figures, const std::string& key) {
  const auto it =
      std::find_if(figures.begin(), figures.end(), [&](const Figure& f) { return f.key == key; });
  if (it == figures.end()) {
    ADD_FAILURE() << "no " << key;
    return T{};
  }
  return std::get<T>(it->value);
}

bool Has(const std::vector<Figure>& figures, const std::string& key) {
  return std::any_of(figures.begin(), figures.end(), [&](const Figure& f) { return f.key == key; });
}

TEST(SweepCheck, EachRatePassesAtItsWireTimeInTheRunsFrameAndTheRunsRateIsBack) {
  PlugContext context("loopback", "19200,E,7,2");  // 11 bits a character
  const CheckOutcome out = RunSweepCheck(context, {300, 9600, 115200});
  EXPECT_TRUE(out.passed);
  EXPECT_EQ(out.lines.front(), "Rate sweep of 3 rates at E,7,2: 3 passed --- OK");
  EXPECT_EQ(out.lines.back(), "Highest rate that passed: 115200");
  EXPECT_EQ(Value<std::int64_t>(out.figures, "highest_passed_baud"), 115200);
  EXPECT_EQ(context.Port().LineSettings(), "19200,E,7,2");

  // 300 baud: 16 characters at the least, 586.7 ms; 9600: 175 characters for 200.5 ms;
  // 115200: 2095 characters for 200.0 ms.
  struct Want {
    std::int64_t baud, characters, wire_ms;
  };
  const Want wants[] = {{300, 16, 587}, {9600, 175, 201}, {115200, 2095, 200}};
  ASSERT_EQ(out.items.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(wants[i].baud);
    const std::vector<Figure>& item = out.items[i];
    EXPECT_EQ(Value<std::int64_t>(item, "asked_baud"), wants[i].baud);
    EXPECT_EQ(Value<std::string>(item, "result"), "passed");
    EXPECT_EQ(Value<std::int64_t>(item, "characters"), wants[i].characters);
    EXPECT_EQ(Value<std::int64_t>(item, "wire_time_ms"), wants[i].wire_ms);
    EXPECT_NEAR(static_cast<double>(Value<std::int64_t>(item, "duration_ms")),
                static_cast<double>(wants[i].wire_ms), 2.0);
    EXPECT_NEAR(static_cast<double>(Value<std::int64_t>(item, "measured_baud")),
                static_cast<double>(wants[i].baud), wants[i].baud * 0.005);
    EXPECT_EQ(Value<std::int64_t>(item, "about_baud"), wants[i].baud);
  }
  EXPECT_EQ(out.lines[2].substr(0, 34), "9600: passed, 175 characters in 20");
}

// The plug's wire at another rate than the one set: 3 % off passes (with what it runs at said),
// 8 % off is flagged in both directions, whatever else is asked passes.
TEST(SweepCheck, ARateThatRunsOffIsFlaggedWithTheRateItRunsAt) {
  struct Row {
    const char* target;
    bool passed;
    const char* line;  // the line of the 9600 rate, up to its figures
  };
  const Row rows[] = {
      {"loopback?rate=9600:9312", true, "9600: passed, 192 characters in 20"},
      {"loopback?rate=9600:8832", false, "asked 9600, runs at about 8830: 192 characters in "},
      {"loopback?rate=9600:10368", false, "asked 9600, runs at about 10400: 192 characters in "},
      {"loopback?rate=9600:14400", false, "asked 9600, runs at about 14400: 192 characters in "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.target);
    PlugContext context(row.target, "38400,N,8,1");
    const CheckOutcome out = RunSweepCheck(context, {1200, 9600});
    EXPECT_EQ(out.passed, row.passed);
    ASSERT_GE(out.lines.size(), 3u);
    EXPECT_EQ(out.lines[1].substr(0, 14), "1200: passed, ");
    EXPECT_EQ(out.lines[2].substr(0, std::string(row.line).size()), row.line);
    EXPECT_EQ(out.lines.back(),
              row.passed ? "Highest rate that passed: 9600" : "Highest rate that passed: 1200");
    EXPECT_EQ(Value<bool>(out.items[1], "off_rate"), !row.passed);
    EXPECT_EQ(out.diagnosis.size(), row.passed ? 0u : 1u);
  }

  PlugContext context("loopback?rate=250000:230400", "38400,N,8,1");
  const CheckOutcome out = RunSweepCheck(context, {250000});
  EXPECT_FALSE(out.passed);
  EXPECT_EQ(out.lines.front(), "Rate sweep of 1 rate at N,8,1: 0 passed, 1 failed <-- FAILED");
  EXPECT_EQ(out.lines[1].substr(0, 51), "asked 250000, runs at about 230400: 5000 characters");
  EXPECT_EQ(out.lines.back(), "No rate passed");
  EXPECT_EQ(Value<std::string>(out.items[0], "result"), "failed");
  EXPECT_EQ(Value<std::int64_t>(out.items[0], "about_baud"), 230400);
  EXPECT_EQ(Value<std::int64_t>(out.figures, "rates_off"), 1);
  ASSERT_EQ(out.diagnosis.size(), 1u);
  EXPECT_NE(out.diagnosis[0].find("At 250000 baud the port runs at about 230400"),
            std::string::npos);
  EXPECT_EQ(context.Port().LineSettings(), "38400,N,8,1");
}

// An echo faster than the port's fastest rate crossed no wire at any rate: an emulated UART hands
// each character over at once. Not timed, not flagged; a port that takes that rate is flagged.
TEST(SweepCheck, AnEchoFasterThanThePortsFastestRateIsNotTimedRatherThanFlagged) {
  PlugContext context("loopback?maxrate=460800&rate=57600:921600", "38400,N,8,1");
  CheckOutcome out = RunSweepCheck(context, {57600, 19200});
  EXPECT_TRUE(out.passed);
  ASSERT_EQ(out.lines.size(), 5u);
  EXPECT_EQ(out.lines[1].substr(0, 34), "57600: passed, 1152 characters in ");
  EXPECT_EQ(out.lines[1].substr(out.lines[1].size() - 12), " (not timed)");
  EXPECT_EQ(out.lines[2].substr(0, 35), "19200: passed, 384 characters in 20");
  EXPECT_EQ(out.lines[3],
            "The echo came back faster than 460800 baud, the fastest rate this port takes: its "
            "wire is not timed (as an emulated UART's is not), and that rate was not timed");
  EXPECT_FALSE(Has(out.items[0], "measured_baud"));
  EXPECT_TRUE(Has(out.items[1], "measured_baud"));
  EXPECT_EQ(Value<std::int64_t>(out.figures, "port_fastest_baud"), 460800);
  EXPECT_EQ(Value<std::int64_t>(out.figures, "rates_untimed"), 1);
  EXPECT_EQ(context.Port().LineSettings(), "38400,N,8,1");

  PlugContext takes_it("loopback?rate=57600:921600", "38400,N,8,1");
  out = RunSweepCheck(takes_it, {57600});
  EXPECT_FALSE(out.passed);
  EXPECT_EQ(out.lines[1].substr(0, 27), "asked 57600, runs at about ");
  // Over 12 ms the clock's 1 ms steps are felt.
  EXPECT_NEAR(static_cast<double>(Value<std::int64_t>(out.items[0], "measured_baud")), 921600,
              921600 * 0.03);
}

TEST(SweepCheck, RefusedRatesAreReportedWithoutFailingAndTheStandardOnesBeyondInOneLine) {
  PlugContext context("loopback?maxrate=115200", "38400,N,8,1");
  CheckOutcome out = RunSweepCheck(context, {});
  EXPECT_TRUE(out.passed);
  EXPECT_EQ(out.lines.front(), "Rate sweep of 30 rates at N,8,1: 17 passed, 13 refused --- OK");
  ASSERT_EQ(out.lines.size(), 20u);
  EXPECT_EQ(out.lines[1].substr(0, 13), "50: passed, 1");
  EXPECT_EQ(out.lines[17].substr(0, 15), "115200: passed,");
  EXPECT_EQ(out.lines[18],
            "230400 to 4000000: refused, 13 rates (230400 baud: this port makes at most 115200)");
  EXPECT_EQ(out.lines[19], "Highest rate that passed: 115200");
  ASSERT_EQ(out.items.size(), 30u);
  EXPECT_EQ(Value<std::string>(out.items[29], "result"), "refused");
  EXPECT_FALSE(Has(out.items[29], "duration_ms"));
  EXPECT_EQ(Value<std::int64_t>(out.figures, "rates_refused"), 13);
  EXPECT_EQ(context.Port().LineSettings(), "38400,N,8,1");

  // A list of its own: each rate said, in its order.
  out = RunSweepCheck(context, {9600, 460800, 150});
  EXPECT_TRUE(out.passed);
  ASSERT_EQ(out.lines.size(), 5u);
  EXPECT_EQ(out.lines[2], "460800: refused (460800 baud: this port makes at most 115200)");
  EXPECT_EQ(out.lines[3].substr(0, 12), "150: passed,");
  EXPECT_EQ(out.lines[4], "Highest rate that passed: 9600");
}

TEST(SweepCheck, AWrongEchoFailsItsRateAndSaysWhatCameBack) {
  const std::pair<const char*, const char*> rows[] = {
      {"loopback?drop=100", "9600: failed, only 191 of 192 characters came back"},
      {"loopback?echo=off", "9600: failed, only 0 of 192 characters came back"},
      {"loopback?corrupt=50",
       "9600: failed, 3 of 192 characters came back changed, the first at 50"},
      {"loopback?extra=2", "9600: failed, 192 characters came back and 2 extra characters"},
  };
  for (const auto& [target, line] : rows) {
    SCOPED_TRACE(target);
    PlugContext context(target);
    const CheckOutcome out = RunSweepCheck(context, {9600});
    EXPECT_FALSE(out.passed);
    ASSERT_EQ(out.lines.size(), 3u);
    EXPECT_EQ(out.lines[1], line);
    EXPECT_EQ(out.lines[2], "No rate passed");
    ASSERT_EQ(out.diagnosis.size(), 1u);
    EXPECT_EQ(out.diagnosis[0], "At 9600 baud the echo failed (" + std::string(line).substr(14) +
                                    "): the port, the cable or the plug does not carry that rate.");
  }
}

TEST(SweepCheck, WithoutWireTimingNothingIsTimedOrFlagged) {
  PlugContext context("loopback?rate=9600:4800");
  context.no_modem_lines_ = true;  // as a pseudo-terminal
  const CheckOutcome out = RunSweepCheck(context, {9600});
  EXPECT_TRUE(out.passed);
  EXPECT_EQ(out.lines[1].substr(0, 34), "9600: passed, 192 characters in 40");
  EXPECT_EQ(out.lines[1].substr(out.lines[1].size() - 12), " (not timed)");
  EXPECT_EQ(out.lines[2], "A pseudo-terminal has no wire timing: the rates were not timed");
  EXPECT_FALSE(Has(out.items[0], "measured_baud"));
  EXPECT_FALSE(Value<bool>(out.figures, "timed"));
}

TEST(SweepCheck, AStopEndsTheSweepUnpassedWithTheRunsRateBack) {
  PlugContext context("loopback", "38400,N,8,1");
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
    SCOPED_TRACE(query);
    EXPECT_THROW(PlugContext(std::string("loopback?") + query), serial::CommError);
  }
  // The port's own rate above maxrate= is refused at the open, as the driver would.
  EXPECT_THROW(PlugContext("loopback?maxrate=9600", "19200,N,8,1"), serial::CommError);
}

TEST(SweepCheck, AMeasuredRateIsSaidAsTheStandardRateItIsCloseTo) {
  EXPECT_EQ(AboutRate(229'500), 230400);
  EXPECT_EQ(AboutRate(233'500), 230400);
  EXPECT_EQ(AboutRate(9'734), 9600);
  EXPECT_EQ(AboutRate(1'986), 1990);
  EXPECT_EQ(AboutRate(8'832), 8830);
  EXPECT_EQ(AboutRate(250'100), 250000);
  EXPECT_EQ(AboutRate(49.4), 50);
  EXPECT_EQ(AboutRate(37.2), 37);
}

}  // namespace
}  // namespace serivane::run
