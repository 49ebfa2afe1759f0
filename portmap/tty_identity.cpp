#include "portmap/tty_identity.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <system_error>
#include <vector>

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

// A small decimal attribute ("16", "4"); nullopt when it is anything else.
std::optional<int> ReadNumber(const fs::path& file) {
  const std::optional<std::string> text = ReadAttribute(file);
  if (!text || text->empty() || text->size() >= 6 ||
      !std::all_of(text->begin(), text->end(),
                   [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    return std::nullopt;
  return std::stoi(*text);
}

std::string Driver(const fs::path& device_dir) {
  std::error_code ec;
  fs::path driver = fs::canonical(device_dir / "driver", ec);
  // Since Linux 6.5 a UART's tty hangs below a serial-base port and controller device, whose
  // drivers ("port", "ctrl") say nothing; the hardware's driver is the one two levels up.
  if (!ec && driver.parent_path().parent_path().filename() == "serial-base")
    driver = fs::canonical(device_dir.parent_path().parent_path() / "driver", ec);
  return ec ? std::string() : driver.filename().string();
}

}  // namespace

std::optional<TtyIdentity> ReadTtyIdentity(const SystemRoots& roots, const std::string& name) {
  const fs::path entry = roots.sysfs / "class" / "tty" / name;
  std::error_code ec;
  const fs::path device_dir = fs::canonical(entry / "device", ec);
  if (ec) return std::nullopt;

  TtyIdentity id;
  id.driver = Driver(device_dir);
  id.uart_type = ReadNumber(entry / "type");
  id.latency_timer_ms = ReadNumber(device_dir / "latency_timer");

  // Up from the tty's device (a usb-serial port, or the interface itself for CDC ACM) to the USB
  // device, which has the ids; never past the sysfs devices root, nor more than a few levels.
  const fs::path devices = fs::weakly_canonical(roots.sysfs / "devices", ec);
  fs::path dir = device_dir;
  for (int level = 0; level < 5 && dir.has_relative_path(); ++level) {
    const auto [inside, end] =
        std::mismatch(devices.begin(), devices.end(), dir.begin(), dir.end());
    if (inside != devices.end() || dir == devices) break;
    if (id.interface.empty()) id.interface = ReadAttribute(dir / "interface").value_or("");
    if (id.interface_number.empty())
      id.interface_number = ReadAttribute(dir / "bInterfaceNumber").value_or("");
    if (const auto vendor = ReadAttribute(dir / "idVendor"); vendor && !vendor->empty()) {
      UsbDevice& usb = id.usb.emplace();
      usb.vendor_id = *vendor;
      usb.product_id = ReadAttribute(dir / "idProduct").value_or("");
      usb.serial = ReadAttribute(dir / "serial").value_or("");
      usb.manufacturer = ReadAttribute(dir / "manufacturer").value_or("");
      usb.product = ReadAttribute(dir / "product").value_or("");
      usb.port_path = dir.filename().string();
      break;
    }
    dir = dir.parent_path();
  }
  return id;
}

std::string ByIdLink(const SystemRoots& roots, const std::string& name) {
  // udev makes the links relative ("../../ttyUSB0").
  std::error_code ec;
  std::vector<std::string> links;
  for (fs::directory_iterator it(roots.dev / "serial" / "by-id", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code link_ec;
    const fs::path target = fs::read_symlink(it->path(), link_ec);
    if (!link_ec && target.filename() == name) links.push_back(it->path().filename().string());
  }
  if (links.empty()) return {};
  std::sort(links.begin(), links.end());
  return "/dev/serial/by-id/" + links.front();
}

}  // namespace serivane::portmap
