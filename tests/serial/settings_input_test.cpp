// Line-settings text and the control's refusals of bad input: each refusal has
// its number and leaves what was set before.
#include <string>

#include <gtest/gtest.h>

#include "common/clock.h"
#include "serial/comm_control.h"

namespace serivane::serial {
namespace {

struct GoodText {
  const char* text;
  LineConfig config;
  const char* canonical;
};

class LineSettingsText : public ::testing::TestWithParam<GoodText> {};

TEST_P(LineSettingsText, ParsesAndWritesBack) {
  const LineConfig parsed = LineConfig::Parse(GetParam().text);
  EXPECT_EQ(parsed, GetParam().config);
  EXPECT_EQ(parsed.Text(), GetParam().canonical);
}

INSTANTIATE_TEST_SUITE_P(
    Good, LineSettingsText,
    ::testing::Values(GoodText{"38400,N,8,1", {38400, 'N', 8, 1}, "38400,N,8,1"},
                      GoodText{" 9600 , e , 7 , 2 ", {9600, 'E', 7, 2}, "9600,E,7,2"},
                      GoodText{"110,o,5,1", {110, 'O', 5, 1}, "110,O,5,1"},
                      GoodText{"250000,N,6,2", {250000, 'N', 6, 2}, "250000,N,6,2"}));

TEST(LineSettingsText, BadTextIsRefusedNamingTheField) {
  const struct {
    const char* text;
    const char* named;
  } cases[] = {
      {"38400,X,8,1", "parity"},
      {"38400,M,8,1", "parity"},
      {"38400,NN,8,1", "parity"},
      {"38400,N,9,1", "data bits"},
      {"38400,N,4,1", "data bits"},
      {"38400,N,8,3", "stop bits"},
      {"38400,N,8,1.5", "stop bits"},
      {"0,N,8,1", "rate"},
      {"-300,N,8,1", "rate"},
      {"fast,N,8,1", "rate"},
      {"99999999999,N,8,1", "rate"},
      {"38400,N,8", "four fields"},
      {"", "four fields"},
      {"38400,N,8,1,", "four fields"},
  };
  for (const auto& c : cases) {
    try {
      LineConfig::Parse(c.text);
      ADD_FAILURE() << '"' << c.text << "\" was taken";
    } catch (const CommError& e) {
      EXPECT_EQ(e.number(), kErrInvalidPropertyValue) << c.text;
      EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
    }
  }
}

// Every refusal of the control, each against a fresh control on the virtual plug.
TEST(ControlRefusals, KeepWhatWasSetBefore) {
  ManualClock clock;
  CommControl c([](std::int16_t) { return std::string("loopback"); }, clock);
  c.PortNumber(3);
  c.LineSettings("19200,E,7,1");

  const auto number_of = [](auto&& op) -> std::int32_t {
    try {
      op();
    } catch (const CommError& e) {
      return e.number();
    }
    return 0;
  };
  EXPECT_EQ(number_of([&] { c.PortNumber(0); }), kErrInvalidPortNumber);
  EXPECT_EQ(number_of([&] { c.PortNumber(-4); }), kErrInvalidPortNumber);
  EXPECT_EQ(c.PortNumber(), 3);
  EXPECT_EQ(number_of([&] { c.LineSettings("19200,Q,7,1"); }), kErrInvalidPropertyValue);
  EXPECT_EQ(c.LineSettings(), "19200,E,7,1");
  EXPECT_EQ(number_of([&] { c.FlowControl(4); }), kErrInvalidPropertyValue);
  EXPECT_EQ(c.FlowControl(), 0);
  EXPECT_EQ(number_of([&] { c.ReceiveThreshold(-1); }), kErrInvalidPropertyValue);
  EXPECT_EQ(number_of([&] { c.TransmitText("x"); }), kErrPortNotOpen);
  EXPECT_EQ(number_of([&] { c.ReceivedText(); }), kErrPortNotOpen);

  c.OpenState(true);
  EXPECT_EQ(number_of([&] { c.PortNumber(4); }), kErrPortAlreadyOpen);
  EXPECT_EQ(c.PortNumber(), 3);
  EXPECT_EQ(number_of([&] { c.OpenState(true); }), 0) << "opening an open port does nothing";
  c.OpenState(false);
  EXPECT_EQ(number_of([&] { c.OpenState(false); }), 0) << "closing a closed port does nothing";
}

TEST(ControlRefusals, ResolverErrorsReachTheCaller) {
  CommControl c([](std::int16_t n) -> std::string {
    throw CommError(kErrInvalidPortNumber, "Com-port " + std::to_string(n) + " is not mapped");
  });
  c.PortNumber(7);
  try {
    c.OpenState(true);
    FAIL();
  } catch (const CommError& e) {
    EXPECT_EQ(e.number(), kErrInvalidPortNumber);
    EXPECT_STREQ(e.what(), "Com-port 7 is not mapped");
  }
  EXPECT_FALSE(c.OpenState());
}

}  // namespace
}  // namespace serivane::serial
