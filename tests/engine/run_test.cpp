// Whole runs: the exact lines of the results box and the result file, the colour, the window's
// controls and the operator's answers.
#include <string>
#include <vector>

#include "rig.h"

namespace serivane::engine::testing {
namespace {

const std::string kData = "Data Tx/Rx: 256 bytes send/received";
const std::string kSingle = " bytes Tx/Rx: Single bytes send/received";
const std::string kNoOpen =
    " Error: Cannot open the virtual loopback plug: the hardware is not available";
const std::string kClosed =
    " Error: Com-port 1 is not open: the operation is valid only when the port is open";

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
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One pass of all five tests with a good plug and the default settings.
const std::vector<std::string> kGoodPass =
    std::vector<std::string>{"+Open/Close --- OK   (Duration: 0ms)"} + DataOk(256, 70, 73) +
    std::vector<std::string>{"+100" + kSingle + " --- OK  (30ms)", Hs('+', "RTS/CTS", "off"),
                             Hs('+', "RTS/CTS", "on"), Hs('+', "DTR/DSR", "off"),
                             Hs('+', "DTR/DSR", "on")};

std::string Ask(int test) {
  return "Test " + std::to_string(test) +
         " failed.\rPress OK to continue test,\rand Cancel to abort";
}

// The selected tests against a plug with faults or with changed settings: a pass must be earned
// by the port under test, and a fault must show in the line that names it. The faults are those
// of real cabling (no echo, lost, changed or extra characters, line errors, stuck handshake
// lines, a device that goes away) and of edited settings.
TEST(Run, VerdictsNeedTheTestedPortAndAClearLine) {
  using S = settings::Settings;
  struct Case {
    std::string faults;
    std::vector<int> tests;
    std::vector<std::string> lines;
    std::function<void(S&)> adjust = nullptr;
    std::int64_t start_micros = kStartMicros;
  };
  // A start that puts the measurements across the wrap of the 32-bit millisecond tick counter.
  const std::int64_t wrap = (std::int64_t{1} << 32) * 1000 - 30'000;
  const std::string no_data = "-" + kData + " <-- FAILED  (";
  const auto eight_e_two = [](S& s) { s.BaudRate = 9600, s.Parity = 3, s.StopBits = 2; };
  const std::vector<Case> cases{
      // The plug's close and open delays are time on the shared clock; MaxDuration is 2000.
      {"opendelay=2000", {1}, {"+Open/Close --- OK   (Duration: 2000ms)"}},
      {"closedelay=1000&opendelay=1001", {1}, {"+Open/Close --- SLOW   (Duration: 2001ms)"}},
      {"opendelay=20", {1}, {"+Open/Close --- OK   (Duration: 20ms)"}, nullptr, wrap},
      // A port that does not open fails every test after it, the off checks of the handshake
      // tests included (a closed port reads its inputs off).
      {"openfail=1&echo=off",
       {1, 2, 3, 4, 5},
       {"-Open/Close --- FAILED", kNoOpen, "-" + kData + " <-- FAILED", kClosed,
        "-100" + kSingle + " <-- FAILED", kClosed, Hs('-', "RTS/CTS", "off"), kClosed,
        Hs('-', "DTR/DSR", "off"), kClosed}},
      {"echo=off", {2}, {no_data + "0 bytes received)"}, nullptr, wrap - 1'000'000},
      {"drop=100", {2}, {no_data + "254 bytes received)"}},
      {"corrupt=50", {2}, {no_data + "256 bytes received)"}},
      {"extra=3", {2}, {no_data + "259 bytes received)"}},
      // A line error fails the block even when every character came back, also when a later
      // receive event is the port's last; the first of two errors is named.
      {"frame=10",
       {2},
       {"#Comm Event: Framing error", no_data + "256 bytes received)",
        "-Data Tx/Rx: CommEvent error: 1004"}},
      {"break=5&overrun=20",
       {2},
       {"#Comm Event: Break received", "#Comm Event: Overrun error",
        no_data + "255 bytes received)", "-Data Tx/Rx: CommEvent error: 1001"}},
      // The wait ends at the 10 ms step after the echo is in: 26.7 ms of wire for 7E1.
      {"", {2}, DataOk(128, 40, 37), [](S& s) { s.DataBits = 7, s.Parity = 3; }},
      {"", {2}, DataOk(256, 70, 73), nullptr, wrap},
      // 8E2 is 12 bits a character: 320 ms of wire for the block, 6000 ms for 4800 bytes.
      {"", {2}, DataOk(256, 320, 293), [&](S& s) { eight_e_two(s), s.TestTimeout = 30; }},
      {"",
       {3},
       {"+4800" + kSingle + " --- OK  (6000ms)"},
       [&](S& s) { eight_e_two(s), s.SingleBytes = 4800, s.TestTimeout = 300; }},
      {"",
       {2},
       {"-" + kData + " <-- FAILED",
        " Error: no time limit: \"Test Timeout\" 2147483647 ms plus the wire time of 67 ms is "
        "beyond the longest wait of 2147483647 ms"},
       [](S& s) { s.TestTimeout = 2147483647; }},
      // The device is gone 30 ms into the wait: the port has closed by itself.
      {"vanish=30",
       {2},
       {"#Comm Event: Device lost: the virtual loopback plug has vanished",
        "-" + kData + " <-- FAILED", kClosed}},
      {"corrupt=1", {3}, {"+100" + kSingle + " --- OK  (30ms)"}},  // counted, not compared
      {"drop=10", {3}, {"-100" + kSingle + " <-- FAILED  (90 bytes received)"}},
      // Each character brings an extra one; the wait ends at the step after the 100th is in.
      {"extra=1", {3}, {"-100" + kSingle + " <-- FAILED  (115 bytes received)"}},
      {"",
       {3},
       {"-0" + kSingle + " <-- FAILED", " Error: the number of single bytes must be 1 or more"},
       [](S& s) { s.SingleBytes = 0; }},
      {"cts=on", {4}, {Hs('-', "RTS/CTS", "off"), Hs('+', "RTS/CTS", "on")}},
      {"dsr=off", {5}, {Hs('+', "DTR/DSR", "off"), Hs('-', "DTR/DSR", "on")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults + " " + c.lines[0]);
    Rig rig(c.faults, c.start_micros);
    if (c.adjust) c.adjust(rig.settings);
    rig.Select(c.tests);
    rig.OpenPort();
    rig.Run();
    const Expect e = Expect().Add(c.lines).Verdict();
    Check(rig, e);
    EXPECT_EQ(rig.background, e.file.find("\n-") != std::string::npos    ? kRed
                              : e.file.find("SLOW") != std::string::npos ? kYellow
                                                                         : kWhite);
  }
}

// Every open is slow, and the plug's opens run out in pass 3 (one by the port setup, one per
// pass): Open/Close fails there and the tests after it meet a closed port. A failed pass ends the
// run whatever the answer; the slow opens are counted over the run and named at its end.
TEST(Run, RepeatedRunWithSlowOpensAndAFailureInPassThree) {
  std::vector<std::string> slow_pass = kGoodPass;
  slow_pass[0] = "+Open/Close --- SLOW   (Duration: 2001ms)";
  for (const bool answer : {true, false}) {
    SCOPED_TRACE(answer);
    Rig rig("openfail=3&opendelay=2001");
    rig.repeat = true;
    rig.answer = answer;
    rig.OpenPort();
    rig.Run();

    Expect e;
    e.Add(slow_pass).Summary("+All test(s) passed  (Loop 1)");
    e.Add(slow_pass).Summary("+All test(s) passed  (Loop 2)");
    e.Add({"-Open/Close --- FAILED", kNoOpen});
    std::vector<std::string> asks{Ask(1)};
    if (answer) {
      e.Add({"-" + kData + " <-- FAILED", kClosed, "-100" + kSingle + " <-- FAILED", kClosed,
             Hs('-', "RTS/CTS", "off"), kClosed, Hs('-', "DTR/DSR", "off"), kClosed});
      asks.insert(asks.end(), {Ask(2), Ask(3), Ask(4), Ask(5)});
    }
    e.Summary("-TEST(S) FAILED !!");
    e.Add({"#Test(s) repeated 3 times", "=Some 'Close/Open port' tests are slow (>2000ms): 2"});
    Check(rig, e);
    EXPECT_EQ(rig.asks, asks);
    EXPECT_EQ(rig.background, kRed);
    EXPECT_EQ(rig.tester.SlowOpens(), 2);
  }
}

// A stop asked for during a test ends the run after it: the pass writes its summary and no pass
// follows. The request ends with that run; the next one runs in full.
TEST(Run, StopEndsTheRunAfterTheCurrentTest) {
  Rig rig;
  rig.repeat = true;
  rig.Select({1, 2, 4});
  rig.OpenPort();
  bool asked = false;
  rig.on_do_events = [&] {  // during the data test's wait
    if (!asked && rig.text.find("Open/Close") != std::string::npos) {
      asked = true;
      rig.tester.RequestStopAfterCurrentTest();
    }
  };
  rig.Run();
  const std::vector<std::string> pass =
      std::vector<std::string>{"+Open/Close --- OK   (Duration: 0ms)"} + DataOk(256, 70, 73);
  Check(rig, Expect().Add(pass).Summary("+All test(s) passed  (Loop 1)"));
  rig.repeat = false;
  rig.Run();
  Check(rig, Expect()
                 .Add(pass +
                      std::vector<std::string>{Hs('+', "RTS/CTS", "off"), Hs('+', "RTS/CTS", "on")})
                 .Verdict());
}

// Whatever fails, in the port or in the window, no exception leaves the run: a test reports an
// error of the port as its failure, anything else aborts the run. Either way the run gives back
// the controls, closes its file and ends, and the next run starts afresh: new file, white box.
// The status timer may call Run whenever the run yields: no run starts inside it.
TEST(Run, FailuresOfPortOrWindowEndTheRunCleanly) {
  const std::string gone = " Error: device gone";
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
    EXPECT_NO_THROW(rig.Run());
    rig.clock.SetSleepHook(nullptr);
    Expect e;
    if (window_fails) {
      e.Add({"-" + kData + " <-- FAILED  (0 bytes received)", "-Test run aborted: window failure"});
    } else {
      e.Add({"-" + kData + " <-- FAILED", gone, "-100" + kSingle + " <-- FAILED", gone,
             Hs('-', "RTS/CTS", "off"), gone, Hs('-', "DTR/DSR", "off"), gone})
          .Verdict();
    }
    Check(rig, e);
    EXPECT_EQ(rig.background, kRed);
    EXPECT_GE(nested_calls, 4);
    EXPECT_EQ(rig.control_changes, 2);

    rig.throw_at_ask = false;
    rig.Select({});
    rig.Run();
    Check(rig, Expect().Verdict());
    EXPECT_EQ(rig.background, kWhite);
  }
}

// Lines reach the file as they are reported, so a program that ends during a run keeps them.
// "Close when finished" ends the program once the run is over, without yielding again. A test box
// checked during a run counts when its test's turn comes.
TEST(Run, FileIsWrittenThroughAndCloseWhenFinished) {
  Rig rig("cts=on");
  rig.Select({4});
  rig.close_when_finished = true;
  rig.on_ask = [&] { rig.settings.TestSelected[5] = true; };
  std::vector<std::string> seen;
  rig.on_do_events = [&] { seen.push_back(rig.File()); };
  rig.on_exit = [&] { seen.push_back(rig.tester.Running() ? "running" : rig.File()); };
  rig.OpenPort();
  rig.Run();
  EXPECT_TRUE(rig.exited);
  // Yields at the start, after the start line and after the pass; none after the exit.
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[1], "Test started {dt}\r\n");
  EXPECT_EQ(seen[3], rig.File());
  EXPECT_EQ(seen[3], Expect()
                         .Add({Hs('-', "RTS/CTS", "off"), Hs('+', "RTS/CTS", "on"),
                               Hs('+', "DTR/DSR", "off"), Hs('+', "DTR/DSR", "on")})
                         .Verdict()
                         .file);
}

// A test run again outside a run (the station runner's check at a lower rate) takes its echo as
// in a run and writes no file.
TEST(Run, RetestOutsideARun) {
  Rig rig("corrupt=10");
  rig.OpenPort();
  EXPECT_TRUE(rig.tester.Retest(2));
  EXPECT_FALSE(rig.tester.Retest(3));
  EXPECT_FALSE(rig.tester.Running());
  EXPECT_EQ(rig.text,
            "Data Tx/Rx: 256 bytes send/received <-- FAILED  (256 bytes received)\r\n"
            "100" +
                kSingle + " --- OK  (30ms)\r\n");
  EXPECT_FALSE(std::filesystem::exists(rig.settings.ResultFileName));
}

}  // namespace
}  // namespace serivane::engine::testing
