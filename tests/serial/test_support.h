// Event recording and error capture for the serial tests.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "serial/comm_control.h"

namespace serivane::serial::testing {

// Records every code the control raises, in order.
struct EventLog {
  explicit EventLog(CommControl& control) {
    control.OnCommEvent = [this, &control] { codes.push_back(control.CommEvent()); };
  }
  long Count(std::int16_t code) const { return std::count(codes.begin(), codes.end(), code); }
  std::vector<std::int16_t> codes;
};

inline std::string AllCodes() {
  std::string block(256, '\0');
  for (int i = 0; i < 256; ++i) block[i] = static_cast<char>(i);
  return block;
}

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

}  // namespace serivane::serial::testing
