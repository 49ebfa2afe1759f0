// The soak: its stream, the comparison that resynchronises after a fault, and whole soaks on the
// virtual plug run on a manual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "tools/run/checks/soak.h"

namespace serivane::run {
namespace {

// ---- The stream ----

TEST(SoakSequence, EachRoundHoldsEveryCodeOnceAndTheStreamRepeatsFromRunToRun) {
  for (const int bits : {5, 7, 8}) {
    SCOPED_TRACE(bits);
    const std::size_t codes = std::size_t{1} << bits;
    SoakSequence a(bits), b(bits);
    const std::string first = a.Next(3 * codes);
    std::string again = b.Next(codes);
    again += b.Next(2 * codes);
    EXPECT_EQ(first, again);
    for (std::size_t round = 0; round < 3; ++round) {
      std::string r = first.substr(round * codes, codes);
      std::sort(r.begin(), r.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
      });
      for (std::size_t i = 0; i < codes; ++i) ASSERT_EQ(static_cast<unsigned char>(r[i]), i);
    }
    // Shuffled, and shuffled differently each round.
    EXPECT_NE(first.substr(0, codes), first.substr(codes, codes));
    EXPECT_NE(static_cast<unsigned char>(first[0]) + 1, static_cast<unsigned char>(first[1]));
  }
}

// ---- Comparing stretches ----

TEST(SoakCompare, AStretchIsSplitIntoInOrderMovedChangedLostAndExtra) {
  struct Case {
    std::string sent, received;
    StreamCounts want;  // ok, lost, changed, extra, out_of_order
  };
  const Case cases[] = {
      {"A", "B", {0, 0, 1, 0, 0}},       {"AB", "BA", {1, 0, 0, 0, 1}},
      {"ABCD", "BCDA", {3, 0, 0, 0, 1}}, {"ABC", "", {0, 3, 0, 0, 0}},
      {"", "??", {0, 0, 0, 2, 0}},       {"ABC", "AXYZC", {2, 0, 1, 2, 0}},
      {"ABCDE", "AD", {2, 3, 0, 0, 0}},  {"ABCD", "BAXD", {2, 0, 1, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent + " -> " + c.received);
    EXPECT_EQ(CompareStretch(c.sent, c.received), c.want);
  }
}

// ---- Comparing streams ----

// A stream of 2000 characters of the soak, the fault made to it, and what the check must count.
struct StreamCase {
  const char* what;
  std::string (*fault)(std::string);
  StreamCounts want;
  std::int64_t first_error;
};

std::string Stream() {
  return SoakSequence(8).Next(2000);
}

std::string Erase(std::string s, std::size_t at, std::size_t n) {
  return s.erase(at, n);
}

const StreamCase kStreams[] = {
    {"intact", [](std::string s) { return s; }, {2000, 0, 0, 0, 0}, 0},
    {"one lost", [](std::string s) { return Erase(s, 500, 1); }, {1999, 1, 0, 0, 0}, 501},
    {"a burst of 40 lost",
     [](std::string s) { return Erase(s, 700, 40); },
     {1960, 40, 0, 0, 0},
     701},
    {"a burst of 300 lost, beyond the window",
     [](std::string s) { return Erase(s, 700, 300); },
     {1700, 300, 0, 0, 0},
     701},
    {"one changed",
     [](std::string s) {
       s[1200] = static_cast<char>(s[1200] ^ 1);
       return s;
     },
     {1999, 0, 1, 0, 0},
     1201},
    {"three extra in two places",
     [](std::string s) { return s.insert(100, "??").insert(1500, "?"); },
     {2000, 0, 0, 3, 0},
     101},
    {"two swapped",
     [](std::string s) {
       std::swap(s[900], s[901]);
       return s;
     },
     {1999, 0, 0, 0, 1},
     901},
    {"one moved five places on",
     [](std::string s) {
       const char c = s[300];
       s.erase(300, 1);
       return s.insert(305, 1, c);
     },
     {1999, 0, 0, 0, 1},
     301},
    {"the last character lost",
     [](std::string s) { return Erase(s, 1999, 1); },
     {1999, 1, 0, 0, 0},
     2000},
    {"the last two changed",
     [](std::string s) {
       s[1998] = static_cast<char>(s[1998] ^ 0x80);
       s[1999] = static_cast<char>(s[1999] ^ 0x80);
       return s;
     },
     {1998, 0, 2, 0, 0},
     1999},
    {"garbage for 200 characters",
     [](std::string s) {
       for (std::size_t i = 600; i < 800; ++i) s[i] = static_cast<char>(s[i] ^ 0x55);
       return s;
     },
     {1800, 0, 200, 0, 0},
     601},
};

TEST(SoakStreamCheck, EachFaultIsCountedOnceAndTheStreamPicksUpAfterIt) {
  const std::string sent = Stream();
  for (const StreamCase& c : kStreams) {
    SCOPED_TRACE(c.what);
    const std::string received = c.fault(sent);
    // As a soak sees them: sent in pieces up to 500 ahead of what comes back in other pieces.
    StreamCheck check;
    std::size_t sent_at = 0, received_at = 0;
    while (received_at < received.size() || sent_at < sent.size()) {
      const std::size_t room =
          static_cast<std::size_t>(500 - std::min<std::int64_t>(check.Outstanding(), 500));
      const std::size_t s =
          std::min<std::size_t>(std::min<std::size_t>(97, room), sent.size() - sent_at);
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
    EXPECT_EQ(check.Counts(), c.want);
    EXPECT_EQ(check.Outstanding(), 0);
    EXPECT_EQ(check.FirstErrorCharacter(), c.first_error);
  }
}

TEST(SoakStreamCheck, WhatComesBackAfterEverythingWasAccountedForIsExtra) {
  StreamCheck check;
  check.Sent("ABCDEFGHIJ");
  check.Settle();
  EXPECT_EQ(check.Counts(), (StreamCounts{0, 10, 0, 0, 0}));
  check.Received("ABC");
  EXPECT_EQ(check.Counts(), (StreamCounts{0, 10, 0, 3, 0}));
}

TEST(SoakStreamCheck, AMismatchWaitsForEnoughToDecideBeforeItCounts) {
  std::string sent = Stream().substr(0, 200);
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

// ---- Whole soaks on the plug ----

// The run as a soak sees it: the plug on a manual clock that Wait() moves on.
class PlugContext final : public CheckContext {
 public:
  explicit PlugContext(const std::string& target, const std::string& line = "115200,N,8,1")
      : port_([target](std::int16_t) { return target; }, clock_) {
    port_.LineSettings(line);
    port_.ReceiveThreshold(0);
    port_.OnCommEvent = [this] { events_.push_back(port_.CommEvent()); };
    port_.OpenState(true);
  }
  serial::CommControl& Port() override { return port_; }
  Clock& GetClock() override { return clock_; }
  const settings::Settings& RunSettings() const override { return settings_; }
  void Wait(std::int32_t max_ms) override {
    clock_.Sleep(max_ms);
    port_.Service();
    if (stop_after_ms_ >= 0 && clock_.NowMicros() >= stop_after_ms_ * 1000) stop_ = true;
  }
  bool StopRequested() const override { return stop_; }
  void Progress(std::string_view line) override { progress_.emplace_back(line); }
  std::vector<std::int16_t> TakeEvents() override { return std::exchange(events_, {}); }
  bool NoModemLines() const override { return false; }

  // The port last: it is closed first, while what its events go to still exists.
  ManualClock clock_;
  settings::Settings settings_;
  std::vector<std::int16_t> events_;
  std::vector<std::string> progress_;
  std::int64_t stop_after_ms_ = -1;
  bool stop_ = false;
  serial::CommControl port_;
};

std::int64_t IntFigure(const CheckOutcome& o, const std::string& key) {
  for (const Figure& f : o.figures)
    if (f.key == key) return std::get<std::int64_t>(f.value);
  ADD_FAILURE() << "no figure " << key;
  return -1;
}

double RealFigure(const CheckOutcome& o, const std::string& key) {
  for (const Figure& f : o.figures)
    if (f.key == key) return std::get<double>(f.value);
  ADD_FAILURE() << "no figure " << key;
  return -1;
}

bool HasFigure(const CheckOutcome& o, const std::string& key) {
  return std::any_of(o.figures.begin(), o.figures.end(),
                     [&](const Figure& f) { return f.key == key; });
}

TEST(Soak, AnIntactStreamPassesAtTheWireRateWithABitErrorBound) {
  PlugContext context("loopback");
  const CheckOutcome o = RunSoakCheck(context, 5000, false);
  ASSERT_TRUE(o.passed) << o.lines[0];
  EXPECT_FALSE(o.interrupted);
  EXPECT_EQ(o.title, "Soak for 5s at 115200,N,8,1");
  // 11520 characters a second for 5 s, give or take what was on its way at the end.
  const std::int64_t sent = IntFigure(o, "characters_sent");
  EXPECT_GE(sent, 57000);
  EXPECT_LE(sent, 57600 + 2880);
  EXPECT_EQ(IntFigure(o, "characters_received"), sent);
  EXPECT_EQ(IntFigure(o, "characters_ok"), sent);
  EXPECT_EQ(IntFigure(o, "errors"), 0);
  EXPECT_NEAR(RealFigure(o, "throughput_ratio"), 1.0, 0.01);
  EXPECT_DOUBLE_EQ(RealFigure(o, "ber_upper_bound"), 3.0 / static_cast<double>(sent * 10));
  EXPECT_EQ(o.lines[0], "Soak 5s at 115200,N,8,1: " + std::to_string(sent) + " characters sent, " +
                            std::to_string(sent) + " characters received --- OK");
  EXPECT_EQ(o.lines[3], "Line counters: not available");
  EXPECT_TRUE(o.diagnosis.empty());
  // A progress line about once a second.
  EXPECT_GE(context.progress_.size(), 6u);
  EXPECT_LE(context.progress_.size(), 8u);
  EXPECT_EQ(context.progress_[2].substr(0, 15), "Soak 2s of 5s: ");
  EXPECT_NE(context.progress_[2].find(" characters, 0 errors"), std::string::npos);
  EXPECT_EQ(context.progress_.back(), "");  // gone before the check's lines are shown
}

TEST(Soak, EachFaultOfThePlugFailsItAndIsCountedAsItsKind) {
  struct Case {
    std::string switches;
    StreamCounts want;  // the ok figure is not compared
    std::int64_t first_error_character;
    std::int16_t event;
  };
  const Case cases[] = {
      {"drop=4500", {0, 5, 0, 0, 0}, 4500, 0},
      {"corrupt=5500", {0, 0, 4, 0, 0}, 5500, 0},
      {"swap=7000", {0, 0, 0, 0, 3}, 7000, 0},
      {"frame=7000", {0, 0, 0, 0, 0}, 0, serial::kErFrame},
      {"overrun=7000", {0, 1, 0, 0, 0}, 7000, serial::kErOverrun},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.switches);
    PlugContext context("loopback?" + c.switches);
    const CheckOutcome o = RunSoakCheck(context, 2000, false);
    EXPECT_FALSE(o.passed);
    EXPECT_FALSE(o.interrupted);
    EXPECT_EQ(IntFigure(o, "lost"), c.want.lost);
    EXPECT_EQ(IntFigure(o, "changed"), c.want.changed);
    EXPECT_EQ(IntFigure(o, "extra"), c.want.extra);
    EXPECT_EQ(IntFigure(o, "out_of_order"), c.want.out_of_order);
    if (c.first_error_character > 0) {
      EXPECT_EQ(IntFigure(o, "first_error_character"), c.first_error_character);
    }
    EXPECT_EQ(IntFigure(o, "line_error_events"), c.event != 0 ? 1 : 0);
    if (c.event != 0) {
      EXPECT_EQ(o.events, std::vector<std::int16_t>{c.event});
    }
    EXPECT_FALSE(HasFigure(o, "ber_upper_bound"));
    EXPECT_TRUE(HasFigure(o, "first_error_ms"));
    EXPECT_NE(o.lines[0].find("<-- FAILED"), std::string::npos);
    EXPECT_FALSE(o.diagnosis.empty());
  }
}

TEST(Soak, ExtraCharactersAreCountedAsExtraOnly) {
  PlugContext context("loopback?extra=1");
  const CheckOutcome o = RunSoakCheck(context, 2000, false);
  EXPECT_FALSE(o.passed);
  // One '?' after each write to the plug: as many as the writes, none taken for a change.
  EXPECT_GT(IntFigure(o, "extra"), 10);
  EXPECT_EQ(IntFigure(o, "changed"), 0);
  EXPECT_EQ(IntFigure(o, "lost"), 0);
  EXPECT_EQ(IntFigure(o, "characters_received"),
            IntFigure(o, "characters_sent") + IntFigure(o, "extra"));
}

TEST(Soak, AStreamThatNeverComesBackEndsAfterTwoSecondsAsLost) {
  PlugContext context("loopback?echo=off", "9600,E,7,1");
  const CheckOutcome o = RunSoakCheck(context, 60000, false);
  EXPECT_FALSE(o.passed);
  EXPECT_LT(o.duration_ms, 3000);
  // A quarter of a second ahead at 9600,E,7,1 (10 bits): 240 characters, the smallest lead
  // being 128.
  EXPECT_EQ(IntFigure(o, "characters_sent"), 240);
  EXPECT_EQ(IntFigure(o, "lost"), 240);
  EXPECT_NE(o.lines.back().find("Nothing came back"), std::string::npos);
}

TEST(Soak, AStopEndsItEarlyWithItsFiguresAndNeverPasses) {
  PlugContext context("loopback");
  context.stop_after_ms_ = 1500;
  const CheckOutcome o = RunSoakCheck(context, 600'000, false);
  EXPECT_TRUE(o.interrupted);
  EXPECT_FALSE(o.passed);
  EXPECT_LT(o.duration_ms, 2500);
  EXPECT_GT(IntFigure(o, "characters_ok"), 17000);
  EXPECT_EQ(IntFigure(o, "errors"), 0);
  EXPECT_NE(o.lines[0].find(": stopped after 1.5"), std::string::npos) << o.lines[0];
  EXPECT_NE(o.lines[0].find("<-- INTERRUPTED"), std::string::npos);
  EXPECT_TRUE(o.diagnosis.empty());
}

TEST(Soak, TheHandshakeIsOnForTheSoakAndPutBackAfter) {
  PlugContext context("loopback");
  std::vector<std::int32_t> seen;
  context.port_.FlowControl(1);
  context.stop_after_ms_ = 100;
  context.clock_.SetSleepHook([&](std::int32_t) { seen.push_back(context.port_.FlowControl()); });
  const CheckOutcome o = RunSoakCheck(context, 1000, true);
  context.clock_.SetSleepHook({});
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), 2);
  EXPECT_EQ(context.port_.FlowControl(), 1);
  EXPECT_EQ(o.title, "Soak for 1s at 115200,N,8,1 with RTS/CTS handshake");
}

TEST(Soak, DurationsReadAsTheyWereGiven) {
  EXPECT_EQ(DurationText(90'000), "90s");
  EXPECT_EQ(DurationText(600'000), "10m");
  EXPECT_EQ(DurationText(7'200'000), "2h");
  EXPECT_EQ(DurationText(5'400'000), "90m");
  EXPECT_EQ(DurationText(1500), "1500ms");
}

}  // namespace
}  // namespace serivane::run
