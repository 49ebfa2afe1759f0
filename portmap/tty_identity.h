// What sysfs tells about the device behind a terminal: its driver, the USB adapter it belongs
// to, the serial core's port type. The one place that walks sysfs for it; port discovery and
// serivane-run's report both read it here. The file system only: no device is opened.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace serivane::portmap {

// Where sysfs and /dev are. Paths recorded in the map always start with "/dev/"; `dev` is where
// that folder really is, so tests can point both roots at a tree of their own.
struct SystemRoots {
  std::filesystem::path sysfs = "/sys";
  std::filesystem::path dev = "/dev";
};

// The USB device a terminal hangs below (the folder with idVendor, a few levels above the
// terminal's own device). A text is empty where the device's descriptors have none.
struct UsbDevice {
  std::string vendor_id;     // four hex digits: "0403"
  std::string product_id;    // "6001"
  std::string serial;        // "A6008isP"
  std::string manufacturer;  // "FTDI"
  std::string product;       // "FT232R USB UART"
  std::string port_path;     // the USB port it is plugged into: "1-1.2"
};

struct TtyIdentity {
  // The hardware's driver: "serial8250", "ftdi_sio", "cdc_acm"; empty when sysfs names none.
  std::string driver;
  // The serial core's port type (4 for a 16550A, 0 for a slot without a UART); nullopt for
  // terminals of other drivers.
  std::optional<int> uart_type;
  std::string interface;  // the USB interface's own text, where the adapter gives one
  // The USB interface's number ("00"; "02" for the third port of an FT4232H); empty when the
  // tty is not on a USB interface.
  std::string interface_number;
  std::optional<UsbDevice> usb;
  // How long a USB adapter holds received bytes before it sends a short packet (FTDI's
  // latency_timer, on the port's own device).
  std::optional<int> latency_timer_ms;
};

// The device behind /sys/class/tty/<name>; nullopt when there is none (a virtual terminal, a
// pseudo-terminal, the console alias) or it cannot be read.
std::optional<TtyIdentity> ReadTtyIdentity(const SystemRoots& roots, const std::string& name);

// The /dev/serial/by-id/ link that leads to /dev/<name> (the first by name when several do);
// empty when none does.
std::string ByIdLink(const SystemRoots& roots, const std::string& name);

}  // namespace serivane::portmap
