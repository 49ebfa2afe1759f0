#include "common/clock.h"

#include <cerrno>
#include <ctime>

namespace serivane {

namespace {

class MonotonicClock final : public Clock {
 public:
  std::int64_t NowMicros() const override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
  }

  void Sleep(std::int32_t ms) override {
    if (ms <= 0) return;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    // A signal must not shorten a pause that a test's timing depends on.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

Clock& SystemClock() {
  static MonotonicClock clock;
  return clock;
}

void ManualClock::Sleep(std::int32_t ms) {
  if (ms > 0) {
    slept_ms_ += ms;
    now_ += static_cast<std::int64_t>(ms) * 1000;
  }
  if (hook_) hook_(ms);
}

}  // namespace serivane
