// What tests of the serial port control watch: the events it raises and the errors it throws,
// and the virtual plug on a clock of the test's. Shared by the control's own tests and the
// checks on a real UART.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "serial/comm_control.h"

namespace serivane::serial {

using Codes = std::vector<std::int16_t>;

// Records every code the control raises, in order.
struct EventLog {
  explicit EventLog(CommControl& control) {
    control.OnCommEvent = [this, &control] { codes.push_back(control.CommEvent()); };
  }
  long Count(std::int16_t code) const { return std::count(codes.begin(), codes.end(), code); }
  Codes codes;
};

// The number of the CommError that `op` throws, 0 when it throws none; its text into `what`.
template <typename Op>
std::int32_t ErrorOf(Op&& op, std::string* what = nullptr) {
  try {
    op();
  } catch (const CommError& e) {
    if (what != nullptr) *what = e.what();
    return e.number();
  }
  return 0;
}

// A control on the virtual plug `target` ("loopback?drop=3"), on a clock the test moves.
struct Plug {
  explicit Plug(std::string t = "loopback") : target(std::move(t)) {}
  // Lets `us` of the clock pass and services the control once.
  void Run(std::int64_t us) {
    clock.AdvanceMicros(us);
    control.Service();
  }
  std::string target;
  ManualClock clock;
  CommControl control{[this](std::int16_t) { return target; }, clock};
  EventLog log{control};
};

}  // namespace serivane::serial
