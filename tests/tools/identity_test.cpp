// The adapter identity and port discovery read against sysfs trees recorded from real machines:
// the files and symlinks each test writes are the ones the kernel and udev make for that
// hardware, cut down to what matters, with the neighbours that could be mistaken for them (the
// hub above an adapter, the root hub, a second port of the same controller) left in.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "portmap/portmap.h"
#include "tools/run/identity.h"

namespace serivane::run {
namespace {

namespace fs = std::filesystem;

// A machine's /sys and /dev in a temporary folder. Paths are given relative to /sys; links are
// written relative, as the kernel writes them.
class Machine {
 public:
  Machine() {
    std::string pattern = (fs::temp_directory_path() / "serivane-sysfs-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    fs::create_directories(root_ / "dev");
    Attr("class/tty/console/active", "tty0");
  }
  ~Machine() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  portmap::SystemRoots Roots() const { return {root_ / "sys", root_ / "dev"}; }

  // An attribute file; none for an empty text.
  void Attr(const std::string& file, const std::string& text) {
    if (text.empty()) return;
    fs::create_directories((Sys() / file).parent_path());
    std::ofstream(Sys() / file) << text << "\n";
  }
  // `from` becomes a link to `to`, both below /sys; a second call for one link changes nothing.
  void Link(const std::string& from, const std::string& to) {
    if (fs::is_symlink(Sys() / from)) return;
    fs::create_directories((Sys() / from).parent_path());
    fs::create_directories(Sys() / to);
    fs::create_directory_symlink((Sys() / to).lexically_relative((Sys() / from).parent_path()),
                                 Sys() / from);
  }
  void Driver(const std::string& device, const std::string& bus, const std::string& driver) {
    Link(device + "/driver", "bus/" + bus + "/drivers/" + driver);
    Link(device + "/subsystem", "bus/" + bus);
  }
  // The tty class device below `device`, its class entry and its /dev node; `type` is the serial
  // core's port type (4 for a 16550A, 0 for no UART), left out for ttys of other drivers.
  void Tty(const std::string& device, const std::string& name, std::optional<int> type = {}) {
    const std::string tty = device + "/tty/" + name;
    fs::create_directories(Sys() / tty);
    Link(tty + "/device", device);
    Link("class/tty/" + name, tty);
    if (type) Attr(tty + "/type", std::to_string(*type));
    std::ofstream(root_ / "dev" / name).put('\n');
  }
  void ById(const std::string& link, const std::string& name) {
    fs::create_directories(root_ / "dev/serial/by-id");
    fs::create_symlink("../../" + name, root_ / "dev/serial/by-id" / link);
  }
  // A USB device with its descriptors' ids and strings; an empty text is a string it lacks.
  void Usb(const std::string& device, const std::string& vendor, const std::string& product_id,
           const std::string& maker, const std::string& product, const std::string& serial) {
    const std::string files[] = {"idVendor", "idProduct", "manufacturer", "product", "serial"};
    const std::string texts[] = {vendor, product_id, maker, product, serial};
    for (int i = 0; i < 5; ++i) Attr(device + "/" + files[i], texts[i]);
    Driver(device, "usb", "usb");
  }

 private:
  fs::path Sys() const { return root_ / "sys"; }
  fs::path root_;
};

constexpr char kXhci[] = "devices/pci0000:00/0000:00:14.0";

// The root hub and a 4-port hub in its first port, each with ids of its own.
void Hubs(Machine& m) {
  m.Usb(std::string(kXhci) + "/usb1", "1d6b", "0002", "Linux 6.1.0 xhci-hcd",
        "xHCI Host Controller", "0000:00:14.0");
  m.Usb(std::string(kXhci) + "/usb1/1-1", "05e3", "0610", "GenesysLogic", "USB2.1 Hub", "");
}

// A PC before serial-base: COM1 at 00:04 found by PnP and left to the `serial` driver, COM2
// and two empty slots of the legacy platform device.
void PcUart(Machine& m) {
  m.Driver("devices/pnp0/00:04", "pnp", "serial");
  m.Tty("devices/pnp0/00:04", "ttyS0", 4);
  m.Driver("devices/platform/serial8250", "platform", "serial8250");
  m.Tty("devices/platform/serial8250", "ttyS1", 4);
  m.Tty("devices/platform/serial8250", "ttyS2", 0);
  m.Tty("devices/platform/serial8250", "ttyS3", 0);
}

// The same PC on a kernel with serial-base (6.5 and later): each UART's tty hangs below a port
// device, below a controller device, below the hardware.
void PcUartSerialBase(Machine& m) {
  const auto port = [&m](const std::string& hardware, const std::string& ctrl, int line, int type) {
    const std::string port_dir = hardware + "/" + ctrl + "/" + ctrl + "." + std::to_string(line);
    m.Driver(hardware + "/" + ctrl, "serial-base", "ctrl");
    m.Driver(port_dir, "serial-base", "port");
    m.Tty(port_dir, "ttyS" + std::to_string(line), type);
  };
  m.Driver("devices/pnp0/00:04", "pnp", "serial");
  port("devices/pnp0/00:04", "00:04:0", 0, 4);
  m.Driver("devices/platform/serial8250", "platform", "serial8250");
  for (int line : {1, 2, 3})
    port("devices/platform/serial8250", "serial8250:0", line, line == 1 ? 4 : 0);
}

// An FT232R behind the hub: the tty's device is the usb-serial port below the interface, and
// the USB device with the ids is two levels above it.
void Ftdi(Machine& m) {
  Hubs(m);
  const std::string usb = std::string(kXhci) + "/usb1/1-1/1-1.2";
  m.Usb(usb, "0403", "6001", "FTDI", "FT232R USB UART", "A6008isP");
  m.Driver(usb + "/1-1.2:1.0", "usb", "ftdi_sio");
  m.Attr(usb + "/1-1.2:1.0/interface", "FT232R USB UART");
  m.Driver(usb + "/1-1.2:1.0/ttyUSB0", "usb-serial", "ftdi_sio");
  m.Attr(usb + "/1-1.2:1.0/ttyUSB0/latency_timer", "16");
  m.Tty(usb + "/1-1.2:1.0/ttyUSB0", "ttyUSB0");
  m.ById("usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0", "ttyUSB0");
}

// A CDC-ACM board in a root port: the tty's device is the interface itself, the USB device one
// level up. Its data interface has no tty.
void CdcAcm(Machine& m) {
  Hubs(m);
  const std::string usb = std::string(kXhci) + "/usb1/1-2";
  m.Usb(usb, "2e8a", "000a", "Raspberry Pi", "Pico", "E660583883265027");
  m.Driver(usb + "/1-2:1.0", "usb", "cdc_acm");
  m.Driver(usb + "/1-2:1.1", "usb", "cdc_acm");
  m.Tty(usb + "/1-2:1.0", "ttyACM0");
  m.ById("usb-Raspberry_Pi_Pico_E660583883265027-if00", "ttyACM0");
}

// An FT4232H behind the hub: one USB device, four interfaces each with a usb-serial port, and
// udev's by-id links telling the ports apart by interface.
void Ft4232h(Machine& m) {
  Hubs(m);
  const std::string usb = std::string(kXhci) + "/usb1/1-1/1-1.4";
  m.Usb(usb, "0403", "6011", "FTDI", "Quad RS232-HS", "FT5ZQ2VA");
  for (int i = 0; i < 4; ++i) {
    const std::string n = std::to_string(i), intf = usb + "/1-1.4:1." + n, tty = "ttyUSB" + n;
    m.Driver(intf, "usb", "ftdi_sio");
    m.Attr(intf + "/bInterfaceNumber", "0" + n);
    m.Attr(intf + "/interface", "Quad RS232-HS");
    m.Driver(intf + "/" + tty, "usb-serial", "ftdi_sio");
    m.Attr(intf + "/" + tty + "/latency_timer", i == 2 ? "1" : "16");
    m.Tty(intf + "/" + tty, tty);
    m.ById("usb-FTDI_Quad_RS232-HS_FT5ZQ2VA-if0" + n + "-port0", tty);
  }
}

// One found port as "name device uart=k 'description' adapter", or "name left out: reason".
std::vector<std::string> Found(const portmap::Discovery& found) {
  std::vector<std::string> lines;
  for (const portmap::FoundPort& p : found.ports)
    lines.push_back(p.name + " " + p.device + " uart=" + (p.uart ? std::to_string(*p.uart) : "-") +
                    " '" + p.description + "' " + p.adapter);
  for (const portmap::LeftOutPort& p : found.left_out)
    lines.push_back(p.name + " left out: " + p.reason);
  return lines;
}

// An identity in one line: by-id link, driver, USB ids, serial, maker, product, latency timer.
std::string Text(const Identity& id) {
  const std::string timer = id.latency_timer_ms ? std::to_string(*id.latency_timer_ms) : "-";
  return id.by_id + "|" + id.driver + "|" + id.vendor_id + ":" + id.product_id + "|" + id.serial +
         "|" + id.manufacturer + "|" + id.product + "|" + timer;
}

constexpr char kById[] = "/dev/serial/by-id/";

TEST(IdentityFromSysfs, RecordedLayoutsGiveTheirDriverIdsAndPorts) {
  const std::vector<std::string> uarts = {"ttyS0 /dev/ttyS0 uart=0 '16550A UART' ",
                                          "ttyS1 /dev/ttyS1 uart=1 '16550A UART' ",
                                          "ttyS2 left out: no UART", "ttyS3 left out: no UART"};
  const std::string ftdi = "usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0";
  const std::string ftdi_id = kById + ftdi + "|ftdi_sio|0403:6001|A6008isP|FTDI|FT232R USB UART|16";
  const std::string quad = std::string(kById) + "usb-FTDI_Quad_RS232-HS_FT5ZQ2VA-if0";
  const std::vector<std::pair<std::string, std::string>> pc = {{"/dev/ttyS1", "|serial8250|:||||-"},
                                                               {"/dev/ttyS0", "|serial|:||||-"}};
  const std::string quad_found = " uart=- 'FTDI Quad RS232-HS' usb 0403:6011 serial FT5ZQ2VA";
  const struct {
    const char* name;
    std::function<void(Machine&)> build;
    std::vector<std::pair<std::string, std::string>> identities;  // device given, identity
    std::vector<std::string> found;
  } layouts[] = {
      {"PC UART", PcUart, pc, uarts},
      {"PC UART below serial-base", PcUartSerialBase, pc, uarts},
      {"FTDI",
       Ftdi,
       {{"/dev/ttyUSB0", ftdi_id}, {kById + ftdi, ftdi_id}},
       {std::string("ttyUSB0 ") + kById + ftdi +
        " uart=- 'FTDI FT232R USB UART' usb 0403:6001 serial A6008isP"}},
      {"CDC-ACM",
       CdcAcm,
       {{"/dev/ttyACM0", std::string(kById) +
                             "usb-Raspberry_Pi_Pico_E660583883265027-if00|cdc_acm|2e8a:000a|"
                             "E660583883265027|Raspberry Pi|Pico|-"}},
       {std::string("ttyACM0 ") + kById +
        "usb-Raspberry_Pi_Pico_E660583883265027-if00 uart=- 'Raspberry Pi Pico' usb 2e8a:000a "
        "serial E660583883265027"}},
      {"FT4232H",
       Ft4232h,
       {{quad + "2-port0", quad + "2-port0|ftdi_sio|0403:6011|FT5ZQ2VA|FTDI|Quad RS232-HS|1"}},
       {"ttyUSB0 " + quad + "0-port0" + quad_found,
        "ttyUSB1 " + quad + "1-port0" + quad_found + " if01",
        "ttyUSB2 " + quad + "2-port0" + quad_found + " if02",
        "ttyUSB3 " + quad + "3-port0" + quad_found + " if03"}},
  };
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.name);
    Machine machine;
    layout.build(machine);
    for (const auto& [device, identity] : layout.identities)
      EXPECT_EQ(Text(ReadIdentity(device, machine.Roots())), identity) << device;
    EXPECT_EQ(Found(portmap::DiscoverPorts(machine.Roots())), layout.found);
  }
}

// Two adapters of one model side by side, one without a serial number: each keeps the ids of its
// own USB device, and the one without a serial is told apart by its USB port.
TEST(IdentityFromSysfs, TwinAdaptersAreToldApartByTheirOwnUsbDevice) {
  Machine m;
  Hubs(m);
  for (const auto& [port, serial, tty] :
       {std::tuple<std::string, std::string, std::string>{"1-1.2", "A6008isP", "ttyUSB0"},
        {"1-1.3", "", "ttyUSB1"}}) {
    const std::string usb = std::string(kXhci) + "/usb1/1-1/" + port;
    m.Usb(usb, "0403", "6001", "FTDI", "FT232R USB UART", serial);
    m.Driver(usb + "/" + port + ":1.0/" + tty, "usb-serial", "ftdi_sio");
    m.Tty(usb + "/" + port + ":1.0/" + tty, tty);
  }
  EXPECT_EQ(ReadIdentity("/dev/ttyUSB0", m.Roots()).serial, "A6008isP");
  EXPECT_EQ(Text(ReadIdentity("/dev/ttyUSB1", m.Roots())),
            "|ftdi_sio|0403:6001||FTDI|FT232R USB UART|-");
  EXPECT_EQ(Found(portmap::DiscoverPorts(m.Roots())),
            (std::vector<std::string>{
                "ttyUSB0 /dev/ttyUSB0 uart=- 'FTDI FT232R USB UART' usb 0403:6001 serial A6008isP",
                "ttyUSB1 /dev/ttyUSB1 uart=- 'FTDI FT232R USB UART' usb 0403:6001 at 1-1.3"}));
}

}  // namespace
}  // namespace serivane::run
