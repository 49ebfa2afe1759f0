// What tests of the serial port control watch: the events it raises and the errors it throws.
// Shared by the control's own tests and the checks on a real UART.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

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

}  // namespace serivane::serial
