#include "portmap/portmap.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "serial/comm_control.h"
#include "settings/cregistry.h"
#include "tests/settings/temp_registry.h"
#include "tools/ports/ports_command.h"

namespace serivane::portmap {
namespace {

namespace fs = std::filesystem;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The whole map as "n=value " for each number with an entry.
std::string MapText() {
  std::string text;
  for (std::int16_t n = kFirstPort; n <= kLastPort; ++n)
    if (auto entry = MapEntry(n)) text += std::to_string(n) + "=" + *entry + " ";
  return text;
}

// The CommError number ResolvePort throws for n; 0 when it resolves.
std::int32_t ResolveError(std::int16_t n) try {
  ResolvePort(n);
  return 0;
} catch (const serial::CommError& e) {
  return e.number();
}

// A throw-away machine: a sysfs tree and a /dev folder laid out the way the kernel and udev lay
// them out (nothing opens the nodes), beside a registry of its own.
class PortMapTest : public ::testing::Test {
 protected:
  PortMapTest() { SetConsole("tty0"); }  // the console alias has no device behind it

  SystemRoots Roots() const { return {root_ / "sys", root_ / "dev"}; }
  EnsureResult Ensure() const { return EnsurePortMap(Roots()); }

  // serivane-ports with `args`: its exit status, output and error output.
  std::tuple<int, std::string, std::string> Ports(const std::vector<std::string>& args) const {
    std::ostringstream out, err;
    const int status = RunPortsCommand(args, out, err, Roots());
    return {status, out.str(), err.str()};
  }

  void SetConsole(const std::string& names) {
    Write(root_ / "sys/class/tty/console/active", names);
  }

  // /dev/ttyS<k> of the 8250 driver; `type` 0 is a port without a UART behind it.
  void AddUart(int k, int type) {
    const std::string name = "ttyS" + std::to_string(k);
    AddTty(name, "devices/platform/serial8250");
    Write(root_ / "sys/devices/platform/serial8250/tty" / name / "type", std::to_string(type));
  }

  // The USB device carries the ids, maker and product; ttyUSB ports hang below the interface,
  // ttyACM ports are the interface. `by_id` names its /dev/serial/by-id link.
  void AddUsb(const std::string& name, const std::string& maker, const std::string& product,
              const std::string& by_id = {}, const std::string& interface_text = {}) {
    const std::string usb = UsbDevice("1-" + name, maker, product, ""),
                      intf = usb + "/1-" + name + ":1.0";
    if (!interface_text.empty()) Write(root_ / "sys" / intf / "interface", interface_text);
    AddTty(name, name.rfind("ttyACM", 0) == 0 ? intf : intf + "/" + name);
    if (by_id.empty()) return;
    fs::create_directories(root_ / "dev/serial/by-id");
    fs::create_symlink("../../" + name, root_ / "dev/serial/by-id" / by_id);
  }

  // Gone as an unplugged adapter goes: its class entry, node and by-id link.
  void Unplug(const std::string& name, const std::string& by_id = {}) {
    fs::remove(root_ / "sys/class/tty" / name);
    fs::remove(root_ / "dev" / name);
    if (!by_id.empty()) fs::remove(root_ / "dev/serial/by-id" / by_id);
  }

  // A console on ttyS0, a port the 8250 driver registers without a UART, real UARTs on ttyS2
  // and ttyS10, an FTDI adapter with a by-id link, a CP2102 without one (its product already
  // names the maker) and a modem that only names its interface.
  void BuildDesktop() {
    SetConsole("tty0 ttyS0");
    for (int k : {0, 2, 10}) AddUart(k, 4);
    AddUart(1, 0);
    AddUsb("ttyUSB2", "FTDI", "FT232R USB UART", "usb-FTDI-if00");
    AddUsb("ttyUSB10", "Silicon Labs", "Silicon Labs CP2102 USB to UART Bridge");
    AddUsb("ttyACM0", "", "", {}, "CDC Abstract Control Model (ACM)");
  }

  // A USB adapter with ids in USB port `usb_port` ("1-1.2"), its tty `name`, with no by-id link
  // (no udev); `serial` may be empty.
  void AddAdapter(const std::string& name, const std::string& usb_port, const std::string& serial) {
    AddTty(name,
           UsbDevice(usb_port, "", "FT232R USB UART", serial) + "/" + usb_port + ":1.0/" + name);
  }
  void RemoveAdapter(const std::string& name, const std::string& usb_port) {
    Unplug(name);
    fs::remove_all(root_ / "sys/devices/pci0000:00/usb1" / usb_port);
  }

  static void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  }

  TempRegistry temp_;

 private:
  // An FTDI USB device in USB port `usb_port` with the texts given (none where empty); its folder.
  std::string UsbDevice(const std::string& usb_port, const std::string& maker,
                        const std::string& product, const std::string& serial) {
    const std::string usb = "devices/pci0000:00/usb1/" + usb_port;
    for (const auto& [file, text] : {std::pair<const char*, std::string>{"idVendor", "0403"},
                                     {"idProduct", "6001"},
                                     {"manufacturer", maker},
                                     {"product", product},
                                     {"serial", serial}})
      if (!text.empty()) Write(root_ / "sys" / usb / file, text);
    return usb;
  }
  // The class entry links to <device>/tty/<name>, whose `device` link leads back up to the
  // device, as in sysfs.
  void AddTty(const std::string& name, const std::string& device) {
    const fs::path tty = root_ / "sys" / device / "tty" / name;
    fs::create_directories(tty);
    fs::create_directory_symlink("../..", tty / "device");
    fs::create_directory_symlink("../../" + device + "/tty/" + name,
                                 root_ / "sys/class/tty" / name);
    Write(root_ / "dev" / name, "");
  }

  const fs::path root_ = temp_.File("");
};

TEST_F(PortMapTest, LaterStartsAddNewDevicesWithoutRenumbering) {
  BuildDesktop();
  Ensure();

  // The FTDI adapter goes; a new adapter takes the first free number, COM5, and a UART card's
  // ttyS5 its home COM6.
  Unplug("ttyUSB2", "usb-FTDI-if00");
  AddUsb("ttyUSB3", "Prolific", "USB-Serial Controller", "usb-Prolific-if00");
  AddUart(5, 4);
  EXPECT_EQ(Ensure().added, (std::vector<MapAddition>{{5, "/dev/serial/by-id/usb-Prolific-if00"},
                                                      {6, "/dev/ttyS5"}}));

  // ttyS4 finds its home taken; a device mapped by hand under its node name before discovery
  // saw it, and the FTDI back under another node name, get no second number.
  AddUart(4, 4);
  SetMapEntry(20, "/dev/ttyUSB5");
  AddUsb("ttyUSB5", "Maker", "Thing", "usb-Maker-if00");
  AddUsb("ttyUSB7", "FTDI", "FT232R USB UART", "usb-FTDI-if00");
  EXPECT_EQ(Ensure().added, (std::vector<MapAddition>{{7, "/dev/ttyS4"}}));
  EXPECT_EQ(DescribeEntry(2, Roots()), "/dev/ttyUSB7 - FTDI FT232R USB UART");

  // A number unmapped by hand stays unmapped.
  EXPECT_TRUE(ClearMapEntry(4) && !ClearMapEntry(4));
  EXPECT_TRUE(Ensure().added.empty());
  EXPECT_EQ(MapText(),
            "1=/dev/ttyACM0 2=/dev/serial/by-id/usb-FTDI-if00 3=/dev/ttyS2 "
            "5=/dev/serial/by-id/usb-Prolific-if00 6=/dev/ttyS5 7=/dev/ttyS4 11=/dev/ttyS10 "
            "20=/dev/ttyUSB5 ");
}

TEST_F(PortMapTest, DevicesBeyondThirtyTwoWaitForAFreeNumber) {
  for (int i = 0; i < 34; ++i) AddUsb("ttyUSB" + std::to_string(i), "Maker", "Thing");
  EXPECT_EQ(Ensure().unplaced, (std::vector<std::string>{"/dev/ttyUSB32", "/dev/ttyUSB33"}));
  ClearMapEntry(7);
  EXPECT_EQ(Ensure().added, (std::vector<MapAddition>{{7, "/dev/ttyUSB32"}}));
}

TEST_F(PortMapTest, MachineWithoutSerialPortsGetsTheLoopbackPlugOnce) {
  SetConsole("ttyS0");
  AddUart(0, 4);
  AddUart(1, 0);
  EXPECT_EQ(Ensure().added, (std::vector<MapAddition>{{1, "loopback"}}));
  // An adapter plugged in later gets the next number; once a person removes the plug, it does
  // not come back, even when nothing is found again.
  AddUsb("ttyUSB0", "FTDI", "FT232R USB UART");
  EXPECT_EQ(Ensure().added, (std::vector<MapAddition>{{2, "/dev/ttyUSB0"}}));
  ClearMapEntry(1);
  Unplug("ttyUSB0");
  EXPECT_TRUE(Ensure().added.empty());
  EXPECT_EQ(ResolvePort(1), "/dev/ttyS0");
}

TEST_F(PortMapTest, ResolveRefusesWith8002WhatNamesNoDevice) {
  EXPECT_EQ(ResolvePort(32), "/dev/ttyS31");  // no map at all
  temp_.WriteHiveText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" + std::string(kMapKey) +
                      "]\n\"COM2\"=\"ttyUSB0\"\n\"COM3\"=\"\"\n\"COM4\"=\"  /dev/ttyUSB4 \"\n"
                      "\"COM5\"=\"loopback?nonsense=1\"\n\"COM6\"=\"LoopBack?drop=3\"\n");
  EXPECT_EQ(ResolvePort(3), "/dev/ttyS2");
  EXPECT_EQ(ResolvePort(4), "/dev/ttyUSB4");
  EXPECT_EQ(ResolvePort(6), "LoopBack?drop=3");
  for (std::int16_t n : {0, -1, 33, 2, 5})
    EXPECT_EQ(ResolveError(n), serial::kErrInvalidPortNumber) << n;

  // A registry that cannot be read is an error too, and is left as it is.
  const std::string broken = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\n\"COM1\"=\"loop";
  temp_.WriteHiveText(broken);
  EXPECT_EQ(ResolveError(1), serial::kErrInvalidPortNumber);
  EXPECT_THROW(Ensure(), settings::RegistryError);
  EXPECT_TRUE(Contains(std::get<2>(Ports({"map", "2", "loopback"})), "cannot be read"));
  EXPECT_EQ(temp_.HiveText(), broken);
}

// serivane-ports refuses bad input without touching the registry; its listing fills the map and
// tells what each device is; map and unmap change one number each, with a note where the entry
// may not be what the person meant.
TEST_F(PortMapTest, PortsListsMapsAndUnmapsAndRefusesBadInput) {
  BuildDesktop();
  const std::vector<std::string> refused[] = {
      // clang-format off
      {"frob"}, {"list", "extra"}, {"map", "3"}, {"map", "0", "loopback"}, {"map", "33", "loopback"},
      {"map", "COM", "loopback"}, {"map", "3", "ttyUSB0"}, {"map", "3", "loopback?cts=maybe"},
      {"map", "3", ""}, {"map", "3", "/dev/tty\nUSB0"}, {"map", "3", "/dev/" + std::string(250, 'x')},
      {"unmap"}, {"unmap", "x"}, {"unmap", "-1"},
      // clang-format on
  };
  for (const auto& args : refused) {
    const auto [status, out, err] = Ports(args);
    EXPECT_TRUE(status == 1 && out.empty() && !err.empty()) << args[0] << " " << args.size() << out;
  }
  EXPECT_FALSE(fs::exists(temp_.Hive()));

  const auto [status, out, err] = Ports({});
  EXPECT_EQ(status, 0) << err;
  EXPECT_EQ(out.substr(0, out.find("COM port map (")),
            "Created the COM port map from the devices found.\nAdded COM1 = /dev/ttyACM0\n"
            "Added COM2 = /dev/serial/by-id/usb-FTDI-if00\nAdded COM3 = /dev/ttyS2\n"
            "Added COM4 = /dev/ttyUSB10\nAdded COM11 = /dev/ttyS10\n");
  EXPECT_EQ(out.substr(out.find("Serial devices found:")),
            "Serial devices found:\n"
            "  /dev/ttyS2 - 16550A UART: COM3\n"
            "  /dev/ttyS10 - 16550A UART: COM11\n"
            "  /dev/ttyACM0 - CDC Abstract Control Model (ACM): COM1\n"
            "  /dev/ttyUSB2 - FTDI FT232R USB UART: COM2 (/dev/serial/by-id/usb-FTDI-if00)\n"
            "  /dev/ttyUSB10 - Silicon Labs CP2102 USB to UART Bridge: COM4\n"
            "  /dev/ttyS0: left out, the kernel's console\n"
            "  /dev/ttyS1: left out, no UART\n");

  const std::string longest = "/dev/" + std::string(249, 'y');  // the longest a value reads back
  // {the arguments, the output, a note in the error output}
  const std::tuple<std::vector<std::string>, std::string, std::string> steps[] = {
      // clang-format off
      {{"map", "com12", "loopback?cts=off"}, "COM12 = loopback?cts=off\n", ""},
      {{"map", "3", "loopback"}, "COM3 = loopback\n", ""},  // COM3 named /dev/ttyS2
      {{"map", "13", "/dev/ttyUSB2"}, "COM13 = /dev/ttyUSB2\n", "COM2 names the same device"},
      {{"map", "14", "/dev/ttyUSB9"}, "COM14 = /dev/ttyUSB9\n", "/dev/ttyUSB9 does not exist now"},
      {{"map", "15", "/dev/ttyS1"}, "COM15 = /dev/ttyS1\n", "left out of discovery (no UART)"},
      {{"map", "16", longest}, "COM16 = " + longest + "\n", "does not exist now"},
      {{"unmap", "17"}, "", "COM17 has no entry"},
      {{"unmap", "2"}, "Removed COM2; it names /dev/ttyS1 now\n", ""},
      {{"unmap", "13"}, "Removed COM13; it names /dev/ttyS12 now\n", ""}};
  // clang-format on
  for (const auto& [args, expected, note] : steps) {
    const auto [step_status, step_out, step_err] = Ports(args);
    EXPECT_EQ(std::pair(step_status, step_out), std::pair(0, expected))
        << args[0] << " " << args[1];
    EXPECT_TRUE(note.empty() ? step_err.empty() : Contains(step_err, note)) << step_err;
  }
  EXPECT_EQ(MapText(),
            "1=/dev/ttyACM0 3=loopback 4=/dev/ttyUSB10 11=/dev/ttyS10 "
            "12=loopback?cts=off 14=/dev/ttyUSB9 15=/dev/ttyS1 16=" +
                longest + " ");
  // The listing tells what each number names; the devices unmapped by hand stay unmapped.
  const std::string listing = std::get<1>(Ports({}));
  EXPECT_FALSE(Contains(listing, "Added"));
  for (const char* line :
       {"  built-in virtual loopback plug (cts=off)\n", "  /dev/ttyUSB9 (not present)\n",
        "  /dev/ttyS1 (no UART)\n", "  /dev/ttyS31 (no entry in the map)\n",
        "  /dev/ttyACM0 - CDC Abstract Control Model (ACM)\n",
        "/dev/ttyUSB2 - FTDI FT232R USB UART: not mapped", "/dev/ttyS2 - 16550A UART: not mapped"})
    EXPECT_TRUE(Contains(listing, line)) << line;
}

// Without udev's by-id links an adapter is known by its ids and serial number, or by the USB
// port it sits in when it has none: plugged back under another node it keeps its number, and
// two adapters that swapped nodes swap entries.
TEST_F(PortMapTest, AnAdapterKeepsItsNumberUnderANewNodeWithoutByIdLinks) {
  AddAdapter("ttyUSB0", "1-1", "A1");
  AddAdapter("ttyUSB1", "1-2", "");
  EXPECT_EQ(Ensure().added, (std::vector<MapAddition>{{1, "/dev/ttyUSB0"}, {2, "/dev/ttyUSB1"}}));

  // Both come back the other way round, each under the other's node.
  RemoveAdapter("ttyUSB0", "1-1");
  RemoveAdapter("ttyUSB1", "1-2");
  AddAdapter("ttyUSB1", "1-1", "A1");
  AddAdapter("ttyUSB0", "1-2", "");
  Ensure();
  EXPECT_EQ(MapText(), "1=/dev/ttyUSB1 2=/dev/ttyUSB0 ");
  EXPECT_EQ(std::get<1>(Ports({})).find("follows"), std::string::npos);  // reported once only

  // The one with a serial number is known in any USB port; the one without only in its own.
  RemoveAdapter("ttyUSB1", "1-1");
  RemoveAdapter("ttyUSB0", "1-2");
  AddAdapter("ttyUSB2", "1-3", "A1");
  AddAdapter("ttyUSB3", "1-4", "");
  const EnsureResult result = Ensure();
  EXPECT_EQ(result.moved, (std::vector<MapAddition>{{1, "/dev/ttyUSB2"}}));
  EXPECT_EQ(result.added, (std::vector<MapAddition>{{3, "/dev/ttyUSB3"}}));

  // Another adapter of the same kind with its own serial number is another device.
  AddAdapter("ttyUSB4", "1-5", "B2");
  EXPECT_EQ(Ensure().added, (std::vector<MapAddition>{{4, "/dev/ttyUSB4"}}));
}

}  // namespace
}  // namespace serivane::portmap
