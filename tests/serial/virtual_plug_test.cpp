// The virtual loopback plug on a ManualClock: wire time, data bits, the handshake wiring and
// every fault switch.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/clock.h"
#include "serial/comm_control.h"
#include "serial/plug_faults.h"
#include "test_support.h"

namespace serivane::serial {
namespace {

using testing::AllCodes;
using testing::EventLog;

struct PlugFixture {
  explicit PlugFixture(std::string target = "loopback")
      : target_(std::move(target)), control([this](std::int16_t) { return target_; }, clock) {}

  // Lets `ms` of the clock pass and services the control once.
  void Run(std::int64_t ms) {
    clock.AdvanceMillis(ms);
    control.Service();
  }

  std::string target_;
  ManualClock clock;
  CommControl control;
};

struct WireCase {
  const char* settings;
  int bits_per_character;
};

class PlugWireTime : public ::testing::TestWithParam<WireCase> {};

TEST_P(PlugWireTime, CharactersArriveAfterTheirWireTimeAndNotBefore) {
  const WireCase& wc = GetParam();
  PlugFixture plug;
  plug.control.LineSettings(wc.settings);
  plug.control.OpenState(true);
  const LineConfig config = LineConfig::Parse(wc.settings);
  ASSERT_EQ(config.BitsPerCharacter(), wc.bits_per_character);

  const int n = 256;
  const std::int64_t wire_us = std::int64_t{n} * wc.bits_per_character * 1'000'000 / config.baud;
  plug.control.TransmitText(std::string(n, 'U'));
  plug.clock.AdvanceMicros(wire_us - 1);
  plug.control.Service();
  EXPECT_LT(plug.control.InBufferCount(), n) << "the block arrived before its wire time";
  EXPECT_GE(plug.control.InBufferCount(), n - 2) << "characters held back beyond their time";
  plug.clock.AdvanceMicros(2);
  plug.control.Service();
  EXPECT_EQ(plug.control.InBufferCount(), n);
}

INSTANTIATE_TEST_SUITE_P(Frames, PlugWireTime,
                         ::testing::Values(WireCase{"38400,N,8,1", 10}, WireCase{"38400,E,8,2", 12},
                                           WireCase{"9600,O,7,1", 10}, WireCase{"300,N,5,1", 7},
                                           WireCase{"115200,E,7,2", 11}));

TEST(VirtualPlug, BlocksSentBackToBackQueueOnTheWire) {
  PlugFixture plug;
  plug.control.LineSettings("38400,N,8,1");
  plug.control.OpenState(true);
  plug.control.TransmitText(std::string(128, 'a'));
  plug.control.TransmitText(std::string(128, 'b'));
  // 256 characters of 10 bits take 66.67 ms, whether sent in one call or two.
  plug.Run(66);
  EXPECT_LT(plug.control.InBufferCount(), 256);
  plug.Run(1);
  EXPECT_EQ(plug.control.ReceivedText(), std::string(128, 'a') + std::string(128, 'b'));
}

TEST(VirtualPlug, KeepsOnlyTheDataBits) {
  PlugFixture plug;
  plug.control.LineSettings("38400,N,7,1");
  plug.control.OpenState(true);
  plug.control.TransmitText(AllCodes());
  plug.Run(1000);
  const std::string got = plug.control.ReceivedText();
  ASSERT_EQ(got.size(), 256u);
  for (int i = 0; i < 256; ++i) {
    ASSERT_EQ(static_cast<unsigned char>(got[i]), i & 0x7F) << "code " << i;
  }
}

TEST(VirtualPlug, RtsDrivesCtsAndDtrDrivesDsrAndDcd) {
  PlugFixture plug;
  EventLog log(plug.control);
  // Outputs chosen while closed take effect at the open.
  plug.control.RtsOn(true);
  plug.control.DtrOn(false);
  plug.control.OpenState(true);
  EXPECT_TRUE(plug.control.CtsState());
  EXPECT_FALSE(plug.control.DsrState());
  EXPECT_FALSE(plug.control.DcdState());
  plug.Run(10);
  EXPECT_TRUE(log.codes.empty()) << "the lines found at open are no change";

  plug.control.RtsOn(false);
  EXPECT_FALSE(plug.control.CtsState());
  plug.Run(10);
  EXPECT_EQ(log.codes, std::vector<std::int16_t>{kEvCts});

  log.codes.clear();
  plug.control.DtrOn(true);
  EXPECT_TRUE(plug.control.DsrState());
  EXPECT_TRUE(plug.control.DcdState());
  EXPECT_FALSE(plug.control.CtsState());
  plug.Run(10);
  EXPECT_EQ(log.codes, (std::vector<std::int16_t>{kEvDsr, kEvCd}));

  plug.control.OpenState(false);
  EXPECT_FALSE(plug.control.DsrState()) << "a closed port reads its inputs off";
}

// Each switch shows its own fault on a ten-character send, and nothing else.
struct FaultCase {
  const char* query;
  std::string received;
  std::vector<std::int16_t> events;
};

class PlugFaultSwitch : public ::testing::TestWithParam<FaultCase> {};

TEST_P(PlugFaultSwitch, ShowsItsFaultAndNothingElse) {
  const FaultCase& fc = GetParam();
  PlugFixture plug(std::string("loopback") + (*fc.query ? "?" : "") + fc.query);
  EventLog log(plug.control);
  plug.control.ReceiveThreshold(0);
  plug.control.LineSettings("9600,N,8,1");
  plug.control.OpenState(true);
  plug.control.TransmitText("ABCDEFGHIJ");
  plug.Run(100);
  EXPECT_EQ(plug.control.ReceivedText(), fc.received);
  EXPECT_EQ(log.codes, fc.events);
}

INSTANTIATE_TEST_SUITE_P(Switches, PlugFaultSwitch,
                         ::testing::Values(FaultCase{"", "ABCDEFGHIJ", {}},
                                           FaultCase{"echo=off", "", {}},
                                           FaultCase{"drop=3", "ABDEGHJ", {}},
                                           FaultCase{"drop=1", "", {}},
                                           FaultCase{"corrupt=4", "ABCEEFGIIJ", {}},
                                           FaultCase{"extra=2", "ABCDEFGHIJ??", {}},
                                           FaultCase{"break=5", "ABCDEFGHIJ", {kErBreak}},
                                           FaultCase{"frame=5", "ABCDEFGHIJ", {kErFrame}},
                                           FaultCase{"parity=5", "ABCDEFGHIJ", {kErRxParity}},
                                           FaultCase{"overrun=5", "ABCDFGHIJ", {kErOverrun}},
                                           FaultCase{"frame=11", "ABCDEFGHIJ", {}},
                                           FaultCase{"ring=on", "ABCDEFGHIJ", {kEvRing}},
                                           FaultCase{"cts=off&dsr=on&dcd=off", "ABCDEFGHIJ", {}}));

struct StuckCase {
  const char* target;
  bool rts, dtr;
  bool cts, dsr, dcd;
};

class PlugStuckInput : public ::testing::TestWithParam<StuckCase> {};

TEST_P(PlugStuckInput, IgnoresTheOutputItIsWiredTo) {
  const StuckCase& sc = GetParam();
  PlugFixture plug(sc.target);
  EventLog log(plug.control);
  plug.control.OpenState(true);
  plug.control.RtsOn(sc.rts);
  plug.control.DtrOn(sc.dtr);
  EXPECT_EQ(plug.control.CtsState(), sc.cts);
  EXPECT_EQ(plug.control.DsrState(), sc.dsr);
  EXPECT_EQ(plug.control.DcdState(), sc.dcd);
  plug.control.RtsOn(!sc.rts);
  plug.control.DtrOn(!sc.dtr);
  plug.Run(10);
  // Only the lines that are not stuck may change.
  for (const auto code : log.codes) {
    EXPECT_TRUE(code == kEvCts || code == kEvDsr || code == kEvCd) << code;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, PlugStuckInput,
    ::testing::Values(StuckCase{"loopback?cts=off", true, true, false, true, true},
                      StuckCase{"loopback?cts=on", false, false, true, false, false},
                      StuckCase{"loopback?dsr=off", true, true, true, false, true},
                      StuckCase{"loopback?dsr=on&dcd=on", false, false, false, true, true}));

TEST(VirtualPlug, AFloodNobodyReadsIsCutAtTheReceiveBufferAndSaidSo) {
  PlugFixture plug;
  EventLog log(plug.control);
  plug.control.ReceiveThreshold(0);
  plug.control.LineSettings("4000000,N,8,1");
  plug.control.OpenState(true);
  plug.control.TransmitText(std::string(70000, 'f'));
  plug.Run(1000);
  EXPECT_EQ(plug.control.InBufferCount(), 65536);
  EXPECT_EQ(log.codes, std::vector<std::int16_t>{kErRxOver});
}

TEST(VirtualPlug, ALineErrorIsTheLatestCodeAfterTheDataItCameWith) {
  PlugFixture plug("loopback?frame=5");
  EventLog log(plug.control);
  plug.control.OpenState(true);
  plug.control.ReceiveThreshold(5);
  plug.control.TransmitText("12345");
  plug.Run(100);
  EXPECT_EQ(log.codes, (std::vector<std::int16_t>{kEvReceive, kErFrame}));
  EXPECT_EQ(plug.control.CommEvent(), kErFrame);
}

TEST(VirtualPlug, CharacterCountsSurviveCloseAndReopen) {
  PlugFixture plug("loopback?drop=4&parity=6");
  EventLog log(plug.control);
  plug.control.ReceiveThreshold(0);
  plug.control.OpenState(true);
  plug.control.TransmitText("abc");
  plug.Run(100);
  EXPECT_EQ(plug.control.ReceivedText(), "abc");
  plug.control.OpenState(false);
  plug.control.OpenState(true);
  plug.control.TransmitText("defgh");
  plug.Run(100);
  EXPECT_EQ(plug.control.ReceivedText(), "efg");  // the 4th and the 8th are lost
  EXPECT_EQ(log.codes, std::vector<std::int16_t>{kErRxParity});
}

TEST(VirtualPlug, CloseDropsCharactersStillOnTheWire) {
  PlugFixture plug;
  plug.control.OpenState(true);
  plug.control.TransmitText("abc");
  plug.control.OpenState(false);
  plug.control.OpenState(true);
  plug.Run(100);
  EXPECT_EQ(plug.control.ReceivedText(), "");
}

struct OpenCase {
  const char* query;
  int good_opens;  // opens that succeed before the first failure (-1: all succeed)
  std::int32_t error;
};

class PlugOpenFault : public ::testing::TestWithParam<OpenCase> {};

TEST_P(PlugOpenFault, FailsTheOpenWithItsNumber) {
  const OpenCase& oc = GetParam();
  PlugFixture plug(std::string("loopback?") + oc.query);
  for (int i = 0; i < 4; ++i) {
    try {
      plug.control.OpenState(true);
      EXPECT_TRUE(oc.good_opens < 0 || i < oc.good_opens) << "open " << i + 1 << " succeeded";
    } catch (const CommError& e) {
      EXPECT_EQ(i, oc.good_opens) << e.what();
      EXPECT_EQ(e.number(), oc.error) << e.what();
      EXPECT_FALSE(plug.control.OpenState());
      return;
    }
    plug.control.OpenState(false);
  }
  EXPECT_LT(oc.good_opens, 0) << "no open failed";
}

INSTANTIATE_TEST_SUITE_P(Opens, PlugOpenFault,
                         ::testing::Values(OpenCase{"busy=on", 0, kErrPortAlreadyOpen},
                                           OpenCase{"openfail=0", 0, kErrHardwareNotAvailable},
                                           OpenCase{"openfail=2", 2, kErrHardwareNotAvailable},
                                           OpenCase{"opendelay=5", -1, 0},
                                           OpenCase{"nosuch=1", 0, kErrInvalidPropertyValue},
                                           OpenCase{"drop=x", 0, kErrInvalidPropertyValue},
                                           OpenCase{"cts=maybe", 0, kErrInvalidPropertyValue}));

TEST(VirtualPlug, OpenAndCloseDelaysRunOnTheClock) {
  PlugFixture plug("loopback?opendelay=250&closedelay=120");
  const std::int64_t t0 = plug.clock.NowMicros();
  plug.control.OpenState(true);
  EXPECT_EQ(plug.clock.NowMicros() - t0, 250'000);
  plug.control.OpenState(false);
  EXPECT_EQ(plug.clock.NowMicros() - t0, 370'000);
}

TEST(VirtualPlug, VanishClosesThePortOnceAndLaterOpensFindNoDevice) {
  PlugFixture plug("loopback?vanish=50");
  EventLog log(plug.control);
  plug.control.OpenState(true);
  plug.Run(49);
  EXPECT_TRUE(plug.control.OpenState());
  EXPECT_EQ(plug.control.NextServiceMs(), 1) << "the loop must wake for the vanishing";
  plug.Run(1);
  EXPECT_FALSE(plug.control.OpenState());
  plug.Run(10);
  EXPECT_EQ(log.codes, std::vector<std::int16_t>{kErDeviceGone});
  try {
    plug.control.OpenState(true);
    FAIL() << "a vanished plug opened again";
  } catch (const CommError& e) {
    EXPECT_EQ(e.number(), kErrInvalidPortNumber);
  }
}

TEST(VirtualPlug, NextServiceWakesForTheNextCharacter) {
  PlugFixture plug;
  plug.control.LineSettings("300,N,8,1");
  plug.control.OpenState(true);
  plug.control.Service();
  plug.control.TransmitText("x");
  // One character at 300 baud takes 33.3 ms, later than the 10 ms line poll.
  EXPECT_EQ(plug.control.NextServiceMs(), 10);
  plug.Run(30);
  EXPECT_EQ(plug.control.NextServiceMs(), 4);
}

}  // namespace
}  // namespace serivane::serial
