#include "serial/serial_error.h"

#include <cerrno>

#include "common/errno_text.h"

namespace serivane::serial {

namespace {

// Added to the system's reason when a device path names nothing.
constexpr const char* kNotPresent =
    " (the device is not present: connect it, or map the port to "
    "the device's path with serivane-ports)";

std::int32_t NumberFor(int err, SystemStep step) {
  switch (step) {
    case SystemStep::kFindDevice:
      return err == EACCES ? kErrHardwareNotAvailable : kErrInvalidPortNumber;
    case SystemStep::kOpenDevice:
      switch (err) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case ENOTDIR:
          return kErrInvalidPortNumber;
        case EBUSY:
          return kErrPortAlreadyOpen;
        default:
          return kErrHardwareNotAvailable;
      }
    case SystemStep::kSettings:
      break;
  }
  return kErrCommState;
}

// Whether `err` says the device node is not there. Following the path, only a missing name
// says so for sure; a node that is there but answers no device (ENXIO, ENODEV) is missing too
// once it is opened.
bool NotPresent(int err, SystemStep step) {
  if (step == SystemStep::kFindDevice) return err == ENOENT;
  return step == SystemStep::kOpenDevice && NumberFor(err, step) == kErrInvalidPortNumber;
}

}  // namespace

Refusal SystemRefusal(int err, SystemStep step) {
  return {NumberFor(err, step), ErrnoText(err) + (NotPresent(err, step) ? kNotPresent : "")};
}

}  // namespace serivane::serial
