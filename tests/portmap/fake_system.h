// A throw-away machine for the COM port map tests: a sysfs tree and a /dev folder laid out the
// way the kernel and udev lay them out, and a registry folder of its own (XDG_CONFIG_HOME points
// at it for the life of the object).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <unistd.h>

#include "serial/portmap/portmap.h"

namespace serivane::portmap::testing {

class FakeSystem {
 public:
  FakeSystem() {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "portmap_XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    fs::create_directories(Sys() / "class" / "tty");
    fs::create_directories(root_ / "dev");
    fs::create_directories(root_ / "config");
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) old_config_ = old;
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    // Every machine has virtual terminals and the console alias; none has a device behind it.
    for (const char* name : {"console", "tty", "tty0", "tty1", "ptmx"})
      fs::create_directories(Sys() / "devices" / "virtual" / "tty" / name);
    for (const char* name : {"console", "tty", "tty0", "tty1", "ptmx"})
      fs::create_directory_symlink(std::string("../../devices/virtual/tty/") + name,
                                   Sys() / "class" / "tty" / name);
    SetConsole("tty0");
  }
  ~FakeSystem() {
    if (old_config_)
      ::setenv("XDG_CONFIG_HOME", old_config_->c_str(), 1);
    else
      ::unsetenv("XDG_CONFIG_HOME");
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  FakeSystem(const FakeSystem&) = delete;
  FakeSystem& operator=(const FakeSystem&) = delete;

  SystemRoots Roots() const { return {Sys(), root_ / "dev"}; }
  std::filesystem::path ConfigFolder() const { return root_ / "config"; }

  // The names /sys/class/tty/console/active lists, e.g. "tty0 ttyS0".
  void SetConsole(const std::string& names) {
    Write(Sys() / "devices" / "virtual" / "tty" / "console" / "active", names);
  }

  // /dev/ttyS<k> of the 8250 driver; `type` 0 is a port without a UART behind it.
  void AddUart(int k, int type) {
    const std::string name = "ttyS" + std::to_string(k);
    const auto device = Sys() / "devices" / "platform" / "serial8250";
    AddTty(name, device, "devices/platform/serial8250");
    Write(device / "tty" / name / "type", std::to_string(type));
  }

  // A USB serial adapter: the USB device carries the maker and product; ttyUSB ports hang below
  // the interface, ttyACM ports are the interface. `by_id` names its /dev/serial/by-id link.
  void AddUsb(const std::string& name, const std::string& bus_port, const std::string& maker,
              const std::string& product, const std::string& by_id = {},
              const std::string& interface_text = {}) {
    const std::string usb = "devices/pci0000:00/0000:00:14.0/usb1/" + bus_port;
    const std::string intf = usb + "/" + bus_port + ":1.0";
    std::filesystem::create_directories(Sys() / intf);
    if (!maker.empty()) Write(Sys() / usb / "manufacturer", maker);
    if (!product.empty()) Write(Sys() / usb / "product", product);
    if (!interface_text.empty()) Write(Sys() / intf / "interface", interface_text);
    const bool acm = name.rfind("ttyACM", 0) == 0;
    const std::string device = acm ? intf : intf + "/" + name;
    AddTty(name, Sys() / device, device);
    if (!by_id.empty()) AddById(by_id, name);
  }

  void AddById(const std::string& link, const std::string& name) {
    std::filesystem::create_directories(root_ / "dev" / "serial" / "by-id");
    std::filesystem::create_symlink("../../" + name, root_ / "dev" / "serial" / "by-id" / link);
  }

  // The device goes away as an unplugged adapter does: its class entry, node and links.
  void Unplug(const std::string& name) {
    namespace fs = std::filesystem;
    fs::remove(Sys() / "class" / "tty" / name);
    fs::remove(root_ / "dev" / name);
    std::error_code ec;
    for (const auto& link : fs::directory_iterator(root_ / "dev" / "serial" / "by-id", ec))
      if (fs::read_symlink(link.path()).filename() == name) fs::remove(link.path());
  }

  static void Write(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  }

 private:
  std::filesystem::path Sys() const { return root_ / "sys"; }

  // The class entry is a link to <device>/tty/<name>, whose `device` link leads back up to the
  // device, as in sysfs; the node in /dev is a plain file (nothing here opens it).
  void AddTty(const std::string& name, const std::filesystem::path& device,
              const std::string& device_relative) {
    namespace fs = std::filesystem;
    const fs::path tty = device / "tty" / name;
    fs::create_directories(tty);
    fs::create_directory_symlink("../..", tty / "device");
    fs::create_directory_symlink("../../" + device_relative + "/tty/" + name,
                                 Sys() / "class" / "tty" / name);
    Write(root_ / "dev" / name, "");
  }

  std::filesystem::path root_;
  std::optional<std::string> old_config_;
};

}  // namespace serivane::portmap::testing
