// How the serial layer says that something failed.
//
// At its public calls (CommControl, LineConfig::Parse, PlugFaults::Parse, DefaultResolve, the
// virtual plug's and the termios backend's open) a failure is a thrown CommError: a number that
// says what kind of failure it is (comm_control.h lists them) and a text that names the device
// and the reason, ready to be shown as it is.
//
// Inside the layer, a step that can refuse returns a Result: its value, or the Refusal that the
// public call above it throws as a CommError (adding what it was doing in front of the reason).
// A Result must be looked at ([[nodiscard]]). No empty string, empty optional or bare errno
// leaves a step to mean "it failed".
//
// The system's errno becomes an error number and a reason in one place only: SystemRefusal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "serial/comm_control.h"

namespace serivane::serial {

// Why a step refused: the error number the public call will throw, and the reason in words
// ("45056 baud: this port makes 38400 or 57600", "No such file or directory").
struct Refusal {
  std::int32_t number = 0;
  std::string reason;
};

// The value of a step with none to give.
struct Done {};

template <typename T = Done>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}              // NOLINT: a value is a success
  Result(Refusal refusal) : refusal_(std::move(refusal)) {}  // NOLINT: a refusal is a failure

  bool ok() const { return value_.has_value(); }
  // Only when ok().
  const T& value() const { return *value_; }
  // Only when !ok().
  const Refusal& refusal() const { return *refusal_; }

  // The value; or throws CommError with the refusal's number and `context` + its reason.
  T OrThrow(const std::string& context = {}) && {
    if (!value_) throw CommError(refusal_->number, context + refusal_->reason);
    return std::move(*value_);
  }

 private:
  std::optional<T> value_;
  std::optional<Refusal> refusal_;
};

// What was being done when the system said no; the same errno means different things then.
enum class SystemStep {
  kFindDevice,  // following the port's path to its device node (stat, realpath)
  kOpenDevice,  // opening the device node
  kSettings,    // giving the driver its line settings, or reading them back
};

// The one mapping from an errno to the layer's error numbers. The reason is the system's text
// for `err`; where the device is missing it goes on to say how to make it present.
//   kFindDevice  EACCES -> kErrHardwareNotAvailable; anything else -> kErrInvalidPortNumber
//   kOpenDevice  ENOENT, ENXIO, ENODEV, ENOTDIR -> kErrInvalidPortNumber; EBUSY ->
//                kErrPortAlreadyOpen; anything else (EACCES, EPERM, EIO) ->
//                kErrHardwareNotAvailable
//   kSettings    everything -> kErrCommState
[[nodiscard]] Refusal SystemRefusal(int err, SystemStep step);

}  // namespace serivane::serial
