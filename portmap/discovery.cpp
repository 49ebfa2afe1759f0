// Serial device discovery from sysfs. Nothing here opens a device: opening a port can change its
// modem lines, and on many machines /dev/ttyS0 is the console.

#include <algorithm>
#include <cctype>
#include <set>
#include <system_error>

#include "portmap/portmap.h"
#include "serial/console_guard.h"

namespace serivane::portmap {

namespace fs = std::filesystem;

namespace {

// Port types of the kernel's serial core (PORT_* in serial_core.h) that people recognise.
std::string UartTypeName(int type) {
  static const char* const kNames[] = {
      "",       "8250",     "16450",  "16550",     "16550A", "Cirrus",   "16650",    "16650V2",
      "16750",  "Startech", "16C950", "16654",     "16850",  "RSA",      "NS16550A", "XScale",
      "RM9000", "OCTEON",   "AR7",    "U6 16550A", "Tegra",  "XR17D15x", "LPC3220",  "8250_CIR"};
  if (type > 0 && type < static_cast<int>(std::size(kNames))) return kNames[type];
  return "type " + std::to_string(type);
}

// Sorts "ttyUSB2" before "ttyUSB10": the letters, then the trailing number.
bool NaturalLess(const std::string& a, const std::string& b) {
  auto split = [](const std::string& s) {
    std::size_t i = s.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) --i;
    const std::string digits = s.substr(i);
    // Long digit runs compare by length first; no stoi, so nothing can overflow.
    return std::make_tuple(s.substr(0, i), digits.size(), digits);
  };
  return split(a) < split(b);
}

std::optional<int> UartIndex(const std::string& name) {
  if (name.size() < 5 || name.compare(0, 4, "ttyS") != 0 || name.size() > 8) return std::nullopt;
  int k = 0;
  for (std::size_t i = 4; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return std::nullopt;
    k = k * 10 + (name[i] - '0');
  }
  return k;
}

// What a person calls the device: the USB device's maker and product ("FTDI FT232R USB UART"),
// else the text of its interface, which some adapters give instead.
std::string UsbDescription(const TtyIdentity& id) {
  if (!id.usb || id.usb->product.empty()) return id.interface;
  const std::string& maker = id.usb->manufacturer;
  const std::string& product = id.usb->product;
  if (maker.empty() || product.rfind(maker, 0) == 0) return product;
  return maker + " " + product;
}

// A USB adapter by its vendor and product ids with the serial number, or with the port path
// ("1-1.2") when it has none. The ports of a multi-port adapter after its first add their
// interface number ("... if02"), so each is an adapter of its own; a one-port adapter and the
// first port keep the plain identity. Characters a registry value name cannot hold become '_'.
std::string AdapterIdentity(const TtyIdentity& id) {
  if (!id.usb) return {};
  const UsbDevice& usb = *id.usb;
  std::string text = "usb " + usb.vendor_id + ":" + usb.product_id +
                     (usb.serial.empty() ? " at " + usb.port_path : " serial " + usb.serial);
  if (!id.interface_number.empty() && id.interface_number != "00")
    text += " if" + id.interface_number;
  for (char& c : text)
    if (c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
  return text;
}

}  // namespace

Discovery DiscoverPorts(const SystemRoots& roots) {
  Discovery found;
  found.roots = roots;
  const fs::path class_tty = roots.sysfs / "class" / "tty";

  const std::vector<std::string> active = serial::ActiveConsoleNames(roots.sysfs.string());
  const std::set<std::string> consoles(active.begin(), active.end());

  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(class_tty, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code dev_ec;
    // Virtual terminals, pseudo-terminals and the console alias have no device behind them.
    if (fs::exists(it->path() / "device", dev_ec)) names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end(), NaturalLess);

  std::vector<FoundPort> others;
  for (const std::string& name : names) {
    const std::optional<TtyIdentity> id = ReadTtyIdentity(roots, name);
    // An 8250 driver registers ttyS0..ttyS<nr_uarts-1> whether or not a UART answers; the
    // ones without report type 0 (PORT_UNKNOWN) and cannot carry a byte.
    const int type = id ? id->uart_type.value_or(-1) : -1;
    if (type == 0) {
      found.left_out.push_back({name, "no UART"});
      continue;
    }
    if (consoles.count(name) != 0) {
      found.left_out.push_back({name, "the kernel's console"});
      continue;
    }

    FoundPort port;
    port.name = name;
    port.node = "/dev/" + name;
    const std::string by_id = ByIdLink(roots, name);
    port.device = by_id.empty() ? port.node : by_id;
    if (id) {
      port.description = UsbDescription(*id);
      port.adapter = AdapterIdentity(*id);
    }
    if (port.description.empty() && type > 0) port.description = UartTypeName(type) + " UART";
    port.uart = UartIndex(name);
    (port.uart ? found.ports : others).push_back(std::move(port));
  }
  // ttyS names already sort by number; the others follow them.
  for (auto& port : others) found.ports.push_back(std::move(port));
  return found;
}

const FoundPort* FindPort(const Discovery& found, std::string_view target) {
  for (const FoundPort& port : found.ports)
    if (target == port.device || target == port.node) return &port;
  // Another path to the same device, such as a by-id link the map recorded earlier or one a
  // person typed: follow it inside the dev root.
  constexpr std::string_view kDev = "/dev/";
  if (target.substr(0, kDev.size()) != kDev) return nullptr;
  std::error_code ec;
  const fs::path resolved =
      fs::weakly_canonical(found.roots.dev / fs::path(target.substr(kDev.size())), ec);
  if (ec) return nullptr;
  for (const FoundPort& port : found.ports) {
    std::error_code port_ec;
    if (fs::weakly_canonical(found.roots.dev / port.name, port_ec) == resolved && !port_ec)
      return &port;
  }
  return nullptr;
}

}  // namespace serivane::portmap
