#include "tools/run/identity.h"

#include <filesystem>
#include <system_error>

namespace serivane::run {

namespace fs = std::filesystem;

Identity ReadIdentity(const std::string& device, const portmap::SystemRoots& roots) {
  Identity id;
  constexpr std::string_view kDev = "/dev/";
  if (!device.starts_with(kDev)) return id;
  std::error_code ec;
  // A by-id link or another path leads to the device's node, whose name sysfs knows it by.
  const fs::path node = fs::weakly_canonical(roots.dev / device.substr(kDev.size()), ec);
  if (ec) return id;
  const std::string name = node.filename().string();

  id.by_id = portmap::ByIdLink(roots, name);
  const std::optional<portmap::TtyIdentity> tty = portmap::ReadTtyIdentity(roots, name);
  if (!tty) return id;
  id.driver = tty->driver;
  id.latency_timer_ms = tty->latency_timer_ms;
  if (tty->usb) {
    id.vendor_id = tty->usb->vendor_id;
    id.product_id = tty->usb->product_id;
    id.serial = tty->usb->serial;
    id.manufacturer = tty->usb->manufacturer;
    id.product = tty->usb->product;
  }
  return id;
}

std::vector<std::pair<const char*, std::string>> Identity::TextFields() const {
  const std::pair<const char*, const std::string*> all[] = {{"by_id", &by_id},
                                                            {"driver", &driver},
                                                            {"usb_vendor_id", &vendor_id},
                                                            {"usb_product_id", &product_id},
                                                            {"serial_number", &serial},
                                                            {"manufacturer", &manufacturer},
                                                            {"product", &product}};
  std::vector<std::pair<const char*, std::string>> fields;
  for (const auto& [key, value] : all)
    if (!value->empty()) fields.emplace_back(key, *value);
  return fields;
}

}  // namespace serivane::run
