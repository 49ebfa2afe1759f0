// One run of one test against a virtual plug with one fault: the exact lines of the results box
// and of the result file, the verdict and the colour.
#include <functional>
#include <string>
#include <vector>

#include "rig.h"

namespace serivane::engine::testing {
namespace {

// A result line: its mark in the file ('+', '-', ' '), or 0 for a line of the box only.
struct Line {
  char mark;
  std::string text;
};

struct Case {
  std::string name;
  std::string faults;
  int test;  // the one test selected, 0 for none
  std::function<void(settings::Settings&)> adjust;
  std::vector<Line> lines;
  bool failed;
  Rgb colour;
};

// The description the control gives for the error the plug raises on its `nth_open` open.
std::string OpenError(const std::string& faults, int nth_open) {
  ManualClock clock;
  serial::CommControl port([&](std::int16_t) { return "loopback?" + faults; }, clock);
  try {
    for (int i = 1; i <= nth_open; ++i) {
      port.OpenState(false);
      port.OpenState(true);
    }
  } catch (const serial::CommError& e) {
    return e.description();
  }
  return "(no error)";
}

std::string NotOpenError() {
  ManualClock clock;
  serial::CommControl port([](std::int16_t) { return std::string("loopback"); }, clock);
  try {
    (void)port.ReceivedText();
  } catch (const serial::CommError& e) {
    return e.description();
  }
  return "(no error)";
}

const auto kNoChange = [](settings::Settings&) {};

std::vector<Case> Cases() {
  return {
      {"NothingSelected", "", 0, kNoChange, {}, false, kWhite},
      // Open/Close: the plug's open and close delays are time on the shared clock.
      {"OpenCloseOk",
       "",
       1,
       kNoChange,
       {{'+', "Open/Close --- OK   (Duration: 0ms)"}},
       false,
       kWhite},
      {"OpenCloseAtMaxDurationIsOk",
       "opendelay=2000",
       1,
       kNoChange,
       {{'+', "Open/Close --- OK   (Duration: 2000ms)"}},
       false,
       kWhite},
      {"OpenCloseOneAboveIsSlow",
       "opendelay=2001",
       1,
       kNoChange,
       {{'+', "Open/Close --- SLOW   (Duration: 2001ms)"}},
       false,
       kYellow},
      {"CloseAndOpenCountTogether",
       "closedelay=1000&opendelay=1001",
       1,
       kNoChange,
       {{'+', "Open/Close --- SLOW   (Duration: 2001ms)"}},
       false,
       kYellow},
      {"MaxDurationZero",
       "opendelay=1",
       1,
       [](settings::Settings& s) { s.MaxDuration = 0; },
       {{'+', "Open/Close --- SLOW   (Duration: 1ms)"}},
       false,
       kYellow},
      {"PortWillNotReopen",
       "openfail=1",
       1,
       kNoChange,
       {{'-', "Open/Close --- FAILED"}, {' ', "Error: " + OpenError("openfail=1", 2)}},
       true,
       kRed},
      // Data Tx/Rx at 38400 8N1: 256 characters of 10 bits take 66.7 ms on the wire; the wait
      // ends at the first 10 ms step after the last one arrived.
      {"DataOk",
       "",
       2,
       kNoChange,
       {{'+', "Data Tx/Rx: 256 bytes send/received --- OK"},
        {' ', "(Duration: 70ms , Calculated: ~73ms)"}},
       false,
       kWhite},
      // 7E1: 128 characters of 10 bits, 33.3 ms.
      {"DataSevenBits",
       "",
       2,
       [](settings::Settings& s) {
         s.DataBits = 7;
         s.Parity = 3;
       },
       {{'+', "Data Tx/Rx: 128 bytes send/received --- OK"},
        {' ', "(Duration: 40ms , Calculated: ~37ms)"}},
       false,
       kWhite},
      // A tie of the calculated time goes to the even neighbour: 62.5 -> 62.
      {"DataCalculatedTie",
       "",
       2,
       [](settings::Settings& s) { s.BaudRate = 45056; },
       {{'+', "Data Tx/Rx: 256 bytes send/received --- OK"},
        {' ', "(Duration: 60ms , Calculated: ~62ms)"}},
       false,
       kWhite},
      {"DataNoEcho",
       "echo=off",
       2,
       kNoChange,
       {{'-', "Data Tx/Rx: 256 bytes send/received <-- FAILED  (0 bytes received)"}},
       true,
       kRed},
      {"DataShortEcho",
       "drop=100",
       2,
       kNoChange,
       {{'-', "Data Tx/Rx: 256 bytes send/received <-- FAILED  (254 bytes received)"}},
       true,
       kRed},
      {"DataCorruptEcho",
       "corrupt=50",
       2,
       kNoChange,
       {{'-', "Data Tx/Rx: 256 bytes send/received <-- FAILED  (256 bytes received)"}},
       true,
       kRed},
      {"DataLongEcho",
       "extra=3",
       2,
       kNoChange,
       {{'-', "Data Tx/Rx: 256 bytes send/received <-- FAILED  (259 bytes received)"}},
       true,
       kRed},
      // The echo is right, but a framing error is the last event: the monitor's message stands
      // before the test's lines.
      {"DataFramingErrorLast",
       "frame=256",
       2,
       kNoChange,
       {{0, "Comm Event: Framing error"},
        {'-', "Data Tx/Rx: 256 bytes send/received <-- FAILED  (256 bytes received)"},
        {'-', "Data Tx/Rx: CommEvent error: 1004"}},
       true,
       kRed},
      // Single bytes at 38400 8N1: 100 characters, 26.0 ms.
      {"SingleOk",
       "",
       3,
       kNoChange,
       {{'+', "100 bytes Tx/Rx: Single bytes send/received --- OK  (30ms)"}},
       false,
       kWhite},
      {"SingleCountsNotCompares",
       "corrupt=1",
       3,
       kNoChange,
       {{'+', "100 bytes Tx/Rx: Single bytes send/received --- OK  (30ms)"}},
       false,
       kWhite},
      {"SingleNoEcho",
       "echo=off",
       3,
       kNoChange,
       {{'-', "100 bytes Tx/Rx: Single bytes send/received <-- FAILED  (0 bytes received)"}},
       true,
       kRed},
      {"SingleLost",
       "drop=10",
       3,
       kNoChange,
       {{'-', "100 bytes Tx/Rx: Single bytes send/received <-- FAILED  (90 bytes received)"}},
       true,
       kRed},
      {"SingleCountZero",
       "",
       3,
       [](settings::Settings& s) { s.SingleBytes = 0; },
       {{'-', "0 bytes Tx/Rx: Single bytes send/received <-- FAILED"},
        {' ', "Error: the number of single bytes must be 1 or more"}},
       true,
       kRed},
      {"SingleCountNegative",
       "",
       3,
       [](settings::Settings& s) { s.SingleBytes = -5; },
       {{'-', "-5 bytes Tx/Rx: Single bytes send/received <-- FAILED"},
        {' ', "Error: the number of single bytes must be 1 or more"}},
       true,
       kRed},
      // Handshakes.
      {"RtsCtsOk",
       "",
       4,
       kNoChange,
       {{'+', "RTS/CTS handshake: RTS/CTS= off --- OK"},
        {'+', "RTS/CTS handshake: RTS/CTS= on --- OK"}},
       false,
       kWhite},
      {"CtsStuckOn",
       "cts=on",
       4,
       kNoChange,
       {{'-', "RTS/CTS handshake: RTS/CTS= off <-- FAILED"},
        {'+', "RTS/CTS handshake: RTS/CTS= on --- OK"}},
       true,
       kRed},
      {"CtsNotWired",
       "cts=off",
       4,
       kNoChange,
       {{'+', "RTS/CTS handshake: RTS/CTS= off --- OK"},
        {'-', "RTS/CTS handshake: RTS/CTS= on <-- FAILED"}},
       true,
       kRed},
      {"DtrDsrOk",
       "",
       5,
       kNoChange,
       {{'+', "DTR/DSR handshake: DTR/DSR= off --- OK"},
        {'+', "DTR/DSR handshake: DTR/DSR= on --- OK"}},
       false,
       kWhite},
      {"DsrStuckOn",
       "dsr=on",
       5,
       kNoChange,
       {{'-', "DTR/DSR handshake: DTR/DSR= off <-- FAILED"},
        {'+', "DTR/DSR handshake: DTR/DSR= on --- OK"}},
       true,
       kRed},
      {"DsrNotWired",
       "dsr=off",
       5,
       kNoChange,
       {{'+', "DTR/DSR handshake: DTR/DSR= off --- OK"},
        {'-', "DTR/DSR handshake: DTR/DSR= on <-- FAILED"}},
       true,
       kRed},
      {"NegativeHandshakeDelay",
       "",
       5,
       [](settings::Settings& s) { s.HandshakeDelay = -20; },
       {{'+', "DTR/DSR handshake: DTR/DSR= off --- OK"},
        {'+', "DTR/DSR handshake: DTR/DSR= on --- OK"}},
       false,
       kWhite},
  };
}

class OneTest : public ::testing::TestWithParam<Case> {};

TEST_P(OneTest, WritesItsLinesToBoxAndFile) {
  const Case& c = GetParam();
  Rig rig(c.faults);
  c.adjust(rig.settings);
  for (int n = 1; n <= 5; ++n) rig.settings.TestSelected[n] = n == c.test;
  rig.OpenPort();
  rig.Run();

  const std::string summary = c.failed ? "TEST(S) FAILED !!" : "All test(s) passed";
  std::vector<std::string> box{"Test started ..."};
  std::vector<std::string> file{"Test started {dt}"};
  for (const Line& line : c.lines) {
    box.push_back(line.text);
    if (line.mark != 0) file.push_back(std::string(1, line.mark) + line.text);
  }
  box.insert(box.end(), {summary, ""});
  file.insert(file.end(), {(c.failed ? "-" : "+") + summary + " {dt}", ""});

  EXPECT_EQ(rig.window.text, Lines(box));
  EXPECT_TRUE(FileIs(rig, file));
  EXPECT_EQ(rig.window.background(), c.colour);
  EXPECT_FALSE(rig.tester.TestRunning);
  EXPECT_EQ(rig.tester.SlowOpenCloseCount, c.colour == kYellow ? 1 : 0);
  if (c.failed) {
    EXPECT_EQ(rig.window.last_ask_text, "Test " + std::to_string(c.test) +
                                            " failed.\rPress OK to continue test,\rand Cancel "
                                            "to abort");
    EXPECT_EQ(rig.window.last_ask_title, "RS-232 Test failed");
  } else {
    EXPECT_TRUE(rig.window.last_ask_text.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Engine, OneTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

// A port left closed by a failed Open/Close: the tests that need it report the control's error
// as a failed line, and the handshake tests read the inputs of a closed port as off.
TEST(Tests, ClosedPortIsAFailureNotAnException) {
  Rig rig;
  rig.OpenPort();
  rig.port.OpenState(false);
  EXPECT_TRUE(rig.Call(&Tester::Test_DataTxRx));
  EXPECT_TRUE(rig.Call(&Tester::Test_SingleBytes));
  EXPECT_TRUE(rig.Call(&Tester::Test_RtsCts));
  const std::string error = "Error: " + NotOpenError();
  EXPECT_EQ(rig.window.text, Lines({"Data Tx/Rx: 256 bytes send/received <-- FAILED", error,
                                    "100 bytes Tx/Rx: Single bytes send/received <-- FAILED", error,
                                    "RTS/CTS handshake: RTS/CTS= off --- OK",
                                    "RTS/CTS handshake: RTS/CTS= on <-- FAILED"}));
}

TEST(Tests, HandshakePausesBlockAndCountTwicePerTest) {
  Rig rig;
  rig.settings.HandshakeDelay = 50;
  rig.OpenPort();
  const auto slept = rig.clock.slept_ms();
  const int events = rig.window.do_events_calls;
  rig.Call(&Tester::Test_RtsCts);
  rig.Call(&Tester::Test_DtrDsr);
  EXPECT_EQ(rig.clock.slept_ms() - slept, 200);
  EXPECT_EQ(rig.window.do_events_calls, events);

  rig.settings.HandshakeDelay = 0;
  const auto calls = rig.clock.sleep_calls();
  rig.Call(&Tester::Test_RtsCts);
  EXPECT_EQ(rig.clock.sleep_calls(), calls);
}

// The wait ends on the echo, not on the time limit, and never before the echo can be there.
TEST(Tests, DataWaitEndsWithinOneStepOfTheEcho) {
  struct Baud {
    std::int32_t rate;
    std::int64_t wire_micros;  // 256 characters of 10 bits
  };
  for (const Baud b : {Baud{38400, 66'667}, Baud{9600, 266'667}, Baud{115200, 22'223}}) {
    Rig rig;
    rig.settings.BaudRate = b.rate;
    rig.OpenPort();
    const std::int64_t start = rig.clock.NowMicros();
    EXPECT_FALSE(rig.Call(&Tester::Test_DataTxRx)) << b.rate;
    const std::int64_t waited = rig.clock.NowMicros() - start;
    EXPECT_GE(waited, b.wire_micros) << b.rate;
    EXPECT_LT(waited, b.wire_micros + 10'000) << b.rate;
  }
}

// A tick counter that wraps between the start and the end of a measurement. Each rig starts
// its clock just before the wrap (opening the port takes no clock time without delays).
TEST(Tests, DurationsSurviveTheTickCounterWrap) {
  constexpr std::int64_t kWrapMs = std::int64_t{1} << 32;
  {
    // The port setup's open takes 20 ms, the test's close and open straddle the wrap.
    Rig rig("opendelay=20", (kWrapMs - 30) * 1000);
    rig.OpenPort();
    ASSERT_EQ(rig.clock.TickCount(), static_cast<std::uint32_t>(kWrapMs - 10));
    EXPECT_FALSE(rig.Call(&Tester::Test_OpenClose));
    EXPECT_EQ(rig.window.text, Lines({"Open/Close --- OK   (Duration: 20ms)"}));
  }
  for (const std::int64_t before_wrap : {1, 30, 65}) {
    Rig rig("", (kWrapMs - before_wrap) * 1000);
    rig.OpenPort();
    EXPECT_FALSE(rig.Call(&Tester::Test_DataTxRx));
    EXPECT_EQ(rig.window.text, Lines({"Data Tx/Rx: 256 bytes send/received --- OK",
                                      "(Duration: 70ms , Calculated: ~73ms)"}))
        << before_wrap;
  }
  {
    // No echo across the wrap: the wait still ends at its limit of 2067 ms.
    Rig rig("echo=off", (kWrapMs - 1000) * 1000);
    rig.OpenPort();
    const std::int64_t start = rig.clock.NowMicros();
    EXPECT_TRUE(rig.Call(&Tester::Test_DataTxRx));
    EXPECT_EQ(rig.clock.NowMicros() - start, 2'070'000);
  }
}

}  // namespace
}  // namespace serivane::engine::testing
