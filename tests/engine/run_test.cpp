// Whole runs: the exact lines of the results box and the result file, the colour and the
// operator's answers.
#include <optional>

#include "rig.h"

namespace serivane::engine::testing {
namespace {

const std::string kData = "Data Tx/Rx: 256 bytes send/received";
const std::string kSingle = "100 bytes Tx/Rx: Single bytes send/received";
const std::string kNoOpen =
    " Error: Cannot open the virtual loopback plug: the hardware is not available";

// A handshake line: `mark` '+' for OK, '-' for FAILED.
std::string Hs(char mark, const std::string& name, const std::string& state) {
  return mark + name + " handshake: " + name + "= " + state +
         (mark == '+' ? " --- OK" : " <-- FAILED");
}
std::vector<std::string> DataOk(int bytes, int ms, int calculated) {
  return {"+Data Tx/Rx: " + std::to_string(bytes) + " bytes send/received --- OK",
          " (Duration: " + std::to_string(ms) + "ms , Calculated: ~" + std::to_string(calculated) +
              "ms)"};
}

// The selected tests against a plug with faults or with changed settings: a pass must be earned
// by the port under test, and a fault must show in the line that names it. Each test's outcome
// holds what happened, and the observer is told the test's lines as the test's; a port event's
// message is the port's.
TEST(Run, VerdictsNeedTheTestedPortAndAClearLine) {
  struct Case {
    std::string faults;
    std::vector<int> tests;
    std::vector<std::string> lines;
    std::function<void(Rig&)> adjust = nullptr;
    std::vector<HandshakeLevels> levels = {};  // the last test's readings, when given
    std::int64_t run_ms = -1;                  // the clock time the run takes, when given
  };
  const std::string no_data = "-" + kData + " <-- FAILED  (";
  const std::string noisy = " The line did not go quiet before the test: ";
  // clang-format off
  const std::vector<Case> cases{
      // The plug's close and open delays are time on the shared clock; MaxDuration is 2000.
      {"opendelay=2000", {1}, {"+Open/Close --- OK   (Duration: 2000ms)"}},
      // A closed port reads its handshake inputs off: the off checks must fail all the same.
      {"openfail=1", {1, 4}, {"-Open/Close --- FAILED", kNoOpen, Hs('-', "RTS/CTS", "off"),
       " Error: Com-port 1 is not open: the operation is valid only when the port is open"}},
      {"echo=off", {2}, {no_data + "0 bytes received)"}},
      {"corrupt=50", {2}, {no_data + "256 bytes received)"}},
      // A line error fails the block (a whole one too); the first of two errors is named.
      {"break=5&overrun=20", {2}, {"#Comm Event: Break received", "#Comm Event: Overrun error",
       no_data + "255 bytes received)", "-Data Tx/Rx: CommEvent error: 1001"}},
      // The wait ends at the 10 ms step after the echo is in: 26.7 ms of wire for 7O1, across
      // the wrap of the tick counter.
      {"", {2}, DataOk(128, 40, 37),
       [](Rig& r) { r.settings.DataBits = 7, r.settings.Parity = 2; }},
      {"corrupt=1", {3}, {"+" + kSingle + " --- OK  (30ms)"}},  // counted, not compared
      {"drop=10", {3}, {"-" + kSingle + " <-- FAILED  (90 bytes received)"}},
      // Each character brings an extra one; the wait ends at the step after the 100th is in.
      {"extra=1", {3}, {"-" + kSingle + " <-- FAILED  (115 bytes received)"}},
      {"cts=on", {4}, {Hs('-', "RTS/CTS", "off"), Hs('+', "RTS/CTS", "on")}, nullptr,
       {{false, true, true}, {true, true, true}}},
      {"dsr=on&dcd=off", {5}, {Hs('-', "DTR/DSR", "off"), Hs('+', "DTR/DSR", "on")}, nullptr,
       {{false, true, false}, {true, true, false}}},
      // A far end that sends each character back 20 ms after the one before it: the data test's
      // limit of 2067 ms brings back 103 characters of its block, and the other 153 keep coming
      // for three more seconds. The single-bytes test must not take them for its own echo: it
      // waits for a quiet line and fails when the line stays busy for its whole limit (2026 ms:
      // another 101 or so characters). The data test's wait ends at its first 10 ms step after
      // 2067 ms.
      {"slow=20", {2, 3}, {no_data + "103 bytes received)", "-" + kSingle + " <-- FAILED",
       noisy + "101 characters kept arriving from before it"}, nullptr, {}, 2070 + 2026},
      // With a longer "Test Timeout" the leftovers end within the limit: 203 of the block within
      // 4067 ms; the last of the 256 is in at 5120 ms, and the line is quiet three gaps (60 ms)
      // after it. The single-bytes test's duration counts only its own echo.
      {"slow=20", {2, 3}, {no_data + "203 bytes received)", "+" + kSingle + " --- OK  (2000ms)"},
       [](Rig& r) { r.settings.TestTimeout = 4000; }, {}, 5120 + 60 + 2000},
      // A window that sleeps on the port ends the echo waits when the last character is in: the
      // run takes the wire time of the block and of the single bytes, to the tick.
      {"", {2, 3}, {DataOk(256, 67, 73)[0], DataOk(256, 67, 73)[1],
       "+" + kSingle + " --- OK  (27ms)"},
       [](Rig& r) { r.wakes_on_port = true; }, {}, 67 + 27},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults + " " + c.lines[0]);
    Rig rig(c.faults);
    if (c.adjust) c.adjust(rig);
    rig.Select(c.tests);
    rig.OpenPort();
    const std::int64_t start = rig.clock.NowMicros();
    rig.tester.Run();
    Check(rig, Expect().Add(c.lines).Verdict());
    if (c.run_ms >= 0) {
      EXPECT_EQ((rig.clock.NowMicros() - start) / 1000, c.run_ms);
    }

    ASSERT_EQ(rig.pass_outcomes.size(), 1u);
    const std::vector<TestOutcome>& outcomes = rig.pass_outcomes[0].tests;
    ASSERT_EQ(outcomes.size(), c.tests.size());
    std::vector<std::string> lines, told, events, marked;
    for (const TestOutcome& o : outcomes) lines.insert(lines.end(), o.lines.begin(), o.lines.end());
    for (const auto& [line, origin] : rig.origins) {
      if (origin == LineOrigin::kTest) told.push_back(line);
      if (origin == LineOrigin::kEvent) events.push_back("#" + line);
    }
    for (const std::string& l : c.lines)
      if (l[0] == '#') marked.push_back(l);
    EXPECT_EQ(told, lines);
    EXPECT_EQ(events, marked);
    if (!c.levels.empty()) {
      EXPECT_EQ(outcomes.back().levels, c.levels);
    }
  }
}

// Every open is slow, and the plug's opens run out in pass 3 (one by the port setup, one per
// pass): Open/Close fails there. A failed pass ends the run even when the operator cancels only
// the rest of the pass; the slow opens are counted over the run and named at its end. With
// "Close when finished" the program ends once the run has ended.
TEST(Run, RepeatedRunWithSlowOpensAndAFailureInPassThree) {
  Rig rig("openfail=3&opendelay=2001");
  rig.repeat = true;
  rig.answer = false;
  rig.close_when_finished = true;
  rig.on_exit = [&] { EXPECT_FALSE(rig.tester.Running()); };
  rig.OpenPort();
  rig.tester.Run();
  Expect e;
  for (const std::string loop : {"1", "2"}) {
    e.Add({"+Open/Close --- SLOW   (Duration: 2001ms)"}).Add(DataOk(256, 70, 73));
    e.Add({"+" + kSingle + " --- OK  (30ms)", Hs('+', "RTS/CTS", "off"), Hs('+', "RTS/CTS", "on"),
           Hs('+', "DTR/DSR", "off"), Hs('+', "DTR/DSR", "on")});
    e.Summary("+All test(s) passed  (Loop " + loop + ")");
  }
  e.Add({"-Open/Close --- FAILED", kNoOpen}).Summary("-TEST(S) FAILED !!");
  e.Add({"#Test(s) repeated 3 times", "=Some 'Close/Open port' tests are slow (>2000ms): 2"});
  Check(rig, e);
  // The failed reopen keeps the port's error number, for readers that diagnose it.
  ASSERT_EQ(rig.pass_outcomes.size(), 3u);
  EXPECT_EQ(rig.pass_outcomes[1].tests[0].port_error, 0);
  EXPECT_EQ(rig.pass_outcomes[2].tests[0].port_error, serial::kErrHardwareNotAvailable);
  EXPECT_EQ(rig.asks, std::vector<std::string>{"Test 1 failed.\rPress OK to continue test,\rand "
                                               "Cancel to abort"});
  EXPECT_TRUE(rig.exited);
}

// Whatever fails, in the port or in the window, no exception leaves the run: a test reports an
// error of the port as its failure, anything else aborts the run. Either way the run gives back
// the controls, closes its file and ends. The status timer may call Run whenever the run yields:
// no run starts inside it.
TEST(Run, FailuresOfPortOrWindowEndTheRunCleanly) {
  for (const bool window_fails : {false, true}) {
    SCOPED_TRACE(window_fails);
    Rig rig("echo=off");
    rig.Select({2, 3, 4, 5});
    rig.OpenPort();
    rig.throw_at_ask = window_fails;
    int nested_calls = 0;
    rig.on_do_events = rig.on_ask = [&] {
      if (++nested_calls < 100) rig.tester.Run();  // a missing guard must not recurse
    };
    // Each pause of a test throws, as a failing port call would.
    if (!window_fails)
      rig.clock.SetSleepHook([](std::int32_t) { throw serial::CommError(8002, "device gone"); });
    EXPECT_NO_THROW(rig.tester.Run());
    rig.clock.SetSleepHook(nullptr);
    const std::string gone = " Error: device gone";
    Check(rig,
          window_fails
              ? Expect().Add({"-" + kData + " <-- FAILED  (0 bytes received)",
                              "-Test run aborted: window failure"})
              : Expect()
                    .Add({"-" + kData + " <-- FAILED", gone, "-" + kSingle + " <-- FAILED", gone,
                          Hs('-', "RTS/CTS", "off"), gone, Hs('-', "DTR/DSR", "off"), gone})
                    .Verdict());
    EXPECT_GE(nested_calls, 4);
    EXPECT_EQ(rig.asks.size(), window_fails ? 1u : 4u);  // one run, not one inside another
  }
}

}  // namespace
}  // namespace serivane::engine::testing
