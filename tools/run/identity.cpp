#include "tools/run/identity.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace serivane::run {

namespace fs = std::filesystem;

namespace {

std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

}  // namespace

Identity ReadIdentity(const std::string& device, const portmap::SystemRoots& roots) {
  Identity id;
  constexpr std::string_view kDev = "/dev/";
  if (!device.starts_with(kDev)) return id;
  std::error_code ec;
  const fs::path node = fs::weakly_canonical(roots.dev / device.substr(kDev.size()), ec);
  if (ec) return id;
  const std::string name = node.filename().string();

  // udev makes the by-id links relative ("../../ttyUSB0"); several may lead to one device.
  std::vector<std::string> links;
  for (fs::directory_iterator it(roots.dev / "serial" / "by-id", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code link_ec;
    if (fs::weakly_canonical(it->path(), link_ec) == node && !link_ec)
      links.push_back(it->path().filename().string());
  }
  std::sort(links.begin(), links.end());
  if (!links.empty()) id.by_id = "/dev/serial/by-id/" + links.front();

  const fs::path device_dir = fs::canonical(roots.sysfs / "class" / "tty" / name / "device", ec);
  if (ec) return id;
  fs::path driver = fs::canonical(device_dir / "driver", ec);
  // Since Linux 6.5 a UART's tty hangs below a serial-base port and controller device, whose
  // drivers ("port", "ctrl") say nothing; the hardware's driver is the one two levels up.
  if (!ec && driver.parent_path().parent_path().filename() == "serial-base")
    driver = fs::canonical(device_dir.parent_path().parent_path() / "driver", ec);
  if (!ec) id.driver = driver.filename().string();
  // The driver puts it on the port's own device, below the USB interface.
  if (const std::string latency = Attribute(device_dir / "latency_timer");
      !latency.empty() && latency.size() < 6 &&
      std::all_of(latency.begin(), latency.end(),
                  [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    id.latency_timer_ms = std::stoi(latency);

  // The USB device sits a few levels above the tty's interface; stop at the sysfs devices root.
  const fs::path devices = fs::weakly_canonical(roots.sysfs / "devices", ec);
  fs::path dir = device_dir;
  for (int level = 0; level < 5 && dir.has_relative_path(); ++level) {
    const auto [inside, end] =
        std::mismatch(devices.begin(), devices.end(), dir.begin(), dir.end());
    if (inside != devices.end() || dir == devices) break;
    if (fs::exists(dir / "idVendor", ec)) {
      id.vendor_id = Attribute(dir / "idVendor");
      id.product_id = Attribute(dir / "idProduct");
      id.serial = Attribute(dir / "serial");
      id.manufacturer = Attribute(dir / "manufacturer");
      id.product = Attribute(dir / "product");
      break;
    }
    dir = dir.parent_path();
  }
  return id;
}

}  // namespace serivane::run
