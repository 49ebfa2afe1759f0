// The checks of the port's lines (--plug full, --break, --latency) on the virtual plug, on a
// clock that moves only while a check waits: exact readings, figures and diagnoses.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "tests/tools/plug_context.h"
#include "tools/run/checks/break_check.h"
#include "tools/run/checks/full_plug.h"
#include "tools/run/checks/latency.h"

namespace serivane::run {
namespace {

std::int64_t Int(const CheckOutcome& c, const std::string& key) {
  return FigureOf<std::int64_t>(c.figures, key);
}

TEST(FullPlugCheck, APlugWiredFullPassesAndTheOutputsAreLeftAsTheyWere) {
  PlugContext run("loopback?wiring=full");
  run.port_.DtrOn(false);
  run.port_.RtsOn(true);
  const CheckOutcome c = RunFullPlugCheck(run);
  EXPECT_TRUE(c.passed);
  EXPECT_EQ(c.lines,
            (std::vector<std::string>{"Full plug: DCD and RI follow DTR and RTS --- OK",
                                      "DTR off: DSR off, DCD off", "DTR on: DSR on, DCD on",
                                      "RTS off: CTS off, RI off", "RTS on: CTS on, RI on"}));
  EXPECT_TRUE(FigureOf<bool>(c.figures, "ri_follows_rts"));
  // Each of the four readings waits the handshake delay first.
  EXPECT_EQ(c.duration_ms, 4 * run.settings_.HandshakeDelay);
  EXPECT_FALSE(run.port_.DtrOn());
  EXPECT_TRUE(run.port_.RtsOn());
}

TEST(FullPlugCheck, EachMissingOrStuckLineIsNamedWithItsPins) {
  // Each sentence of the diagnosis up to the pins it names.
  const std::pair<const char*, std::vector<std::string>> rows[] = {
      {"", {"RI does not follow RTS: RTS 7 (4) to RI 9 (22), RI stuck off"}},
      {"wiring=full&dcd=off", {"DCD does not follow DTR: DTR 4 (20) to DCD 1 (8), DCD stuck off"}},
      {"wiring=full&ri=on", {"RI stays on when RTS is off: RTS 7 (4) to RI 9 (22), RI stuck on"}},
      {"wiring=full&dsr=off&dcd=off",
       {"DCD does not follow DTR: DTR 4 (20) to DCD 1 (8), DCD stuck off",
        "Neither DSR nor DCD follows DTR: DTR 4 (20) itself does not reach the plug."}},
      {"wiring=full&dsr=off", {}},  // DSR alone is the handshake test's business
  };
  for (const auto& [switches, diagnosis] : rows) {
    SCOPED_TRACE(switches);
    PlugContext run(std::string("loopback?") + switches);
    const CheckOutcome c = RunFullPlugCheck(run);
    EXPECT_EQ(c.passed, diagnosis.empty());
    ASSERT_EQ(c.diagnosis.size(), diagnosis.size());
    for (std::size_t i = 0; i < diagnosis.size(); ++i)
      EXPECT_TRUE(c.diagnosis[i].starts_with(diagnosis[i])) << c.diagnosis[i];
  }
}

TEST(BreakCheck, ABreakOfTheLengthAskedComesBackAndTheBlockAfterItIsIntact) {
  PlugContext run("loopback");
  const CheckOutcome c = RunBreakCheck(run, 100);
  EXPECT_TRUE(c.passed);
  EXPECT_EQ(c.lines, (std::vector<std::string>{"Break 100ms: sent and received --- OK",
                                               "The break came back as a break event",
                                               "64 characters after the break came back intact"}));
  EXPECT_EQ(c.events, std::vector<std::int16_t>{serial::kErBreak});
  // 50 ms for the line to go quiet, then the break: it is seen when it ends, 100 ms later.
  EXPECT_EQ(run.times_, std::vector<std::int64_t>{150'000});
  EXPECT_FALSE(run.port_.Break());
}

TEST(BreakCheck, ASwallowedBreakOrALostCharacterAfterItFailsIt) {
  const std::tuple<const char*, std::string, std::vector<std::string>> rows[] = {
      // The lines after the first; the start of each sentence of the diagnosis.
      {"breaks=lost",
       "No break event came back within 1000 ms of its end|64 characters after the break came "
       "back intact",
       {"No break came back while characters do"}},
      {"drop=64",
       "The break came back as a break event|64 characters after the break: 63 came back",
       {"Characters sent after the break did not all come back intact"}},
      {"corrupt=10",
       "The break came back as a break event|64 characters after the break came back changed",
       {"Characters sent after the break did not all come back intact"}},
      {"breaks=lost&echo=off",
       "No break event came back within 1000 ms of its end|64 characters after the break: 0 "
       "came back",
       {"No break came back: TxD 3 (2) to RxD 2 (3)", "Characters sent after the break"}},
  };
  for (const auto& [switches, lines, diagnosis] : rows) {
    SCOPED_TRACE(switches);
    PlugContext run(std::string("loopback?") + switches);
    run.settings_.TestTimeout = 200;
    const CheckOutcome c = RunBreakCheck(run, 20);
    EXPECT_FALSE(c.passed);
    std::string result;
    for (std::size_t i = 1; i < c.lines.size(); ++i) result += (i > 1 ? "|" : "") + c.lines[i];
    EXPECT_EQ(result, lines);
    ASSERT_EQ(c.diagnosis.size(), diagnosis.size());
    for (std::size_t i = 0; i < c.diagnosis.size(); ++i)
      EXPECT_TRUE(c.diagnosis[i].starts_with(diagnosis[i])) << c.diagnosis[i];
  }
}

TEST(LatencyCheck, PercentilesAreByNearestRank) {
  std::vector<std::int64_t> hundred;
  for (int i = 1; i <= 100; ++i) hundred.push_back(i);
  EXPECT_EQ(Percentile(hundred, 95), 95);
  EXPECT_EQ(Percentile(hundred, 100), 100);
  EXPECT_EQ(Percentile({10, 20, 30}, 50), 20);
  EXPECT_EQ(Percentile({10, 20, 30}, 95), 30);
  EXPECT_EQ(Percentile({10, 20, 30, 40}, 50), 20);
  EXPECT_EQ(Percentile({7}, 99), 7);
}

TEST(LatencyCheck, AUsbTimerIsNamedOnlyWhereTheFiguresPointAtIt) {
  const std::vector<std::int64_t> at_timer(10, 15'800);
  std::vector<std::int64_t> frames = {2'010, 2'050, 2'980, 3'010, 2'000, 1'990, 2'100, 2'020};
  std::sort(frames.begin(), frames.end());
  const std::vector<std::int64_t> spread = {1'300, 1'500, 1'700, 2'300, 2'400, 2'600, 2'700, 3'400};
  EXPECT_TRUE(PointsAtUsbTimer(at_timer, 1042, 16, true));
  EXPECT_TRUE(PointsAtUsbTimer(std::vector<std::int64_t>(10, 12'000), 1042, 16, true));
  EXPECT_FALSE(PointsAtUsbTimer(std::vector<std::int64_t>(10, 11'900), 1042, 16, true));
  EXPECT_FALSE(PointsAtUsbTimer(at_timer, 1042, 16, false)) << "not a USB device";
  EXPECT_TRUE(PointsAtUsbTimer(frames, 87, std::nullopt, true));
  EXPECT_FALSE(PointsAtUsbTimer(spread, 87, std::nullopt, true));
  EXPECT_FALSE(PointsAtUsbTimer(std::vector<std::int64_t>(10, 1'300), 1042, std::nullopt, true));
  EXPECT_FALSE(PointsAtUsbTimer({}, 87, 16, true));
}

TEST(LatencyCheck, EachRoundTripIsTimedAndReported) {
  // At 9600 8N1 a character is back after 1042 us; the run wakes at whole milliseconds.
  PlugContext run("loopback?delay=15");
  run.timer_ = 16;
  run.usb_ = true;
  const CheckOutcome c = RunLatencyCheck(run, 20);
  EXPECT_TRUE(c.passed);
  EXPECT_EQ(c.lines[0], "Latency: 20 round trips of one character --- OK");
  EXPECT_EQ(c.lines[1],
            "Median 17000 us, 95th 17000 us, 99th 17000 us, maximum 17000 us over 20 round "
            "trips; one character takes 1042 us on the wire");
  EXPECT_NE(c.lines[2].find("USB latency timer (16 ms)"), std::string::npos);
  EXPECT_EQ(Int(c, "rounds_done"), 20);

  PlugContext plain("loopback");
  const CheckOutcome quick = RunLatencyCheck(plain, 5);
  EXPECT_EQ(Int(quick, "max_us"), 2000);
  EXPECT_EQ(quick.lines.size(), 2u) << "no USB timer named for a quick echo";
  // A late echo of what came before is not taken for a round trip.
  PlugContext late("loopback?delay=30");
  late.port_.TransmitText("stale");
  const CheckOutcome stale = RunLatencyCheck(late, 3);
  EXPECT_TRUE(stale.passed) << stale.lines[1];
  EXPECT_EQ(Int(stale, "median_us"), 32000);
}

TEST(LatencyCheck, AMissingOrWrongEchoOrAStopEndsItUnpassed) {
  const std::tuple<const char*, const char*, std::int64_t, const char*> rows[] = {
      {"corrupt=3", "Round trip 3 of 10: sent 0x23, got 0x22", 2, "came back changed"},
      {"drop=4", "Round trip 4 of 10: no echo within 102 ms", 3, "got no echo"},
      {"delay=150", "Round trip 1 of 10: no echo within 102 ms", 0, "got no echo"},
      // The extra arrives after the echo it follows: the next round trip reads it.
      {"extra=1", "Round trip 2 of 10: sent 0x22, got 0x3F", 1, "came back changed"},
  };
  for (const auto& [switches, line, done, cause] : rows) {
    SCOPED_TRACE(switches);
    PlugContext run(std::string("loopback?") + switches);
    run.settings_.TestTimeout = 100;
    const CheckOutcome c = RunLatencyCheck(run, 10);
    EXPECT_FALSE(c.passed);
    ASSERT_GE(c.lines.size(), 2u);
    EXPECT_EQ(c.lines[0], "Latency: 10 round trips of one character <-- FAILED");
    EXPECT_EQ(c.lines[1], line);
    EXPECT_EQ(Int(c, "rounds_done"), done);
    ASSERT_EQ(c.diagnosis.size(), 1u);
    EXPECT_NE(c.diagnosis[0].find(cause), std::string::npos) << c.diagnosis[0];
  }
  PlugContext run("loopback");
  run.stop_at_us_ = 50'000 + 10 * 2'000;  // after the quiet wait and ten round trips
  const CheckOutcome c = RunLatencyCheck(run, 1000);
  EXPECT_TRUE(c.interrupted);
  EXPECT_FALSE(c.passed);
  EXPECT_EQ(Int(c, "rounds_done"), 10);
}

}  // namespace
}  // namespace serivane::run
