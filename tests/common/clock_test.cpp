#include "common/clock.h"

#include <gtest/gtest.h>

namespace serivane {
namespace {

// The tick counter wraps after 2^32 ms; durations measured across the wrap must stay small and
// positive.
TEST(TickCounter, DurationAcrossWrapIsSmallAndPositive) {
  ManualClock clock((std::int64_t{1} << 32) * 1000 - 5000);  // 5 s before the wrap
  const std::uint32_t before = clock.TickCount();
  clock.AdvanceMillis(12);
  EXPECT_EQ(TickDiff(clock.TickCount(), before), 12u);
  clock.AdvanceMillis(5000);  // now past the wrap
  EXPECT_LT(clock.TickCount(), before);
  EXPECT_EQ(TickDiff(clock.TickCount(), before), 5012u);
}

TEST(ManualClockSleep, AdvancesTimeAndRunsHook) {
  ManualClock clock;
  int hook_ms = -1;
  clock.SetSleepHook([&](std::int32_t ms) { hook_ms = ms; });
  clock.Sleep(10);
  clock.Sleep(-3);
  EXPECT_EQ(clock.NowMicros(), 10000);
  EXPECT_EQ(hook_ms, -3);
  EXPECT_EQ(clock.sleep_calls(), 2);
  EXPECT_EQ(clock.slept_ms(), 10);
}

}  // namespace
}  // namespace serivane
