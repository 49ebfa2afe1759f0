// The comm event monitor, driven by real events of the virtual plug: the window's event loop is
// the fake's DoEvents (port service plus the 1000 ms tmrOnComm on the shared clock).
#include <string>
#include <vector>

#include "rig.h"

namespace serivane::engine::testing {
namespace {

// Lets `ms` of clock time pass in the event loop's 10 ms steps.
void Later(Rig& rig, int ms) {
  for (; ms > 0; ms -= 10) {
    rig.clock.Sleep(ms < 10 ? ms : 10);
    rig.window.DoEvents();
  }
}

// Closes and opens the port again: the plug's ring=on then raises code 6 at the next service.
void Reopen(Rig& rig) {
  rig.port.OpenState(false);
  rig.port.OpenState(true);
  rig.window.DoEvents();
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

const std::string kRing = "Comm Event: Ring detected\r\n";

// Each line error or event shows its own message, or nothing; a character that arrives with it
// is shown first (outside a run the monitor adds received characters to the box as they come).
TEST(CommMonitor, ShowsOneMessagePerEventCode) {
  struct Case {
    std::string faults;
    std::string box;
  };
  const std::vector<Case> cases{
      {"break=1", "xComm Event: Break received\r\n"},
      {"frame=1", "xComm Event: Framing error\r\n"},
      {"overrun=1", "Comm Event: Overrun error\r\n"},  // the character is lost with it
      {"parity=1", "x"},                               // 1009 has no message
      {"", "x"},
  };
  for (const Case& c : cases) {
    Rig rig(c.faults);
    rig.OpenPort();
    rig.port.TransmitText("x");
    Later(rig, 10);
    EXPECT_EQ(rig.window.text, c.box) << c.faults;
  }
  Rig ring("ring=on");
  ring.OpenPort();
  ring.window.DoEvents();
  EXPECT_EQ(ring.window.text, kRing);
}

// The same code again is not shown until tmrOnComm has cleared the memory (1000 ms after the
// last callback) or another code came in between.
TEST(CommMonitor, RepeatsAreSuppressedUntilTimerOrOtherEvent) {
  struct Case {
    std::string name;
    int gap_ms;
    bool other_event_between;
    int messages;
  };
  const std::vector<Case> cases{
      {"500 ms apart", 500, false, 1},
      {"990 ms apart", 990, false, 1},
      {"1500 ms apart", 1500, false, 2},
      {"data received between", 100, true, 2},
  };
  for (const Case& c : cases) {
    Rig rig("ring=on");
    rig.OpenPort();
    rig.window.DoEvents();
    Later(rig, c.gap_ms);
    if (c.other_event_between) {
      rig.port.TransmitText("d");
      Later(rig, 10);
    }
    Reopen(rig);
    EXPECT_EQ(Count(rig.window.text, kRing), c.messages) << c.name;
  }
}

// Code 5 writes nothing but replaces the memory, so the earlier code is shown again after it.
TEST(CommMonitor, CodeFiveWritesNothingButResetsTheMemory) {
  Rig rig("ring=on&dsr=on");  // DSR held: a DTR change moves DCD alone
  rig.OpenPort();
  rig.window.DoEvents();
  ASSERT_EQ(rig.window.text, kRing);
  rig.port.DtrOn(false);
  Later(rig, 10);
  EXPECT_EQ(rig.tester.LastCommEvent, serial::kEvCd);
  EXPECT_EQ(rig.window.text, kRing);
  Reopen(rig);
  EXPECT_EQ(rig.window.text, kRing + kRing);
}

// Received characters: outside a run they go to the end of the box as they are; during a run
// they stay in the port for the waiting test, which is told by DataReceived.
TEST(CommMonitor, DataReceivedInsideAndOutsideARun) {
  {
    Rig rig;
    rig.OpenPort();
    rig.window.text = "Serivane ready\r\n";
    rig.port.TransmitText("ab");
    Later(rig, 10);
    EXPECT_EQ(rig.window.text, "Serivane ready\r\nab");
    EXPECT_FALSE(rig.tester.DataReceived);
    EXPECT_EQ(rig.port.ReceivedText(), "");
  }
  {
    Rig rig;
    rig.OpenPort();
    rig.tester.TestRunning = true;
    rig.port.TransmitText("ab");
    Later(rig, 10);
    EXPECT_TRUE(rig.tester.DataReceived);
    EXPECT_EQ(rig.window.text, "");
    EXPECT_EQ(rig.port.ReceivedText(), "ab");
  }
}

}  // namespace
}  // namespace serivane::engine::testing
