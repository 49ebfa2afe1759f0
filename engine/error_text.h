// What the engine tells the operator about an exception it caught. Internal to the engine.
#pragma once

#include <cstdint>
#include <string>

namespace serivane::engine {

struct ErrorInfo {
  std::int32_t number = 0;  // the control's error number; 0 for anything but a CommError
  std::string description;
};

// The exception being handled. Call only inside a catch block.
ErrorInfo CurrentError();

}  // namespace serivane::engine
