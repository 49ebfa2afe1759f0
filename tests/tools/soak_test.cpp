// The soak: its stream, the comparison that resynchronises after a fault, and whole soaks on the
// virtual plug run on a manual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/tools/plug_context.h"
#include "tools/run/checks/soak.h"

namespace serivane::run {
namespace {

TEST(SoakSequence, EachRoundHoldsEveryCodeOnceAndTheStreamRepeatsFromRunToRun) {
  for (const int bits : {5, 7, 8}) {
    SCOPED_TRACE(bits);
    const std::size_t codes = std::size_t{1} << bits;
    SoakSequence a(bits), b(bits);
    const std::string first = a.Next(3 * codes);
    std::string again = b.Next(codes);
    EXPECT_EQ(first, again + b.Next(2 * codes));
    std::string all(codes, '\0');
    for (std::size_t i = 0; i < codes; ++i) all[i] = static_cast<char>(i);
    for (std::size_t round = 0; round < 3; ++round)
      EXPECT_TRUE(std::is_permutation(all.begin(), all.end(), first.begin() + round * codes));
    // Shuffled, and shuffled differently each round.
    EXPECT_NE(first.substr(0, codes), first.substr(codes, codes));
    EXPECT_NE(static_cast<unsigned char>(first[0]) + 1, static_cast<unsigned char>(first[1]));
  }
}

TEST(SoakCompare, AStretchIsSplitIntoInOrderMovedChangedLostAndExtra) {
  const std::tuple<std::string, std::string, StreamCounts> cases[] = {
      // ok, lost, changed, extra, out_of_order
      {"A", "B", {0, 0, 1, 0, 0}},       {"AB", "BA", {1, 0, 0, 0, 1}},
      {"ABCD", "BCDA", {3, 0, 0, 0, 1}}, {"ABC", "", {0, 3, 0, 0, 0}},
      {"", "??", {0, 0, 0, 2, 0}},       {"ABC", "AXYZC", {2, 0, 1, 2, 0}},
      {"ABCDE", "AD", {2, 3, 0, 0, 0}},  {"ABCD", "BAXD", {2, 0, 1, 0, 1}},
  };
  for (const auto& [sent, received, want] : cases)
    EXPECT_EQ(CompareStretch(sent, received), want) << sent << " -> " << received;
}

// The soak's stream with `n` characters from `at` changed by `mask` (0: taken out).
std::string Faulty(std::size_t at, std::size_t n, int mask) {
  std::string s = SoakSequence(8).Next(2000);
  if (mask == 0) return s.erase(at, n);
  for (std::size_t i = at; i < at + n; ++i) s[i] = static_cast<char>(s[i] ^ mask);
  return s;
}

TEST(SoakStreamCheck, EachFaultIsCountedOnceAndTheStreamPicksUpAfterIt) {
  const std::string sent = SoakSequence(8).Next(2000);
  std::string swapped = sent, moved = sent, extra = sent;
  std::swap(swapped[900], swapped[901]);
  extra.insert(100, "??");
  extra.insert(1500, "?");
  moved.insert(306, 1, moved[300]).erase(300, 1);
  const std::tuple<const char*, std::string, StreamCounts, std::int64_t> cases[] = {
      {"intact", sent, {2000, 0, 0, 0, 0}, 0},
      {"one lost", Faulty(500, 1, 0), {1999, 1, 0, 0, 0}, 501},
      {"a burst of 40 lost", Faulty(700, 40, 0), {1960, 40, 0, 0, 0}, 701},
      {"300 lost, beyond the window", Faulty(700, 300, 0), {1700, 300, 0, 0, 0}, 701},
      {"one changed", Faulty(1200, 1, 1), {1999, 0, 1, 0, 0}, 1201},
      {"three extra", extra, {2000, 0, 0, 3, 0}, 101},
      {"two swapped", swapped, {1999, 0, 0, 0, 1}, 901},
      {"one moved five on", moved, {1999, 0, 0, 0, 1}, 301},
      {"the last lost", Faulty(1999, 1, 0), {1999, 1, 0, 0, 0}, 2000},
      {"the last two changed", Faulty(1998, 2, 0x80), {1998, 0, 2, 0, 0}, 1999},
      {"200 of garbage", Faulty(600, 200, 0x55), {1800, 0, 200, 0, 0}, 601},
  };
  for (const auto& [what, received, want, first_error] : cases) {
    SCOPED_TRACE(what);
    // As a soak sees them: sent in pieces up to 500 ahead of what comes back in other pieces.
    StreamCheck check;
    std::size_t sent_at = 0, received_at = 0;
    while (received_at < received.size() || sent_at < sent.size()) {
      const auto room =
          static_cast<std::size_t>(500 - std::min<std::int64_t>(check.Outstanding(), 500));
      const std::size_t s = std::min({std::size_t{97}, room, sent.size() - sent_at});
      check.Sent(std::string_view(sent).substr(sent_at, s));
      sent_at += s;
      const std::size_t r =
          std::min<std::size_t>(sent_at > 300 ? 61 : 0, received.size() - received_at);
      check.Received(std::string_view(received).substr(received_at, r));
      received_at += r;
      EXPECT_LE(check.Outstanding(), 500);
      if (s == 0 && r == 0) break;
    }
    check.Settle();
    EXPECT_EQ(check.Counts(), want);
    EXPECT_EQ(check.Outstanding(), 0);
    EXPECT_EQ(check.FirstErrorCharacter(), first_error);
  }
  // What comes back after everything was accounted for is extra.
  StreamCheck check;
  check.Sent("ABCDEFGHIJ");
  check.Settle();
  check.Received("ABC");
  EXPECT_EQ(check.Counts(), (StreamCounts{0, 10, 0, 3, 0}));
}

TEST(SoakStreamCheck, AMismatchWaitsForEnoughToDecideBeforeItCounts) {
  const std::string sent = SoakSequence(8).Next(200);
  StreamCheck check;
  check.Sent(sent);
  // The second character lost: with only a few characters after it, a loss and a change look
  // alike, so nothing is counted yet.
  check.Received(sent.substr(0, 1) + sent.substr(2, 5));
  EXPECT_EQ(check.Counts(), (StreamCounts{1, 0, 0, 0, 0}));
  check.Received(sent.substr(7, 150));
  EXPECT_EQ(check.Counts().lost, 1);
  EXPECT_EQ(check.Counts().changed, 0);
}

// A soak on the plug: each wait sleeps its whole time, as the soak's pace asks.
CheckOutcome Soak(PlugContext& context, std::int64_t ms, bool flow = false) {
  context.whole_waits_ = true;
  return RunSoakCheck(context, ms, flow);
}

std::int64_t Int(const CheckOutcome& o, const std::string& key) {
  return FigureOf<std::int64_t>(o.figures, key);
}

TEST(Soak, AnIntactStreamPassesAtTheWireRateWithABitErrorBound) {
  PlugContext context("loopback", "115200,N,8,1");
  const CheckOutcome o = Soak(context, 5000);
  ASSERT_TRUE(o.passed) << o.lines[0];
  EXPECT_EQ(o.title, "Soak for 5s at 115200,N,8,1");
  // 11520 characters a second for 5 s, give or take what was on its way at the end.
  const std::int64_t sent = Int(o, "characters_sent");
  EXPECT_GE(sent, 57000);
  EXPECT_LE(sent, 57600 + 2880);
  EXPECT_EQ(Int(o, "characters_received"), sent);
  EXPECT_EQ(Int(o, "characters_ok"), sent);
  EXPECT_NEAR(FigureOf<double>(o.figures, "throughput_ratio"), 1.0, 0.01);
  EXPECT_DOUBLE_EQ(FigureOf<double>(o.figures, "ber_upper_bound"),
                   3.0 / static_cast<double>(sent * 10));
  EXPECT_EQ(o.lines[0], "Soak 5s at 115200,N,8,1: " + std::to_string(sent) + " characters sent, " +
                            std::to_string(sent) + " characters received --- OK");
  // A progress line about once a second, gone before the check's lines are shown.
  EXPECT_GE(context.progress_.size(), 6u);
  EXPECT_LE(context.progress_.size(), 8u);
  EXPECT_TRUE(context.progress_[2].starts_with("Soak 2s of 5s: ")) << context.progress_[2];
  EXPECT_EQ(context.progress_.back(), "");
}

TEST(Soak, EachFaultOfThePlugFailsItAndIsCountedAsItsKind) {
  // The plug's switches, the counts (the ok figure not compared), the first error, the event.
  const std::tuple<const char*, StreamCounts, std::int64_t, std::int16_t> cases[] = {
      {"drop=4500", {0, 5, 0, 0, 0}, 4500, 0},
      {"corrupt=5500", {0, 0, 4, 0, 0}, 5500, 0},
      {"swap=7000", {0, 0, 0, 0, 3}, 7000, 0},
      {"frame=7000", {0, 0, 0, 0, 0}, 0, serial::kErFrame},
      {"overrun=7000", {0, 1, 0, 0, 0}, 7000, serial::kErOverrun},
  };
  for (const auto& [switches, want, first_error, event] : cases) {
    SCOPED_TRACE(switches);
    PlugContext context(std::string("loopback?") + switches, "115200,N,8,1");
    const CheckOutcome o = Soak(context, 2000);
    EXPECT_FALSE(o.passed);
    EXPECT_EQ((StreamCounts{0, Int(o, "lost"), Int(o, "changed"), Int(o, "extra"),
                            Int(o, "out_of_order")}),
              want);
    if (first_error > 0) {
      EXPECT_EQ(Int(o, "first_error_character"), first_error);
    }
    if (event != 0) {
      EXPECT_EQ(o.events, std::vector<std::int16_t>{event});
    }
    EXPECT_FALSE(HasFigure(o.figures, "ber_upper_bound"));
    EXPECT_FALSE(o.diagnosis.empty());
  }
  // One '?' after each write to the plug: as many as the writes, none taken for a change.
  PlugContext context("loopback?extra=1", "115200,N,8,1");
  const CheckOutcome o = Soak(context, 2000);
  EXPECT_FALSE(o.passed);
  EXPECT_GT(Int(o, "extra"), 10);
  EXPECT_EQ(Int(o, "changed") + Int(o, "lost"), 0);
  EXPECT_EQ(Int(o, "characters_received"), Int(o, "characters_sent") + Int(o, "extra"));
}

TEST(Soak, AStreamThatNeverComesBackEndsAfterTwoSecondsAsLost) {
  PlugContext context("loopback?echo=off", "9600,E,7,1");
  const CheckOutcome o = Soak(context, 60000);
  EXPECT_FALSE(o.passed);
  EXPECT_LT(o.duration_ms, 3000);
  // A quarter of a second ahead at 9600,E,7,1 (10 bits): 240 characters, the smallest lead
  // being 128.
  EXPECT_EQ(Int(o, "characters_sent"), 240);
  EXPECT_EQ(Int(o, "lost"), 240);
  EXPECT_NE(o.lines.back().find("Nothing came back"), std::string::npos);
}

TEST(Soak, AStopEndsItEarlyWithItsFiguresAndNeverPasses) {
  PlugContext context("loopback", "115200,N,8,1");
  context.stop_at_us_ = 1'500'000;
  const CheckOutcome o = Soak(context, 600'000);
  EXPECT_TRUE(o.interrupted);
  EXPECT_FALSE(o.passed);
  EXPECT_LT(o.duration_ms, 2500);
  EXPECT_GT(Int(o, "characters_ok"), 17000);
  EXPECT_EQ(Int(o, "errors"), 0);
  EXPECT_NE(o.lines[0].find(": stopped after 1.5"), std::string::npos) << o.lines[0];
  EXPECT_NE(o.lines[0].find("<-- INTERRUPTED"), std::string::npos);
}

TEST(Soak, TheHandshakeIsOnForTheSoakAndPutBackAfter) {
  PlugContext context("loopback", "115200,N,8,1");
  std::vector<std::int32_t> seen;
  context.port_.FlowControl(1);
  context.stop_at_us_ = 100'000;
  context.clock_.SetSleepHook([&](std::int32_t) { seen.push_back(context.port_.FlowControl()); });
  Soak(context, 1000, true);
  context.clock_.SetSleepHook({});
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), 2);
  EXPECT_EQ(context.port_.FlowControl(), 1);
}

}  // namespace
}  // namespace serivane::run
