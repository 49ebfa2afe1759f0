// The engine below a whole run: the time limits, the handshake pauses, port setup, the comm
// event monitor and the results box.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engine/timing.h"
#include "rig.h"

namespace serivane::engine::testing {
namespace {

// Lets `ms` of clock time pass in the event loop's 10 ms steps.
void Later(Rig& rig, int ms) {
  for (; ms > 0; ms -= 10) {
    rig.clock.Sleep(10);
    rig.DoEvents();
  }
}

// A frame is 1 start bit, the data bits, a parity bit when parity is odd or even, and the stop
// bits; the echo limits count that frame. Halves (72.5, 73.5) go to the even neighbour. Without
// a rate or beyond 32 bits there is no limit, and the refusal names what leaves none.
TEST(Timing, LimitsCountTheRealFrame) {
  EXPECT_EQ(FrameBits(8, 1, 1), 10);
  EXPECT_EQ(FrameBits(7, 3, 1), 10);
  EXPECT_EQ(FrameBits(8, 3, 2), 12);
  EXPECT_EQ(FrameBits(7, 1, 1), 9);
  EXPECT_EQ(FrameBits(8, 2, 1), 11);
  EXPECT_EQ(FrameBits(9, 4, 3), 10);  // what the port is given: 8 bits, no parity, 1 stop bit
  struct Case {
    std::int32_t chars, baud;
    int bits;
    std::int32_t timeout;
    std::optional<std::int32_t> limit;
    std::string refusal = "";
  };
  const std::vector<Case> cases{
      {256, 38400, 10, 2000, 2067},
      {100, 38400, 10, 2000, 2026},
      {256, 40960, 10, 10, 72},
      {256, 40960, 10, 11, 74},
      {4800, 9600, 12, 300, 6300},  // 8E2: 6000 ms of wire, not the 5000 of 10-bit characters
      {128, 9600, 9, 0, 120},
      {256, 0, 10, 2000, std::nullopt, "no time limit at 0 baud"},
      {256, -9600, 10, 2000, std::nullopt, "no time limit at -9600 baud"},
      {256, 38400, 10, 2147483647, std::nullopt,
       "no time limit: \"Test Timeout\" 2147483647 ms plus the wire time of 67 ms is beyond the "
       "longest wait of 2147483647 ms"},
      {32767, 1, 12, 2147483647, std::nullopt,
       "no time limit: \"Test Timeout\" 2147483647 ms plus the wire time of 393204000 ms is "
       "beyond the longest wait of 2147483647 ms"}};
  for (const Case& c : cases) {
    const EchoLimit got = EchoTimeLimit(c.chars, c.baud, c.bits, c.timeout);
    EXPECT_EQ(got.ms, c.limit) << c.baud << " " << c.timeout;
    EXPECT_EQ(got.refusal, c.refusal);
  }
  EXPECT_EQ(CalculatedWireMs(256, 38400), 73);
  EXPECT_EQ(CalculatedWireMs(256, 45056), 62);  // 62.5
}

// A short pause between setting an output and reading its input blocks (no window event runs),
// and a delay below 1 makes none. A long one (an edited setting can ask for 32767 ms) lets the
// window's events run every 50 ms, and the time they take counts towards the pause.
TEST(Tests, HandshakePauses) {
  for (const int delay : {50, 200, 0, -20, 32767}) {
    SCOPED_TRACE(delay);
    Rig rig;
    rig.settings.HandshakeDelay = static_cast<std::int16_t>(delay);
    rig.OpenPort();
    std::int64_t last = rig.clock.NowMicros() / 1000, longest_gap = 0;
    rig.on_do_events = [&] {
      const std::int64_t now = rig.clock.NowMicros() / 1000;
      longest_gap = std::max(longest_gap, now - last);
      rig.clock.AdvanceMillis(20);  // what the window's handlers take
      last = now + 20;
    };
    const std::int64_t start = rig.clock.NowMicros() / 1000;
    EXPECT_FALSE(rig.tester.Test_RtsCts());
    EXPECT_FALSE(rig.tester.Test_DtrDsr());
    const std::int64_t paused = rig.clock.NowMicros() / 1000 - start;
    if (delay <= 200) {
      EXPECT_EQ(paused, 4 * std::max(delay, 0));
      EXPECT_EQ(rig.do_events_calls, 0);
    } else {
      EXPECT_GE(paused, 4 * delay);
      EXPECT_LE(paused, 4 * delay + 4 * 50);
      EXPECT_GT(rig.do_events_calls, 0);
      EXPECT_LE(longest_gap, 100) << "the last step of one pause and the first of the next";
    }
  }
}

// A window that sleeps on the port ends the echo waits when the last character is in: the time
// reported is the wire time, to the tick, not a count of whole 10 ms steps.
TEST(Tests, EchoWaitsEndWhenTheLastCharacterArrives) {
  Rig rig;
  rig.wakes_on_port = true;
  rig.OpenPort();
  rig.tester.TestRunning = true;
  EXPECT_FALSE(rig.tester.Test_DataTxRx());
  EXPECT_FALSE(rig.tester.Test_SingleBytes());
  // 256 and 100 characters of 10 bits at 38400 baud: 66.7 and 26.0 ms.
  EXPECT_NE(rig.text.find("(Duration: 67ms "), std::string::npos) << rig.text;
  EXPECT_NE(rig.text.find("(27ms)"), std::string::npos) << rig.text;
}

// Nothing during a run; otherwise the port is reopened on the chosen number with the settings
// and the manual lines, and the box and the caption show the settings.
TEST(PortSetup, ReopensOnTheChosenPortWithTheSettingsAndTheManualLines) {
  Rig rig;
  rig.targets[7] = "loopback";
  rig.OpenPort();  // Com1 is open, as after start-up
  rig.settings.ComPort = 7;
  rig.settings.BaudRate = 9600;
  rig.settings.Parity = 2;
  rig.settings.DataBits = 7;
  rig.settings.StopBits = 2;
  rig.rts = false;
  rig.text = "earlier\r\n";
  rig.tester.TestRunning = true;
  rig.tester.Setup_ComPort();
  EXPECT_EQ(rig.port.LineSettings(), "38400,N,8,1");
  rig.tester.TestRunning = false;
  rig.tester.Setup_ComPort();
  EXPECT_TRUE(rig.port.OpenState() && rig.port.PortNumber() == 7 && !rig.port.RtsOn() &&
              rig.port.DtrOn());
  EXPECT_EQ(rig.port.LineSettings(), "9600,O,7,2");
  EXPECT_EQ(rig.text, "earlier\r\nCom-port 7 = 9600,O,7,2\r\n");
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"busy", "caption &Test:  (9600,O,7,2)", "idle"}));
}

// A failure, at the port or before it at the line settings, is told in one message box. Com1 is
// chosen and the port closed before the box shows, so that a status tick while the box is open
// opens Com1 instead of failing again on the number that failed.
TEST(PortSetup, FailureIsShownAndFallsBackToComOne) {
  const std::vector<std::pair<std::int32_t, std::string>> cases{
      {38400, "Com5 names no device  (1F42H)"},
      {0,
       "Invalid line settings \"0,N,8,1\": the rate \"0\" is not a positive whole number  (17CH)"},
  };
  for (const auto& [baud, error] : cases) {
    Rig rig;
    rig.OpenPort();
    rig.settings.ComPort = 5;
    rig.settings.BaudRate = baud;
    rig.tester.Setup_ComPort();
    EXPECT_EQ(std::vector<std::string>(rig.calls.end() - 3, rig.calls.end()),
              (std::vector<std::string>{
                  "select 0", "idle",
                  "Error in Setup_ComPort: Error opening Com-port 5\rError: " + error + "\r"}));
    EXPECT_FALSE(rig.port.OpenState());
    EXPECT_EQ(rig.settings.ComPort, 1);
    EXPECT_EQ(rig.text, "");
  }
}

// Outside a run a received character goes to the box as it comes, before the event it raised.
TEST(CommMonitor, ShowsOneMessagePerEventCode) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"break=1", "xComm Event: Break received\r\n"},
      {"frame=1", "xComm Event: Framing error\r\n"},
      {"overrun=1", "Comm Event: Overrun error\r\n"},  // the character is lost with it
      {"parity=1", "xComm Event: Parity error\r\n"},
      {"vanish=5", "Comm Event: Device lost: the virtual loopback plug has vanished\r\n"},
      {"ring=on", "xComm Event: Ring detected\r\n"},
  };
  for (const auto& [faults, box] : cases) {
    Rig rig(faults);
    rig.OpenPort();
    rig.port.TransmitText("x");
    Later(rig, 10);
    EXPECT_EQ(rig.text, box) << faults;
  }
}

// The same code is shown again only once tmrOnComm has cleared the memory (1000 ms after the
// last event) or another code came in between; code 5 (DCD) shows nothing but counts as one.
TEST(CommMonitor, RepeatsAreSuppressedUntilTimerOrAnotherCode) {
  const std::string ring = "Comm Event: Ring detected\r\n";
  struct Case {
    int gap_ms;
    bool dcd_between;
    std::string box;
  };
  for (const Case& c :
       {Case{500, false, ring}, Case{1500, false, ring + ring}, Case{100, true, ring + ring}}) {
    SCOPED_TRACE(c.gap_ms);
    Rig rig("ring=on&dsr=on");  // DSR held: a DTR change moves DCD alone
    rig.OpenPort();
    rig.DoEvents();
    Later(rig, c.gap_ms);
    if (c.dcd_between) rig.port.DtrOn(false);
    Later(rig, 10);
    rig.port.OpenState(false);
    rig.port.OpenState(true);  // ring=on raises its code again
    rig.DoEvents();
    EXPECT_EQ(rig.text, c.box);
  }
}

TEST(ResultLog, SplitFilename) {
  struct Case {
    std::string path, folder, name;
  };
  // Only the backslash separates.
  for (const Case& c : std::vector<Case>{{"C:\\RS-232_Result.Txt", "C:", "RS-232_Result.Txt"},
                                         {"D:\\logs\\run.txt", "D:\\logs", "run.txt"},
                                         {"C:\\", "C:", ""},
                                         {"run.txt", ".", "run.txt"},
                                         {"/home/op/run.txt", ".", "/home/op/run.txt"}}) {
    EXPECT_EQ(Tester::SplitFilename(c.path, true), c.folder) << c.path;
    EXPECT_EQ(Tester::SplitFilename(c.path, false), c.name) << c.path;
  }
}

// An append that makes the box longer than 20000 characters leaves its last 10000.
TEST(ResultLog, BoxIsCutBackToItsLast10000Characters) {
  for (const std::size_t before : {19978u, 19979u, 30000u}) {
    Rig rig;
    for (std::size_t i = 0; i < before; ++i) rig.text.push_back(static_cast<char>('a' + i % 26));
    const std::string whole = rig.text + "12345678901234567890\r\n";
    rig.tester.AppendResultLine("12345678901234567890");
    EXPECT_EQ(rig.text, before == 19978 ? whole : whole.substr(whole.size() - 10000)) << before;
  }
  // Characters received outside a run are cut back the same way, however long the port talks.
  Rig rig;
  rig.OpenPort();
  rig.text.assign(19999, 'a');
  rig.port.TransmitText("xy");
  Later(rig, 10);
  EXPECT_EQ(rig.text, std::string(9998, 'a') + "xy");
}

}  // namespace
}  // namespace serivane::engine::testing
