// Time as the program sees it: a monotonic clock, a 32-bit millisecond tick counter and a
// blocking pause. Everything that measures or waits takes a Clock so that tests can replace it
// with ManualClock and run timing-dependent procedures instantly and repeatably.
#pragma once

#include <cstdint>
#include <functional>

namespace serivane {

class Clock {
 public:
  virtual ~Clock() = default;

  // Monotonic time in microseconds since an arbitrary epoch. Never goes backwards.
  virtual std::int64_t NowMicros() const = 0;

  // Blocks the calling thread for `ms` milliseconds; ms <= 0 returns at once.
  virtual void Sleep(std::int32_t ms) = 0;

  // The 32-bit millisecond tick counter. It wraps after about 49.7 days; take differences with
  // TickDiff, never by subtracting as signed numbers.
  std::uint32_t TickCount() const {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(NowMicros() / 1000));
  }
};

// Milliseconds from `earlier` to `later`, correct across one wrap of the tick counter.
constexpr std::uint32_t TickDiff(std::uint32_t later, std::uint32_t earlier) {
  return later - earlier;
}

// The process-wide real clock (CLOCK_MONOTONIC, nanosleep).
Clock& SystemClock();

// A clock that moves only when told to. Sleep advances it by the requested time and then runs
// the sleep hook, if any (tests use the hook to let a simulated device progress).
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::int64_t start_micros = 0) : now_(start_micros) {}

  std::int64_t NowMicros() const override { return now_; }
  void Sleep(std::int32_t ms) override;

  void AdvanceMicros(std::int64_t micros) { now_ += micros; }
  void AdvanceMillis(std::int64_t ms) { now_ += ms * 1000; }
  void SetSleepHook(std::function<void(std::int32_t ms)> hook) { hook_ = std::move(hook); }

  // The milliseconds all Sleep calls asked for, for tests of pauses.
  std::int64_t slept_ms() const { return slept_ms_; }

 private:
  std::int64_t now_;
  std::int64_t slept_ms_ = 0;
  std::function<void(std::int32_t)> hook_;
};

}  // namespace serivane
