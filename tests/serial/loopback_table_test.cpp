// One table of behaviour, run on every kind of device the control drives: the virtual plug, a
// pseudo-terminal pair whose far end echoes, and, when SERIVANE_TEST_PORT names a port with a
// loopback plug fitted, that real port.
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/clock.h"
#include "serial/comm_control.h"
#include "test_support.h"

namespace serivane::serial {
namespace {

using testing::AllCodes;
using testing::EventLog;

class Rig {
 public:
  virtual ~Rig() = default;
  virtual CommControl& control() = 0;
  // Lets one millisecond pass, on the clock the device runs on.
  virtual void Tick() = 0;
  virtual bool CanUnplug() const = 0;
  virtual void Unplug() = 0;

  // Services the control until `done` holds; false after ten seconds of the device's time.
  bool ServiceUntil(const std::function<bool()>& done) {
    for (int ms = 0; ms < 10000; ++ms) {
      control().Service();
      if (done()) return true;
      Tick();
    }
    return false;
  }
};

class PlugRig final : public Rig {
 public:
  CommControl& control() override { return control_; }
  void Tick() override { clock_.AdvanceMillis(1); }
  bool CanUnplug() const override { return true; }
  void Unplug() override { clock_.AdvanceMillis(kVanishMs); }

 private:
  static constexpr int kVanishMs = 3'600'000;
  ManualClock clock_;
  CommControl control_{[](std::int16_t) { return "loopback?vanish=" + std::to_string(kVanishMs); },
                       clock_};
};

class PtyRig final : public Rig {
 public:
  PtyRig() { pty_.StartEcho(); }
  CommControl& control() override { return control_; }
  void Tick() override { usleep(1000); }
  bool CanUnplug() const override { return true; }
  void Unplug() override { pty_.CloseMaster(); }

 private:
  testing::TempDir dir_;
  testing::PtyPair pty_;
  CommControl control_{[this](std::int16_t) { return pty_.slave_path(); }, SystemClock(),
                       SystemPaths{dir_.path(), dir_.path()}};
};

class RealPortRig final : public Rig {
 public:
  explicit RealPortRig(std::string path) : path_(std::move(path)) {}
  CommControl& control() override { return control_; }
  void Tick() override { usleep(1000); }
  bool CanUnplug() const override { return false; }
  void Unplug() override {}

 private:
  std::string path_;
  CommControl control_{[this](std::int16_t) { return path_; }};
};

enum class Backend { kPlug, kPty, kRealPort };

struct Case {
  const char* name;
  std::function<void(Rig&)> run;
};

void OpenAt38400(CommControl& c) {
  c.LineSettings("38400,N,8,1");
  c.OpenState(true);
}

const Case kCases[] = {
    {"AllCodesComeBackInOrder",
     [](Rig& rig) {
       CommControl& c = rig.control();
       OpenAt38400(c);
       const std::string block = AllCodes();
       c.TransmitText(block);
       ASSERT_TRUE(rig.ServiceUntil([&] { return c.InBufferCount() >= 256; }));
       EXPECT_EQ(c.ReceivedText(), block);
     }},
    {"RunsOfFFSurviveTheReceivePath",
     // A terminal that marks line errors in-band doubles every FF; the doubling must be undone
     // also where a pair is split between two reads.
     [](Rig& rig) {
       CommControl& c = rig.control();
       OpenAt38400(c);
       const std::string block = "x" + std::string(5000, '\xFF') + "y";
       c.TransmitText(block);
       ASSERT_TRUE(rig.ServiceUntil(
           [&] { return c.InBufferCount() >= static_cast<std::int32_t>(block.size()); }));
       EXPECT_EQ(c.ReceivedText(), block);
     }},
    {"SingleCharacterSendsAllArrive",
     [](Rig& rig) {
       CommControl& c = rig.control();
       OpenAt38400(c);
       for (int i = 0; i < 100; ++i) c.TransmitText("7");
       ASSERT_TRUE(rig.ServiceUntil([&] { return c.InBufferCount() >= 100; }));
       EXPECT_EQ(c.ReceivedText(), std::string(100, '7'));
     }},
    {"ThresholdEventIsEdgeTriggered",
     [](Rig& rig) {
       CommControl& c = rig.control();
       EventLog log(c);
       OpenAt38400(c);
       c.ReceiveThreshold(4);
       c.TransmitText("abc");
       ASSERT_TRUE(rig.ServiceUntil([&] { return c.InBufferCount() == 3; }));
       EXPECT_EQ(log.Count(kEvReceive), 0u) << "raised below the threshold";

       c.TransmitText("d");
       ASSERT_TRUE(rig.ServiceUntil([&] { return log.Count(kEvReceive) == 1; }));
       EXPECT_EQ(c.CommEvent(), kEvReceive);

       c.TransmitText("efgh");
       ASSERT_TRUE(rig.ServiceUntil([&] { return c.InBufferCount() == 8; }));
       for (int i = 0; i < 20; ++i) c.Service();
       EXPECT_EQ(log.Count(kEvReceive), 1u) << "raised again while the count stayed above";

       EXPECT_EQ(c.ReceivedText(), "abcdefgh");
       c.TransmitText("ijkl");
       ASSERT_TRUE(rig.ServiceUntil([&] { return log.Count(kEvReceive) == 2; }))
           << "not re-armed by the read";
     }},
    {"ThresholdZeroRaisesNothing",
     [](Rig& rig) {
       CommControl& c = rig.control();
       EventLog log(c);
       OpenAt38400(c);
       c.ReceiveThreshold(0);
       c.TransmitText("0123456789");
       ASSERT_TRUE(rig.ServiceUntil([&] { return c.InBufferCount() == 10; }));
       for (int i = 0; i < 20; ++i) c.Service();
       EXPECT_EQ(log.Count(kEvReceive), 0u);
     }},
    {"ReceivedTextEmptiesTheBuffer",
     [](Rig& rig) {
       CommControl& c = rig.control();
       OpenAt38400(c);
       c.TransmitText("hello");
       ASSERT_TRUE(rig.ServiceUntil([&] { return c.InBufferCount() == 5; }));
       EXPECT_EQ(c.ReceivedText(), "hello");
       EXPECT_EQ(c.InBufferCount(), 0);
       EXPECT_EQ(c.ReceivedText(), "");
       c.TransmitText("again");
       ASSERT_TRUE(rig.ServiceUntil([&] { return c.InBufferCount() == 5; }));
       EXPECT_EQ(c.ReceivedText(), "again");
     }},
    {"CommEventKeepsTheLatestCodeAndALossIsReportedOnce",
     [](Rig& rig) {
       if (!rig.CanUnplug()) GTEST_SKIP() << "this device cannot be unplugged by the test";
       CommControl& c = rig.control();
       EventLog log(c);
       OpenAt38400(c);
       c.TransmitText("q");
       ASSERT_TRUE(rig.ServiceUntil([&] { return log.Count(kEvReceive) == 1; }));
       for (int i = 0; i < 5; ++i) c.Service();
       EXPECT_EQ(c.CommEvent(), kEvReceive) << "the code must stay until another event";

       rig.Unplug();
       ASSERT_TRUE(rig.ServiceUntil([&] { return !c.OpenState(); }));
       EXPECT_EQ(c.CommEvent(), kErDeviceGone);
       EXPECT_NE(c.LostReason(), "");
       for (int i = 0; i < 50; ++i) c.Service();
       EXPECT_EQ(log.Count(kErDeviceGone), 1u);
       EXPECT_EQ(c.NextServiceMs(), -1) << "a lost port must not keep the event loop busy";
       EXPECT_EQ(c.WatchFd(), -1);
       try {
         c.TransmitText("x");
         ADD_FAILURE() << "sending on a lost port must fail";
       } catch (const CommError& e) {
         EXPECT_EQ(e.number(), kErrPortNotOpen);
       }
     }},
};

class LoopbackTable : public ::testing::TestWithParam<std::tuple<Backend, std::size_t>> {};

TEST_P(LoopbackTable, Behaves) {
  const auto [backend, index] = GetParam();
  std::unique_ptr<Rig> rig;
  switch (backend) {
    case Backend::kPlug:
      rig = std::make_unique<PlugRig>();
      break;
    case Backend::kPty:
      rig = std::make_unique<PtyRig>();
      break;
    case Backend::kRealPort: {
      const char* port = std::getenv("SERIVANE_TEST_PORT");
      if (port == nullptr || *port == '\0') {
        GTEST_SKIP() << "set SERIVANE_TEST_PORT to a port with a loopback plug to run this";
      }
      rig = std::make_unique<RealPortRig>(port);
      break;
    }
  }
  kCases[index].run(*rig);
}

std::string CaseName(const ::testing::TestParamInfo<LoopbackTable::ParamType>& info) {
  static const char* const kBackends[] = {"VirtualPlug", "PseudoTerminal", "RealPort"};
  const auto [backend, index] = info.param;
  return std::string(kBackends[static_cast<int>(backend)]) + "_" + kCases[index].name;
}

INSTANTIATE_TEST_SUITE_P(AllDevices, LoopbackTable,
                         ::testing::Combine(::testing::Values(Backend::kPlug, Backend::kPty,
                                                              Backend::kRealPort),
                                            ::testing::Range<std::size_t>(0, std::size(kCases))),
                         CaseName);

}  // namespace
}  // namespace serivane::serial
