// Port setup: the line-settings text, the reopen on the chosen port, and the fallback to Com1.
#include <algorithm>
#include <string>
#include <vector>

#include "rig.h"

namespace serivane::engine::testing {
namespace {

TEST(PortSetup, LineSettingsText) {
  struct Case {
    std::int32_t baud;
    std::int16_t parity, data_bits, stop_bits;
    std::string text;
  };
  const std::vector<Case> cases{
      {38400, 1, 8, 1, "38400,N,8,1"},   {9600, 2, 7, 2, "9600,O,7,2"},
      {115200, 3, 8, 1, "115200,E,8,1"}, {1200, 0, 8, 1, "1200,N,8,1"},
      {300, 9, 7, 1, "300,N,7,1"},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.settings.BaudRate = c.baud;
    rig.settings.Parity = c.parity;
    rig.settings.DataBits = c.data_bits;
    rig.settings.StopBits = c.stop_bits;
    EXPECT_EQ(rig.tester.LineSettingsText(), c.text);
  }
}

TEST(PortSetup, OpensTheChosenPortWithTheSettingsAndTheManualLines) {
  Rig rig;
  rig.targets[7] = "loopback";
  rig.OpenPort();  // Com1 is open, as after start-up
  rig.settings.ComPort = 7;
  rig.settings.BaudRate = 9600;
  rig.settings.Parity = 3;
  rig.window.rts = false;
  rig.window.dtr = true;
  rig.window.text = "earlier\r\n";
  rig.tester.Setup_ComPort();

  EXPECT_TRUE(rig.port.OpenState());
  EXPECT_EQ(rig.port.PortNumber(), 7);
  EXPECT_EQ(rig.port.LineSettings(), "9600,E,8,1");
  EXPECT_EQ(rig.port.FlowControl(), 0);
  EXPECT_FALSE(rig.port.RtsOn());
  EXPECT_TRUE(rig.port.DtrOn());
  EXPECT_EQ(rig.window.text, "earlier\r\nCom-port 7 = 9600,E,8,1\r\n");
  EXPECT_EQ(rig.window.calls,
            (std::vector<std::string>{"busy", "caption &Test:  (9600,E,8,1)", "idle"}));
}

TEST(PortSetup, DoesNothingDuringARun) {
  Rig rig;
  rig.OpenPort();
  rig.settings.ComPort = 9;
  rig.settings.BaudRate = 1200;
  rig.tester.TestRunning = true;
  rig.tester.Setup_ComPort();
  EXPECT_TRUE(rig.port.OpenState());
  EXPECT_EQ(rig.port.PortNumber(), 1);
  EXPECT_EQ(rig.port.LineSettings(), "38400,N,8,1");
  EXPECT_TRUE(rig.window.calls.empty());
  EXPECT_EQ(rig.window.text, "");
}

// Every failure ends in the one message box; then Com1 is chosen and the port left closed for
// the status timer to open.
TEST(PortSetup, FailureFallsBackToComOne) {
  struct Case {
    std::string name;
    std::int16_t port;
    std::string target;  // of that port; none when empty
    std::int32_t baud;
    std::string message;
  };
  const std::vector<Case> cases{
      {"no such port", 5, "", 38400,
       "Error opening Com-port 5\rError: Com5 names no device  (1F42H)\r"},
      {"port held elsewhere", 3, "loopback?busy=on", 38400,
       "Error opening Com-port 3\rError: Cannot open the virtual loopback plug: it is in use by "
       "another program  (1F45H)\r"},
      {"bad line settings", 1, "loopback", 0, ""},
  };
  for (const Case& c : cases) {
    Rig rig;
    if (!c.target.empty()) rig.targets[c.port] = c.target;
    rig.settings.ComPort = c.port;
    rig.settings.BaudRate = c.baud;
    rig.tester.Setup_ComPort();
    EXPECT_FALSE(rig.port.OpenState()) << c.name;
    EXPECT_EQ(rig.settings.ComPort, 1) << c.name;
    ASSERT_EQ(rig.window.critical_texts.size(), 1u) << c.name;
    if (!c.message.empty()) {
      EXPECT_EQ(rig.window.critical_texts[0], c.message) << c.name;
    }
    EXPECT_EQ(rig.window.critical_texts[0].rfind("Error opening Com-port ", 0), 0u) << c.name;
    EXPECT_EQ(rig.window.calls.back(), "select 0") << c.name;
    EXPECT_NE(std::find(rig.window.calls.begin(), rig.window.calls.end(),
                        "critical Error in Setup_ComPort"),
              rig.window.calls.end())
        << c.name;
    // The pointer is never left as the hourglass.
    const auto busy = std::count(rig.window.calls.begin(), rig.window.calls.end(), "busy");
    const auto idle = std::count(rig.window.calls.begin(), rig.window.calls.end(), "idle");
    EXPECT_GE(idle, busy) << c.name;
    EXPECT_EQ(rig.window.text, "") << c.name;
  }
}

}  // namespace
}  // namespace serivane::engine::testing
