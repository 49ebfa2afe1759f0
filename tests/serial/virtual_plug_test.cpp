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
  for (const auto& [settings, bits, mask] : {std::tuple{"38400,N,8,1", 10, 0xFF},
                                             {"38400,E,8,2", 12, 0xFF},
                                             {"9600,O,7,1", 10, 0x7F},
                                             {"300,N,5,1", 7, 0x1F}}) {
    SCOPED_TRACE(settings);
    Plug plug;
    plug.control.LineSettings(settings);
    plug.control.OpenState(true);
    std::string masked = testing::AllCodes();
    for (char& c : masked) c = static_cast<char>(c & mask);
    // Two sends back to back queue on the wire as one.
    plug.control.TransmitText(testing::AllCodes().substr(0, 100));
    plug.control.TransmitText(testing::AllCodes().substr(100));
    plug.clock.AdvanceMicros(
        std::int64_t{256} * bits * 1'000'000 / LineConfig::Parse(settings).baud - 1);
    plug.control.Service();
    EXPECT_LT(plug.control.InBufferCount(), 256) << "the block arrived before its wire time";
    EXPECT_GE(plug.control.InBufferCount(), 254) << "characters held back beyond their time";
    plug.clock.AdvanceMicros(2);
    plug.control.Service();
    EXPECT_EQ(plug.control.ReceivedText(), masked);
  }
}

// What the plug shows with `query` for its switches. Three characters are sent and the port is
// closed and opened again before they arrive: the trace holds the text then received for a
// ten-character send and the event codes raised; then, after the open, after RTS goes off and
// after DTR goes off, the CTS DSR DCD lines (1 on) and the events their changes raised. A failed
// open shows its error number alone.
std::string Trace(const std::string& query) {
  Plug plug("loopback?" + query);
  CommControl& c = plug.control;
  c.ReceiveThreshold(5);
  c.RtsOn(true);
  c.DtrOn(true);
  for (int open = 0; open < 2; ++open) {
    if (const auto e = ErrorOf([&] { c.OpenState(true); })) {
      return std::to_string(e) + (c.OpenState() ? " but open" : "");
    }
    if (open == 0) c.TransmitText("xyz");
    if (open == 0) c.OpenState(false);
  }
  c.TransmitText("ABCDEFGHIJ");
  plug.Run(100);
  std::string out = c.ReceivedText();
  for (int step = 0; step < 4; ++step) {
    if (step == 2) c.RtsOn(false);
    if (step == 3) c.DtrOn(false);
    if (step > 0) {
      plug.Run(10);
      out += '|';
      for (const bool on : {c.CtsState(), c.DsrState(), c.DcdState()}) out += on ? '1' : '0';
    }
    for (const auto code : plug.log.codes) out += ' ' + std::to_string(code);
    plug.log.codes.clear();
  }
  return out;
}

// Character counts run on across the close: A is the 4th character sent.
TEST(VirtualPlug, EachFaultSwitchShowsItsFaultAndNothingElse) {
  const std::string wired = "|111|011 3|000 4 5";  // RTS drives CTS, DTR drives DSR and DCD
  const std::pair<const char*, std::string> rows[] = {
      {"", "ABCDEFGHIJ 2" + wired},
      {"echo=off", wired},
      {"drop=4", "BCDFGHJ 2" + wired},
      {"drop=1", wired},
      {"corrupt=4", "@BCDDFGHHJ 2" + wired},
      {"extra=2", "ABCDEFGHIJ?? 2" + wired},
      {"break=8", "ABCDEFGHIJ 2 1001" + wired},
      {"frame=8", "ABCDEFGHIJ 2 1004" + wired},
      {"parity=8", "ABCDEFGHIJ 2 1009" + wired},
      {"overrun=8", "ABCDFGHIJ 1006 2" + wired},
      {"frame=14", "ABCDEFGHIJ 2" + wired},
      {"ring=on", "ABCDEFGHIJ 2 6" + wired},
      {"cts=off", "ABCDEFGHIJ 2|011|011|000 4 5"},
      {"cts=on", "ABCDEFGHIJ 2|111|111|100 4 5"},
      {"dsr=off", "ABCDEFGHIJ 2|101|001 3|000 5"},
      {"dsr=on&dcd=on", "ABCDEFGHIJ 2|111|011 3|011"},
      {"busy=on", "8005"},
      {"openfail=1", "8010"},
      {"nosuch=1", "380"},
      {"drop=x", "380"}};
  for (const auto& [query, trace] : rows) EXPECT_EQ(Trace(query), trace) << query;
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

TEST(VirtualPlug, DelaysTheVanishingAndTheNextCharacterRunOnTheClock) {
  Plug plug("loopback?opendelay=250&closedelay=120&vanish=50");
  plug.control.LineSettings("300,N,8,1");
  plug.control.OpenState(true);
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
  EXPECT_EQ(plug.log.codes, (Codes{kEvReceive, kErDeviceGone}));
  EXPECT_EQ(ErrorOf([&] { plug.control.OpenState(true); }), kErrInvalidPortNumber);
}

TEST(ControlRefusals, BadInputIsRefusedNamingWhatIsWrongAndChangesNothing) {
  Plug plug;
  CommControl& c = plug.control;
  c.PortNumber(3);
  c.LineSettings(" 19200 , e , 7 , 1 ");
  const struct {
    const char* text;
    const char* named;
  } rows[] = {
      {"19200,X,7,1", "parity"},    {"19200,NN,7,1", "parity"},     {"19200,N,9,1", "data bits"},
      {"19200,N,4,1", "data bits"}, {"19200,N,8,3", "stop bits"},   {"19200,N,8,1.5", "stop bits"},
      {"0,N,8,1", "rate"},          {"fast,N,8,1", "rate"},         {"99999999999,N,8,1", "rate"},
      {"19200,N,8", "four fields"}, {"19200,N,8,1,", "four fields"}};
  for (const auto& row : rows) {
    std::string what;
    EXPECT_EQ(ErrorOf([&] { c.LineSettings(row.text); }, &what), kErrInvalidPropertyValue)
        << row.text;
    EXPECT_NE(what.find(row.named), std::string::npos) << what;
  }
  EXPECT_EQ(ErrorOf([&] { c.PortNumber(0); }), kErrInvalidPortNumber);
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
}

}  // namespace
}  // namespace serivane::serial
