// One table of behaviour, run on every kind of device the control drives: the virtual plug, a
// pseudo-terminal pair whose far end echoes, and, when SERIVANE_TEST_PORT names a port with a
// loopback plug fitted, that real port.
#include <unistd.h>

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

enum class Backend { kPlug, kPty, kRealPort };
constexpr int kVanishMs = 3'600'000;

struct Rig {
  explicit Rig(Backend b) : backend(b) {
    if (backend == Backend::kPty) pty.StartEcho();
    control.LineSettings("38400,N,8,1");
    control.OpenState(true);
  }
  std::string Target() const {
    if (backend == Backend::kPty) return pty.slave_path();
    if (backend == Backend::kRealPort) return std::getenv("SERIVANE_TEST_PORT");
    return "loopback?vanish=" + std::to_string(kVanishMs);
  }
  // Lets one millisecond pass, on the clock the device runs on.
  void Tick() { backend == Backend::kPlug ? clock.AdvanceMillis(1) : void(usleep(1000)); }
  // Services the control until `done` holds; false after ten seconds of the device's time.
  bool ServiceUntil(const std::function<bool()>& done) {
    for (int ms = 0; ms < 10000; ++ms, Tick()) {
      control.Service();
      if (done()) return true;
    }
    return false;
  }

  Backend backend;
  testing::TempDir dir;
  testing::PtyPair pty;
  ManualClock clock;
  CommControl control{
      [this](std::int16_t) { return Target(); },
      backend == Backend::kPlug ? static_cast<Clock&>(clock) : SystemClock(),
      backend == Backend::kRealPort ? SystemPaths{} : SystemPaths{dir.path, dir.path}};
  testing::EventLog log{control};
};

class Loopback : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    const char* port = std::getenv("SERIVANE_TEST_PORT");
    if (GetParam() == Backend::kRealPort && (port == nullptr || *port == '\0')) {
      GTEST_SKIP() << "set SERIVANE_TEST_PORT to a port with a loopback plug to run this";
    }
    rig = std::make_unique<Rig>(GetParam());
  }
  bool CountReaches(std::int32_t n) {
    return rig->ServiceUntil([&] { return c().InBufferCount() >= n; });
  }
  CommControl& c() { return rig->control; }
  std::unique_ptr<Rig> rig;
};

TEST_P(Loopback, EveryCodeComesBackInOrderAndReadingEmptiesTheBuffer) {
  // A run of FF is where a terminal that marks line errors in-band doubles bytes, pairs split
  // between reads included; single-character sends are where a writer may drop bytes.
  const std::string block = testing::AllCodes() + std::string(5000, '\xFF') + testing::AllCodes();
  c().TransmitText(block);
  for (int i = 0; i < 100; ++i) c().TransmitText("7");
  ASSERT_TRUE(CountReaches(static_cast<std::int32_t>(block.size()) + 100));
  EXPECT_EQ(c().ReceivedText(), block + std::string(100, '7'));
  c().TransmitText("again");
  ASSERT_TRUE(CountReaches(5));
  EXPECT_EQ(c().ReceivedText(), "again");
}

TEST_P(Loopback, ThresholdEventIsEdgeTriggeredAndZeroDisablesIt) {
  const auto receives = [&] { return rig->log.Count(kEvReceive); };
  c().ReceiveThreshold(4);
  c().TransmitText("abc");
  ASSERT_TRUE(CountReaches(3));
  EXPECT_EQ(receives(), 0) << "raised below the threshold";
  c().TransmitText("d");
  ASSERT_TRUE(rig->ServiceUntil([&] { return receives() == 1; }));
  c().TransmitText("efgh");
  ASSERT_TRUE(CountReaches(8));
  for (int i = 0; i < 20; ++i) c().Service();
  EXPECT_EQ(receives(), 1) << "raised again while the count stayed above";
  EXPECT_EQ(c().CommEvent(), kEvReceive) << "the latest code must stay";
  EXPECT_EQ(c().ReceivedText(), "abcdefgh");
  c().TransmitText("ijkl");
  EXPECT_TRUE(rig->ServiceUntil([&] { return receives() == 2; })) << "not re-armed by the read";

  c().ReceivedText();
  c().ReceiveThreshold(0);
  c().TransmitText("0123456789");
  ASSERT_TRUE(CountReaches(10));
  for (int i = 0; i < 20; ++i) c().Service();
  EXPECT_EQ(receives(), 2);
}

TEST_P(Loopback, ALossMidTransferClosesThePortOnceAndStopsTheService) {
  if (GetParam() == Backend::kRealPort) GTEST_SKIP() << "a real port cannot be unplugged here";
  c().TransmitText(std::string(3000, 'm'));
  c().Service();
  GetParam() == Backend::kPty ? rig->pty.CloseMaster() : rig->clock.AdvanceMillis(kVanishMs);
  ASSERT_TRUE(rig->ServiceUntil([&] { return !c().OpenState(); }));
  for (int i = 0; i < 50; ++i) c().Service();
  EXPECT_EQ(rig->log.Count(kErDeviceGone), 1);
  EXPECT_EQ(c().CommEvent(), kErDeviceGone);
  const std::string named = GetParam() == Backend::kPty ? rig->pty.slave_path() : "plug";
  EXPECT_NE(c().LostReason().find(named), std::string::npos) << c().LostReason();
  EXPECT_EQ(c().NextServiceMs(), -1) << "a lost port must not keep the event loop busy";
  EXPECT_EQ(c().WatchFd(), -1);
  EXPECT_FALSE(std::filesystem::exists(rig->dir.path + "/" + LockFileName(rig->Target())));
  EXPECT_EQ(testing::ErrorOf([&] { c().TransmitText("x"); }), kErrPortNotOpen);
}

const char* const kBackendNames[] = {"VirtualPlug", "PseudoTerminal", "RealPort"};
INSTANTIATE_TEST_SUITE_P(AllDevices, Loopback,
                         ::testing::Values(Backend::kPlug, Backend::kPty, Backend::kRealPort),
                         [](const auto& p) { return kBackendNames[static_cast<int>(p.param)]; });

}  // namespace
}  // namespace serivane::serial
