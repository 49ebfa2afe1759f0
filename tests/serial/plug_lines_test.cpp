// The virtual plug's break: a break held on the control arrives as its event when it ends, after
// the characters before it. (RI and its wiring are the full-plug check's tests, in tests/tools.)
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "serial/comm_control.h"
#include "tests/serial/control_probe.h"

namespace serivane::serial {
namespace {

// At 9600 8N1 a character takes 1041.7 us; nothing waits for a count of characters.
struct SlowPlug : Plug {
  explicit SlowPlug(std::string t = "loopback") : Plug(std::move(t)) {
    control.LineSettings("9600,N,8,1");
    control.ReceiveThreshold(0);
  }
};

TEST(VirtualPlug, ABreakArrivesAsItsEventWhenItEndsAfterTheCharactersBeforeIt) {
  SlowPlug plug;
  CommControl& c = plug.control;
  EXPECT_EQ(ErrorOf([&] { c.Break(true); }), kErrPortNotOpen);
  c.OpenState(true);
  plug.Run(0);
  c.Break(true);
  EXPECT_TRUE(c.Break());
  c.TransmitText("lost");  // into a line held low
  plug.Run(100'000);
  EXPECT_EQ(plug.log.codes, Codes{}) << "a break is seen when it ends, not before";
  c.Break(false);
  EXPECT_FALSE(c.Break());
  plug.Run(0);
  EXPECT_EQ(plug.log.codes, Codes{kErBreak});
  EXPECT_EQ(c.InBufferCount(), 0) << "a break carries no data, nor what was sent during it";
  c.TransmitText("ok");
  plug.Run(2084);
  EXPECT_EQ(c.ReceivedText(), "ok");

  // A break waits for the characters before it and lasts one character at least.
  plug.log.codes.clear();
  c.TransmitText("0123456789");  // on the wire for 10417 us
  c.Break(true);
  plug.Run(1000);
  c.Break(false);  // held 1 ms, but it began only after the tenth character
  plug.Run(10'417 - 1000);
  EXPECT_EQ(c.ReceivedText(), "0123456789");
  EXPECT_EQ(plug.log.codes, Codes{});
  plug.Run(1042);  // a whole character of spacing
  EXPECT_EQ(plug.log.codes, Codes{kErBreak});
}

// A delay holds breaks and characters alike. (A swallowed break is the break check's to show.)
TEST(VirtualPlug, ADelayHoldsBreaksAndCharactersAlike) {
  SlowPlug late("loopback?delay=40");
  late.control.OpenState(true);
  late.control.TransmitText("a");
  late.control.Break(true);
  late.Run(5000);
  late.control.Break(false);
  late.Run(41'042 - 5000 - 1);  // "a" left the wire at 1042 us
  EXPECT_EQ(late.control.InBufferCount(), 0);
  late.Run(1);
  EXPECT_EQ(late.control.ReceivedText(), "a");
  late.Run(45'000 - 41'042 - 1);  // the break ended at 5000 us
  EXPECT_EQ(late.log.codes, Codes{});
  late.Run(1);
  EXPECT_EQ(late.log.codes, Codes{kErBreak});
  // A close ends the break: the port opens again with the line free.
  late.control.Break(true);
  late.control.OpenState(false);
  late.control.OpenState(true);
  EXPECT_FALSE(late.control.Break());
  late.control.TransmitText("b");
  late.Run(41'042);
  EXPECT_EQ(late.control.ReceivedText(), "b");
}

}  // namespace
}  // namespace serivane::serial
