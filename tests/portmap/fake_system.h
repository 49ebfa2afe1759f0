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

namespace fs = std::filesystem;

class FakeSystem {
 public:
  FakeSystem() {
    std::string pattern = (fs::temp_directory_path() / "portmap_XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) old_config_ = old;
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    // The console alias has no device behind it, as the virtual terminals do.
    SetConsole("tty0");
  }
  ~FakeSystem() {
    if (old_config_)
      ::setenv("XDG_CONFIG_HOME", old_config_->c_str(), 1);
    else
      ::unsetenv("XDG_CONFIG_HOME");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  FakeSystem(const FakeSystem&) = delete;
  FakeSystem& operator=(const FakeSystem&) = delete;

  SystemRoots Roots() const { return {root_ / "sys", root_ / "dev"}; }
  fs::path Hive() const { return root_ / "config/serivane/registry/HKEY_LOCAL_MACHINE.reg"; }

  // The names /sys/class/tty/console/active lists, e.g. "tty0 ttyS0".
  void SetConsole(const std::string& names) {
    Write(root_ / "sys/class/tty/console/active", names);
  }

  // /dev/ttyS<k> of the 8250 driver; `type` 0 is a port without a UART behind it.
  void AddUart(int k, int type) {
    const std::string name = "ttyS" + std::to_string(k);
    AddTty(name, "devices/platform/serial8250");
    Write(root_ / "sys/devices/platform/serial8250/tty" / name / "type", std::to_string(type));
  }

  // A USB serial adapter: the USB device carries the maker and product; ttyUSB ports hang below
  // the interface, ttyACM ports are the interface. `by_id` names its /dev/serial/by-id link.
  void AddUsb(const std::string& name, const std::string& maker, const std::string& product,
              const std::string& by_id = {}, const std::string& interface_text = {}) {
    const std::string usb = "devices/pci0000:00/usb1/1-" + name, intf = usb + "/1-" + name + ":1.0";
    if (!maker.empty()) Write(root_ / "sys" / usb / "manufacturer", maker);
    if (!product.empty()) Write(root_ / "sys" / usb / "product", product);
    if (!interface_text.empty()) Write(root_ / "sys" / intf / "interface", interface_text);
    AddTty(name, name.rfind("ttyACM", 0) == 0 ? intf : intf + "/" + name);
    if (by_id.empty()) return;
    fs::create_directories(root_ / "dev/serial/by-id");
    fs::create_symlink("../../" + name, root_ / "dev/serial/by-id" / by_id);
  }

  // The device goes away as an unplugged adapter does: its class entry, node and links.
  void Unplug(const std::string& name) {
    fs::remove(root_ / "sys/class/tty" / name);
    fs::remove(root_ / "dev" / name);
    std::error_code ec;
    for (const auto& link : fs::directory_iterator(root_ / "dev/serial/by-id", ec))
      if (fs::read_symlink(link.path()).filename() == name) fs::remove(link.path());
  }

  static void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  }

 private:
  // The class entry links to <device>/tty/<name>, whose `device` link leads back up to the
  // device, as in sysfs; the node in /dev is a plain file (nothing here opens it).
  void AddTty(const std::string& name, const std::string& device) {
    const fs::path tty = root_ / "sys" / device / "tty" / name;
    fs::create_directories(tty);
    fs::create_directory_symlink("../..", tty / "device");
    fs::create_directory_symlink("../../" + device + "/tty/" + name,
                                 root_ / "sys/class/tty" / name);
    Write(root_ / "dev" / name, "");
  }

  fs::path root_;
  std::optional<std::string> old_config_;
};

inline const std::string kFtdi = "/dev/serial/by-id/usb-FTDI-if00";

// A desktop with a console on ttyS0, a port the 8250 driver registers without a UART, real
// UARTs on ttyS2 and ttyS10, an FTDI adapter with a by-id link, a CP2102 without one (its
// product already names the maker) and a modem that only names its interface.
inline void BuildDesktop(FakeSystem& sys) {
  sys.SetConsole("tty0 ttyS0");
  for (int k : {0, 2, 10}) sys.AddUart(k, 4);
  sys.AddUart(1, 0);
  sys.AddUsb("ttyUSB2", "FTDI", "FT232R USB UART", "usb-FTDI-if00");
  sys.AddUsb("ttyUSB10", "Silicon Labs", "Silicon Labs CP2102 USB to UART Bridge");
  sys.AddUsb("ttyACM0", "", "", {}, "CDC Abstract Control Model (ACM)");
}

// The map the desktop gets at its first start: UARTs at home, the others in the free numbers.
inline const std::string kDesktopMap =
    "1=/dev/ttyACM0 2=" + kFtdi + " 3=/dev/ttyS2 4=/dev/ttyUSB10 11=/dev/ttyS10 ";

// The whole map as "n=value " for each number with an entry.
inline std::string MapText() {
  std::string text;
  for (std::int16_t n = kFirstPort; n <= kLastPort; ++n)
    if (auto entry = MapEntry(n)) text += std::to_string(n) + "=" + *entry + " ";
  return text;
}

}  // namespace serivane::portmap::testing
