// One table of behaviour, run on every kind of device the control drives: the virtual plug, a
// pseudo-terminal pair whose far end echoes, and, when SERIVANE_TEST_PORT names a port with a
// loopback plug fitted, that real port.
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "common/clock.h"
#include "serial/comm_control.h"
#include "serial/termios_device.h"
#include "test_support.h"

namespace serivane::serial {
namespace {

enum Backend { kPlug, kPty, kRealPort };
constexpr int kVanishMs = 3'600'000;

class Loopback : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    const char* port = std::getenv("SERIVANE_TEST_PORT");
    if (backend == kRealPort && (port == nullptr || *port == '\0')) {
      GTEST_SKIP() << "set SERIVANE_TEST_PORT to a port with a loopback plug to run this";
    }
    c.LineSettings("38400,N,8,1");
    c.OpenState(true);
  }
  // Services the control until `done` holds, letting a millisecond of the device's clock pass
  // between calls; false after ten seconds of it.
  bool ServiceUntil(const std::function<bool()>& done) {
    for (int ms = 0; ms < 10000; ++ms, backend == kPlug ? clock.AdvanceMillis(1) : pty.Echo()) {
      c.Service();
      if (done()) return true;
    }
    return false;
  }
  bool CountReaches(std::int32_t n) {
    return ServiceUntil([&] { return c.InBufferCount() >= n; });
  }

  const Backend backend = GetParam();
  testing::TempDir dir;
  testing::PtyPair pty;
  ManualClock clock;
  CommControl c{[this](std::int16_t) -> std::string {
                  if (backend == kPty) return pty.slave_path();
                  if (backend == kRealPort) return std::getenv("SERIVANE_TEST_PORT");
                  return "loopback?vanish=" + std::to_string(kVanishMs);
                },
                backend == kPlug ? static_cast<Clock&>(clock) : SystemClock(),
                backend == kRealPort ? SystemPaths{} : SystemPaths{dir.path, dir.path}};
  testing::EventLog log{c};
};

TEST_P(Loopback, EveryCodeComesBackInOrderAndReadingEmptiesTheBuffer) {
  // A run of FF is where a terminal that marks line errors in-band doubles bytes, pairs split
  // between reads included; single-character sends are where a writer may drop bytes.
  const std::string block = testing::AllCodes() + std::string(5000, '\xFF') + testing::AllCodes();
  c.TransmitText(block);
  for (int i = 0; i < 100; ++i) c.TransmitText("7");
  ASSERT_TRUE(CountReaches(static_cast<std::int32_t>(block.size()) + 100));
  EXPECT_EQ(c.ReceivedText(), block + std::string(100, '7'));
  c.TransmitText("again");
  ASSERT_TRUE(CountReaches(5));
  EXPECT_EQ(c.ReceivedText(), "again");
}

TEST_P(Loopback, ThresholdEventIsEdgeTriggeredAndZeroDisablesIt) {
  const auto receives = [&] { return log.Count(kEvReceive); };
  c.ReceiveThreshold(4);
  c.TransmitText("abc");
  ASSERT_TRUE(CountReaches(3));
  EXPECT_EQ(receives(), 0) << "raised below the threshold";
  c.TransmitText("d");
  ASSERT_TRUE(ServiceUntil([&] { return receives() == 1; }));
  c.TransmitText("efgh");
  ASSERT_TRUE(CountReaches(8));
  for (int i = 0; i < 20; ++i) c.Service();
  EXPECT_EQ(receives(), 1) << "raised again while the count stayed above";
  EXPECT_EQ(c.CommEvent(), kEvReceive) << "the latest code must stay";
  EXPECT_EQ(c.ReceivedText(), "abcdefgh");
  c.TransmitText("ijkl");
  EXPECT_TRUE(ServiceUntil([&] { return receives() == 2; })) << "not re-armed by the read";

  c.ReceivedText();
  c.ReceiveThreshold(0);
  c.TransmitText("0123456789");
  ASSERT_TRUE(CountReaches(10));
  for (int i = 0; i < 20; ++i) c.Service();
  EXPECT_EQ(receives(), 2);
}

TEST_P(Loopback, ALossMidTransferClosesThePortOnceAndStopsTheService) {
  if (backend == kRealPort) GTEST_SKIP() << "a real port cannot be unplugged by the test";
  c.TransmitText(std::string(3000, 'm'));
  c.Service();
  backend == kPty ? pty.CloseMaster() : clock.AdvanceMillis(kVanishMs);
  ASSERT_TRUE(ServiceUntil([&] { return !c.OpenState(); }));
  for (int i = 0; i < 50; ++i) c.Service();
  EXPECT_EQ(c.CommEvent(), kErDeviceGone);
  EXPECT_EQ(log.Count(kErDeviceGone), 1);
  EXPECT_NE(c.LostReason().find(backend == kPty ? pty.slave_path() : "plug"), std::string::npos)
      << c.LostReason();
  EXPECT_EQ(c.NextServiceMs(), -1) << "a lost port must not keep the event loop busy";
  EXPECT_EQ(c.WatchFd(), -1);
  EXPECT_FALSE(std::filesystem::exists(dir.path + "/" + LockFileName(pty.slave_path())));
  EXPECT_EQ(testing::ErrorOf([&] { c.TransmitText("x"); }), kErrPortNotOpen);
}

const char* const kBackendNames[] = {"VirtualPlug", "PseudoTerminal", "RealPort"};
INSTANTIATE_TEST_SUITE_P(AllDevices, Loopback, ::testing::Values(kPlug, kPty, kRealPort),
                         [](const auto& p) { return kBackendNames[p.param]; });

}  // namespace
}  // namespace serivane::serial
