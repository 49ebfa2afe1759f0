// Serial device discovery from sysfs. Nothing here opens a device: opening a port can change its
// modem lines, and on many machines /dev/ttyS0 is the console.

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <system_error>

#include "serial/console_guard.h"
#include "serial/portmap/portmap.h"

namespace serivane::portmap {

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, without the trailing newline; nullopt when unreadable.
std::optional<std::string> ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

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

// USB serial devices: the USB device (a few levels above the tty's device) has `manufacturer`
// and `product`; some adapters only name the interface (`interface`).
std::string UsbDescription(const fs::path& sysfs, const fs::path& device_dir) {
  std::error_code ec;
  const fs::path devices = fs::weakly_canonical(sysfs / "devices", ec);
  fs::path dir = device_dir;
  std::string interface_text;
  for (int level = 0; level < 5 && !dir.empty(); ++level) {
    const auto [inside, end] =
        std::mismatch(devices.begin(), devices.end(), dir.begin(), dir.end());
    if (inside != devices.end() || dir == devices) break;
    if (interface_text.empty()) {
      if (auto text = ReadAttribute(dir / "interface")) interface_text = *text;
    }
    if (auto product = ReadAttribute(dir / "product"); product && !product->empty()) {
      const std::string maker = ReadAttribute(dir / "manufacturer").value_or("");
      if (maker.empty() || product->rfind(maker, 0) == 0) return *product;
      return maker + " " + *product;
    }
    dir = dir.parent_path();
  }
  return interface_text;
}

// The USB device above the tty's device (the folder with idVendor): vendor and product ids with
// the serial number, or with the port path (the folder's name, "1-1.2") when there is none.
// Characters a registry value name cannot hold become '_'.
std::string AdapterIdentity(const fs::path& sysfs, const fs::path& device_dir) {
  std::error_code ec;
  const fs::path devices = fs::weakly_canonical(sysfs / "devices", ec);
  fs::path dir = device_dir;
  for (int level = 0; level < 5 && !dir.empty(); ++level) {
    const auto [inside, end] =
        std::mismatch(devices.begin(), devices.end(), dir.begin(), dir.end());
    if (inside != devices.end() || dir == devices) break;
    const std::optional<std::string> vendor = ReadAttribute(dir / "idVendor");
    const std::optional<std::string> product = ReadAttribute(dir / "idProduct");
    if (vendor && product && !vendor->empty()) {
      const std::string serial = ReadAttribute(dir / "serial").value_or("");
      std::string id = "usb " + *vendor + ":" + *product +
                       (serial.empty() ? " at " + dir.filename().string() : " serial " + serial);
      for (char& c : id)
        if (c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
      return id;
    }
    dir = dir.parent_path();
  }
  return {};
}

// The /dev/serial/by-id/ link that leads to `name`; udev makes them relative ("../../ttyUSB0").
std::string ByIdPath(const fs::path& dev, const std::string& name) {
  std::error_code ec;
  std::vector<std::string> links;
  for (fs::directory_iterator it(dev / "serial" / "by-id", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code link_ec;
    const fs::path target = fs::read_symlink(it->path(), link_ec);
    if (!link_ec && target.filename() == name) links.push_back(it->path().filename().string());
  }
  if (links.empty()) return {};
  std::sort(links.begin(), links.end());
  return "/dev/serial/by-id/" + links.front();
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
    const fs::path entry = class_tty / name;
    // An 8250 driver registers ttyS0..ttyS<nr_uarts-1> whether or not a UART answers; the
    // ones without report type 0 (PORT_UNKNOWN) and cannot carry a byte.
    const std::optional<std::string> type_text = ReadAttribute(entry / "type");
    int type = -1;
    if (type_text && !type_text->empty() &&
        std::all_of(type_text->begin(), type_text->end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) &&
        type_text->size() < 6) {
      type = std::stoi(*type_text);
    }
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
    const std::string by_id = ByIdPath(roots.dev, name);
    port.device = by_id.empty() ? port.node : by_id;
    std::error_code canon_ec;
    const fs::path device_dir = fs::canonical(entry / "device", canon_ec);
    if (!canon_ec) {
      port.description = UsbDescription(roots.sysfs, device_dir);
      port.adapter = AdapterIdentity(roots.sysfs, device_dir);
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
