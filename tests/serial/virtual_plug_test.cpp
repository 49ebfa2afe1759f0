// The virtual loopback plug on a ManualClock (wire time, data bits, handshake wiring, fault
// switches), the line-settings text and the control's refusals of bad input.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/clock.h"
#include "serial/comm_control.h"
#include "test_support.h"

namespace serivane::serial {
namespace {

using testing::ErrorOf;
using Codes = std::vector<std::int16_t>;

struct Plug {
  explicit Plug(std::string t = "loopback") : target(std::move(t)) {}
  // Lets `ms` of the clock pass and services the control once.
  void Run(std::int64_t ms) {
    clock.AdvanceMillis(ms);
    control.Service();
  }
  std::string target;
  ManualClock clock;
  CommControl control{[this](std::int16_t) { return target; }, clock};
  testing::EventLog log{control};
};

TEST(VirtualPlug, CharactersArriveAfterTheirWireTimeWithOnlyTheirDataBits) {
  const struct {
    const char* settings;
    int bits;
    int mask;
  } rows[] = {{"38400,N,8,1", 10, 0xFF},
              {"38400,E,8,2", 12, 0xFF},
              {"9600,O,7,1", 10, 0x7F},
              {"300,N,5,1", 7, 0x1F}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.settings);
    Plug plug;
    plug.control.LineSettings(row.settings);
    plug.control.OpenState(true);
    const std::string codes = testing::AllCodes();
    std::string masked;
    for (const char c : codes) masked += static_cast<char>(c & row.mask);
    // Two sends back to back queue on the wire as one.
    plug.control.TransmitText(codes.substr(0, 100));
    plug.control.TransmitText(codes.substr(100));
    const std::int64_t wire_us =
        std::int64_t{256} * row.bits * 1'000'000 / LineConfig::Parse(row.settings).baud;
    plug.clock.AdvanceMicros(wire_us - 1);
    plug.control.Service();
    EXPECT_LT(plug.control.InBufferCount(), 256) << "the block arrived before its wire time";
    EXPECT_GE(plug.control.InBufferCount(), 254) << "characters held back beyond their time";
    plug.clock.AdvanceMicros(2);
    plug.control.Service();
    EXPECT_EQ(plug.control.ReceivedText(), masked);
  }
}

// Each switch shows its own fault on a ten-character send and nothing else; the lines are read
// after the open with RTS and DTR on, after RTS goes off, and after DTR goes off.
TEST(VirtualPlug, EachFaultSwitchShowsItsFaultAndNothingElse) {
  const struct {
    const char* query;
    std::string received;
    Codes events;
    const char* lines;  // CTS DSR DCD, three times
  } rows[] = {
      {"", "ABCDEFGHIJ", {kEvReceive}, "111011000"},
      {"echo=off", "", {}, "111011000"},
      {"drop=3", "ABDEGHJ", {kEvReceive}, "111011000"},
      {"drop=1", "", {}, "111011000"},
      {"corrupt=4", "ABCEEFGIIJ", {kEvReceive}, "111011000"},
      {"extra=2", "ABCDEFGHIJ??", {kEvReceive}, "111011000"},
      {"break=5", "ABCDEFGHIJ", {kEvReceive, kErBreak}, "111011000"},
      {"frame=5", "ABCDEFGHIJ", {kEvReceive, kErFrame}, "111011000"},
      {"parity=5", "ABCDEFGHIJ", {kEvReceive, kErRxParity}, "111011000"},
      {"overrun=5", "ABCDFGHIJ", {kErOverrun, kEvReceive}, "111011000"},
      {"frame=11", "ABCDEFGHIJ", {kEvReceive}, "111011000"},
      {"ring=on", "ABCDEFGHIJ", {kEvReceive, kEvRing}, "111011000"},
      {"cts=off", "ABCDEFGHIJ", {kEvReceive}, "011011000"},
      {"cts=on", "ABCDEFGHIJ", {kEvReceive}, "111111100"},
      {"dsr=off", "ABCDEFGHIJ", {kEvReceive}, "101001000"},
      {"dsr=on&dcd=on", "ABCDEFGHIJ", {kEvReceive}, "111011011"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.query);
    Plug plug(std::string("loopback?") + row.query);
    plug.control.ReceiveThreshold(5);
    plug.control.LineSettings("9600,N,8,1");
    plug.control.RtsOn(true);
    plug.control.DtrOn(true);
    plug.control.OpenState(true);
    plug.control.TransmitText("ABCDEFGHIJ");
    plug.Run(100);
    EXPECT_EQ(plug.control.ReceivedText(), row.received);
    EXPECT_EQ(plug.log.codes, row.events);

    // Each line that changes raises its own event, and no other does.
    std::string lines;
    for (int step = 0; step < 3; ++step) {
      if (step == 1) plug.control.RtsOn(false);
      if (step == 2) plug.control.DtrOn(false);
      plug.log.codes.clear();
      plug.Run(10);
      const std::string before = step > 0 ? lines.substr(lines.size() - 3) : "";
      for (const bool on :
           {plug.control.CtsState(), plug.control.DsrState(), plug.control.DcdState()}) {
        lines += on ? '1' : '0';
      }
      Codes changed;
      for (int i = 0; i < 3 && step > 0; ++i) {
        if (lines[lines.size() - 3 + i] != before[i])
          changed.push_back(Codes{kEvCts, kEvDsr, kEvCd}[i]);
      }
      EXPECT_EQ(plug.log.codes, changed) << "step " << step;
    }
    EXPECT_EQ(lines, row.lines);
  }
}

TEST(VirtualPlug, AFloodNobodyReadsIsCutAtTheReceiveBufferAndSaidSo) {
  Plug plug;
  plug.control.ReceiveThreshold(0);
  plug.control.LineSettings("4000000,N,8,1");
  plug.control.OpenState(true);
  plug.control.TransmitText(std::string(70000, 'f'));
  plug.Run(1000);
  EXPECT_EQ(plug.control.InBufferCount(), 65536);
  EXPECT_EQ(plug.log.codes, Codes{kErRxOver});
}

TEST(VirtualPlug, CloseDropsTheWireButCharacterCountsGoOn) {
  Plug plug("loopback?drop=4&parity=6");
  plug.control.ReceiveThreshold(0);
  plug.control.OpenState(true);
  plug.control.TransmitText("abc");
  plug.control.OpenState(false);
  plug.control.OpenState(true);
  plug.Run(100);
  EXPECT_EQ(plug.control.ReceivedText(), "");
  plug.control.TransmitText("defgh");
  plug.Run(100);
  EXPECT_EQ(plug.control.ReceivedText(), "efg");  // the 4th and the 8th are lost
  EXPECT_EQ(plug.log.codes, Codes{kErRxParity});
}

TEST(VirtualPlug, OpenFaultsFailTheOpenWithTheirNumber) {
  const struct {
    const char* query;
    int good_opens;
    std::int32_t error;
  } rows[] = {{"busy=on", 0, kErrPortAlreadyOpen},
              {"openfail=0", 0, kErrHardwareNotAvailable},
              {"openfail=2", 2, kErrHardwareNotAvailable},
              {"nosuch=1", 0, kErrInvalidPropertyValue},
              {"drop=x", 0, kErrInvalidPropertyValue}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.query);
    Plug plug(std::string("loopback?") + row.query);
    for (int i = 0; i < row.good_opens; ++i) {
      plug.control.OpenState(true);
      plug.control.OpenState(false);
    }
    EXPECT_EQ(ErrorOf([&] { plug.control.OpenState(true); }), row.error);
    EXPECT_FALSE(plug.control.OpenState());
  }
}

TEST(VirtualPlug, DelaysAndTheVanishingRunOnTheClock) {
  Plug plug("loopback?opendelay=250&closedelay=120&vanish=50");
  plug.control.LineSettings("300,N,8,1");
  plug.control.OpenState(true);
  EXPECT_EQ(plug.clock.NowMicros(), 250'000);
  plug.control.OpenState(false);
  EXPECT_EQ(plug.clock.NowMicros(), 370'000);
  plug.control.OpenState(true);
  plug.control.Service();
  plug.control.TransmitText("x");
  // One character at 300 baud takes 33.3 ms, later than the 10 ms line poll.
  EXPECT_EQ(plug.control.NextServiceMs(), 10);
  plug.Run(30);
  EXPECT_EQ(plug.control.NextServiceMs(), 4);
  plug.Run(19);
  EXPECT_EQ(plug.control.NextServiceMs(), 1) << "the loop must wake for the vanishing";
  plug.Run(1);
  EXPECT_FALSE(plug.control.OpenState());
  EXPECT_EQ(plug.log.codes, (Codes{kEvReceive, kErDeviceGone}));
  EXPECT_EQ(ErrorOf([&] { plug.control.OpenState(true); }), kErrInvalidPortNumber);
}

TEST(LineSettingsText, ParsesWritesBackAndRefusesBadTextNamingTheField) {
  EXPECT_EQ(LineConfig::Parse("38400,N,8,1"), (LineConfig{38400, 'N', 8, 1}));
  EXPECT_EQ(LineConfig::Parse(" 9600 , e , 7 , 2 ").Text(), "9600,E,7,2");
  EXPECT_EQ(LineConfig::Parse("110,o,5,1"), (LineConfig{110, 'O', 5, 1}));
  const struct {
    const char* text;
    const char* named;
  } rows[] = {
      {"38400,X,8,1", "parity"},    {"38400,NN,8,1", "parity"},     {"38400,N,9,1", "data bits"},
      {"38400,N,4,1", "data bits"}, {"38400,N,8,3", "stop bits"},   {"38400,N,8,1.5", "stop bits"},
      {"0,N,8,1", "rate"},          {"fast,N,8,1", "rate"},         {"99999999999,N,8,1", "rate"},
      {"38400,N,8", "four fields"}, {"38400,N,8,1,", "four fields"}};
  for (const auto& row : rows) {
    std::string what;
    EXPECT_EQ(ErrorOf([&] { LineConfig::Parse(row.text); }, &what), kErrInvalidPropertyValue)
        << row.text;
    EXPECT_NE(what.find(row.named), std::string::npos) << what;
  }
}

TEST(ControlRefusals, KeepWhatWasSetBefore) {
  Plug plug;
  CommControl& c = plug.control;
  c.PortNumber(3);
  c.LineSettings("19200,E,7,1");
  EXPECT_EQ(ErrorOf([&] { c.PortNumber(0); }), kErrInvalidPortNumber);
  EXPECT_EQ(ErrorOf([&] { c.LineSettings("19200,Q,7,1"); }), kErrInvalidPropertyValue);
  EXPECT_EQ(ErrorOf([&] { c.FlowControl(4); }), kErrInvalidPropertyValue);
  EXPECT_EQ(ErrorOf([&] { c.ReceiveThreshold(-1); }), kErrInvalidPropertyValue);
  EXPECT_EQ(ErrorOf([&] { c.TransmitText("x"); }), kErrPortNotOpen);
  EXPECT_EQ(ErrorOf([&] { c.ReceivedText(); }), kErrPortNotOpen);
  c.OpenState(true);
  EXPECT_EQ(ErrorOf([&] { c.PortNumber(4); }), kErrPortAlreadyOpen);
  EXPECT_EQ(c.PortNumber(), 3);
  EXPECT_EQ(c.LineSettings(), "19200,E,7,1");
  EXPECT_EQ(c.FlowControl(), 0);
  EXPECT_EQ(c.ReceiveThreshold(), 1);

  CommControl unmapped([](std::int16_t n) -> std::string {
    throw CommError(kErrInvalidPortNumber, "Com-port " + std::to_string(n) + " is not mapped");
  });
  std::string what;
  EXPECT_EQ(ErrorOf([&] { unmapped.OpenState(true); }, &what), kErrInvalidPortNumber);
  EXPECT_EQ(what, "Com-port 1 is not mapped");
  EXPECT_FALSE(unmapped.OpenState());
}

}  // namespace
}  // namespace serivane::serial
