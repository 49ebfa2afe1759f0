// What sysfs and udev tell about the device behind a port, for the report: the port map part's
// reading of sysfs (portmap/tty_identity.h) in the report's terms. Read from the file system
// only; the device is never opened here.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "portmap/tty_identity.h"

namespace serivane::run {

// Each field is empty where the system has nothing to say (a pseudo-terminal, the virtual plug).
struct Identity {
  std::string by_id;         // the /dev/serial/by-id/ link that leads to the device
  std::string driver;        // "ftdi_sio", "serial8250"
  std::string vendor_id;     // USB idVendor, four hex digits
  std::string product_id;    // USB idProduct
  std::string serial;        // USB serial number
  std::string manufacturer;  // USB manufacturer text
  std::string product;       // USB product text
  // How long the adapter holds received bytes before it sends a short USB packet (FTDI's
  // latency_timer; 16 ms by default): single-byte traffic waits that long for each echo.
  std::optional<int> latency_timer_ms;
  bool operator==(const Identity&) const = default;

  // The text fields that are not empty, by the names the reports give them ("by_id",
  // "driver", "usb_vendor_id", ...), in that order; the latency timer is not among them.
  std::vector<std::pair<const char*, std::string>> TextFields() const;
};

// `device` is a path below /dev ("/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI..."), which is
// looked up below roots.dev; sysfs is read below roots.sysfs.
Identity ReadIdentity(const std::string& device, const portmap::SystemRoots& roots = {});

}  // namespace serivane::run
