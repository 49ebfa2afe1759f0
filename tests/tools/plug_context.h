// The run's side of a check on the virtual plug, on a manual clock that moves only while a check
// waits: Wait lets the clock run to the plug's next delivery (or `max_ms`) and serves the port,
// as the run's event loop does.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/clock.h"
#include "serial/comm_control.h"
#include "tools/run/checks/check.h"

namespace serivane::run {

class PlugContext final : public CheckContext {
 public:
  explicit PlugContext(std::string target, const std::string& line = "9600,N,8,1")
      : target_(std::move(target)) {
    port_.OnCommEvent = [this] {
      events_.push_back(port_.CommEvent());
      times_.push_back(clock_.NowMicros());
    };
    port_.ReceiveThreshold(0);
    port_.LineSettings(line);
    port_.OpenState(true);
    port_.Service();
    events_.clear();
    times_.clear();
  }
  serial::CommControl& Port() override { return port_; }
  Clock& GetClock() override { return clock_; }
  const settings::Settings& RunSettings() const override { return settings_; }
  void Wait(std::int32_t max_ms) override {
    ++waits_;
    std::int32_t ms = max_ms;
    if (const int next = port_.NextServiceMs(); next >= 0 && !whole_waits_) ms = std::min(ms, next);
    if (max_ms > 0) ms = std::max(ms, min_step_ms_);
    clock_.Sleep(ms);
    port_.Service();
  }
  bool StopRequested() const override {
    return clock_.NowMicros() >= stop_at_us_ || waits_ >= stop_after_waits_;
  }
  void Progress(std::string_view line) override { progress_.emplace_back(line); }
  std::vector<std::int16_t> TakeEvents() override { return std::exchange(events_, {}); }
  bool NoModemLines() const override { return pty_; }
  std::optional<int> LatencyTimerMs() const override { return timer_; }
  bool OnUsb() const override { return usb_; }

  bool whole_waits_ = false;  // each wait sleeps its whole time
  std::int32_t min_step_ms_ = 0;
  std::int64_t stop_at_us_ = INT64_MAX;
  std::int64_t stop_after_waits_ = INT64_MAX;
  bool pty_ = false;
  std::optional<int> timer_;
  bool usb_ = false;
  std::string target_;
  ManualClock clock_;
  settings::Settings settings_;
  std::vector<std::int16_t> events_;
  std::vector<std::int64_t> times_;  // when each event was raised
  std::vector<std::string> progress_;
  std::int64_t waits_ = 0;
  // The port last: it is closed first, while what its events go to still exists.
  serial::CommControl port_{[this](std::int16_t) { return target_; }, clock_};
};

// The value of figure `key`, which must be there.
template <typename T>
T FigureOf(const std::vector<Figure>& figures, const std::string& key) {
  for (const Figure& f : figures)
    if (f.key == key) return std::get<T>(f.value);
  ADD_FAILURE() << "no figure " << key;
  return T{};
}

inline bool HasFigure(const std::vector<Figure>& figures, const std::string& key) {
  return std::any_of(figures.begin(), figures.end(), [&](const Figure& f) { return f.key == key; });
}

}  // namespace serivane::run
