#include "serial/portmap/portmap.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fake_system.h"
#include "serial/comm_control.h"
#include "settings/cregistry.h"

namespace serivane::portmap {
namespace {

using testing::FakeSystem;

constexpr const char* kFtdiById = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";

std::vector<std::string> Names(const Discovery& found) {
  std::vector<std::string> names;
  for (const auto& port : found.ports) names.push_back(port.name);
  return names;
}

// Every value of the map, "" for a number without one.
std::vector<std::string> MapValues() {
  std::vector<std::string> values;
  for (std::int16_t n = kFirstPort; n <= kLastPort; ++n) values.push_back(MapEntry(n).value_or(""));
  return values;
}

// A desktop with a console on ttyS0, a real UART on ttyS1, two ports the 8250 driver registers
// without a UART, an FTDI adapter with a by-id link, a CP2102 without one and a modem that only
// names its interface.
void BuildDesktop(FakeSystem& sys) {
  sys.SetConsole("tty0 ttyS0");
  sys.AddUart(0, 4);
  sys.AddUart(1, 4);
  sys.AddUart(2, 0);
  sys.AddUart(3, 0);
  sys.AddUsb("ttyUSB0", "1-2", "FTDI", "FT232R USB UART", kFtdiById);
  sys.AddUsb("ttyUSB1", "1-3", "Silicon Labs", "Silicon Labs CP2102 USB to UART Bridge");
  sys.AddUsb("ttyACM0", "1-4", "", "", {}, "CDC Abstract Control Model (ACM)");
}

TEST(DiscoveryTest, KeepsUartsAndUsbDevicesAndLeavesOutConsoleAndPhantomPorts) {
  FakeSystem sys;
  BuildDesktop(sys);
  const Discovery found = DiscoverPorts(sys.Roots());

  EXPECT_EQ(Names(found), (std::vector<std::string>{"ttyS1", "ttyACM0", "ttyUSB0", "ttyUSB1"}));
  ASSERT_EQ(found.ports.size(), 4u);
  const FoundPort& uart = found.ports[0];
  EXPECT_EQ(uart.uart, 1);
  EXPECT_EQ(uart.device, "/dev/ttyS1");
  EXPECT_EQ(uart.description, "16550A UART");
  const FoundPort& acm = found.ports[1];
  EXPECT_EQ(acm.uart, std::nullopt);
  EXPECT_EQ(acm.description, "CDC Abstract Control Model (ACM)");
  const FoundPort& ftdi = found.ports[2];
  EXPECT_EQ(ftdi.node, "/dev/ttyUSB0");
  EXPECT_EQ(ftdi.device, std::string("/dev/serial/by-id/") + kFtdiById);
  EXPECT_EQ(ftdi.description, "FTDI FT232R USB UART");
  // A product that already starts with the maker's name does not repeat it.
  EXPECT_EQ(found.ports[3].description, "Silicon Labs CP2102 USB to UART Bridge");
  EXPECT_EQ(found.ports[3].device, "/dev/ttyUSB1");

  std::vector<std::string> left_out;
  for (const auto& port : found.left_out) left_out.push_back(port.name + ": " + port.reason);
  EXPECT_EQ(left_out, (std::vector<std::string>{"ttyS0: the kernel's console", "ttyS2: no UART",
                                                "ttyS3: no UART"}));
}

TEST(DiscoveryTest, OrdersUartsByNumberAndOthersNaturally) {
  FakeSystem sys;
  for (int k : {10, 2}) sys.AddUart(k, 4);
  for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM1"})
    sys.AddUsb(name, std::string("1-") + name, "Maker", "Thing");
  EXPECT_EQ(Names(DiscoverPorts(sys.Roots())),
            (std::vector<std::string>{"ttyS2", "ttyS10", "ttyACM1", "ttyUSB2", "ttyUSB10"}));
}

TEST(EnsurePortMapTest, FirstStartPutsUartsAtHomeAndOthersInTheFreeNumbers) {
  FakeSystem sys;
  BuildDesktop(sys);
  const EnsureResult result = EnsurePortMap(sys.Roots());

  EXPECT_TRUE(result.created);
  const std::string ftdi = std::string("/dev/serial/by-id/") + kFtdiById;
  EXPECT_EQ(result.added,
            (std::vector<MapAddition>{
                {1, "/dev/ttyACM0"}, {2, "/dev/ttyS1"}, {3, ftdi}, {4, "/dev/ttyUSB1"}}));
  EXPECT_EQ(ResolvePort(1), "/dev/ttyACM0");
  EXPECT_EQ(ResolvePort(3), ftdi);
  EXPECT_EQ(ResolvePort(5), "/dev/ttyS4");  // no entry: the plain rule

  // Starting again with the same devices changes nothing.
  const std::vector<std::string> before = MapValues();
  const EnsureResult again = EnsurePortMap(sys.Roots());
  EXPECT_FALSE(again.created);
  EXPECT_TRUE(again.added.empty());
  EXPECT_EQ(MapValues(), before);
}

TEST(EnsurePortMapTest, LaterStartsAddNewDevicesWithoutRenumbering) {
  FakeSystem sys;
  BuildDesktop(sys);
  EnsurePortMap(sys.Roots());
  const std::string ftdi = std::string("/dev/serial/by-id/") + kFtdiById;

  // The FTDI adapter is unplugged; a new adapter and a UART card come in. The FTDI keeps COM3,
  // the card's ttyS5 gets its home COM6, and ttyS4's home COM5 is taken by the next new device
  // before ttyS4 itself shows up.
  sys.Unplug("ttyUSB0");
  sys.AddUsb("ttyUSB2", "1-5", "Prolific", "USB-Serial Controller", "usb-Prolific-if00");
  sys.AddUart(5, 4);
  EnsureResult result = EnsurePortMap(sys.Roots());
  EXPECT_FALSE(result.created);
  EXPECT_EQ(result.added, (std::vector<MapAddition>{{5, "/dev/serial/by-id/usb-Prolific-if00"},
                                                    {6, "/dev/ttyS5"}}));
  EXPECT_EQ(MapEntry(3), ftdi);

  sys.AddUart(4, 4);
  result = EnsurePortMap(sys.Roots());
  EXPECT_EQ(result.added, (std::vector<MapAddition>{{7, "/dev/ttyS4"}}));

  // Plugged back in under another node name, the FTDI is known by its by-id link.
  sys.AddUsb("ttyUSB7", "1-6", "FTDI", "FT232R USB UART", kFtdiById);
  EXPECT_TRUE(EnsurePortMap(sys.Roots()).added.empty());
  EXPECT_EQ(DescribeEntry(3, sys.Roots()), "/dev/ttyUSB7 - FTDI FT232R USB UART");

  const std::vector<std::string> expected_start = {"/dev/ttyACM0", "/dev/ttyS1", ftdi,
                                                   "/dev/ttyUSB1"};
  const std::vector<std::string> values = MapValues();
  EXPECT_EQ(std::vector<std::string>(values.begin(), values.begin() + 4), expected_start);
}

TEST(EnsurePortMapTest, HandMadeEntriesAreRespected) {
  FakeSystem sys;
  BuildDesktop(sys);
  EnsurePortMap(sys.Roots());

  // Unmapped by hand: not mapped again at the next start.
  EXPECT_TRUE(ClearMapEntry(4));
  EXPECT_FALSE(ClearMapEntry(4));
  EXPECT_TRUE(EnsurePortMap(sys.Roots()).added.empty());
  EXPECT_EQ(MapEntry(4), std::nullopt);

  // Mapped by hand under its node name before discovery saw it: no second number.
  sys.AddUsb("ttyUSB3", "1-7", "Maker", "Thing", "usb-Maker_Thing-if00");
  SetMapEntry(20, "/dev/ttyUSB3");
  EXPECT_TRUE(EnsurePortMap(sys.Roots()).added.empty());
  EXPECT_EQ(DescribeEntry(20, sys.Roots()), "/dev/ttyUSB3 - Maker Thing");

  // A UART whose home number a person gave to something else goes to the next free number.
  SetMapEntry(9, "loopback?cts=off");
  sys.AddUart(8, 4);
  EXPECT_EQ(EnsurePortMap(sys.Roots()).added, (std::vector<MapAddition>{{4, "/dev/ttyS8"}}));
  EXPECT_EQ(MapEntry(9), "loopback?cts=off");
}

TEST(EnsurePortMapTest, DevicesBeyondThirtyTwoNumbersAreReportedNotDropped) {
  FakeSystem sys;
  for (int i = 0; i < 34; ++i)
    sys.AddUsb("ttyUSB" + std::to_string(i), "1-" + std::to_string(i), "Maker", "Thing");
  const EnsureResult result = EnsurePortMap(sys.Roots());
  EXPECT_EQ(result.added.size(), 32u);
  EXPECT_EQ(result.unplaced, (std::vector<std::string>{"/dev/ttyUSB32", "/dev/ttyUSB33"}));
  // Once a number is freed, the device that had none gets it at the next start.
  ClearMapEntry(7);
  EXPECT_EQ(EnsurePortMap(sys.Roots()).added, (std::vector<MapAddition>{{7, "/dev/ttyUSB32"}}));
}

TEST(EnsurePortMapTest, MachineWithoutSerialPortsGetsTheLoopbackPlugOnce) {
  FakeSystem sys;
  sys.SetConsole("ttyS0");
  sys.AddUart(0, 4);  // the console only
  sys.AddUart(1, 0);
  const EnsureResult result = EnsurePortMap(sys.Roots());
  EXPECT_TRUE(result.created);
  EXPECT_EQ(result.added, (std::vector<MapAddition>{{1, "loopback"}}));
  EXPECT_EQ(ResolvePort(1), "loopback");
  EXPECT_EQ(DescribeEntry(1, sys.Roots()), "built-in virtual loopback plug");

  // An adapter plugged in later gets the next number; COM1 stays the plug.
  sys.AddUsb("ttyUSB0", "1-1", "FTDI", "FT232R USB UART", kFtdiById);
  EXPECT_EQ(EnsurePortMap(sys.Roots()).added,
            (std::vector<MapAddition>{{2, std::string("/dev/serial/by-id/") + kFtdiById}}));
  EXPECT_EQ(ResolvePort(1), "loopback");

  // A person removing the plug does not bring it back, not even when the adapter is gone and
  // nothing is found: the map exists now.
  ClearMapEntry(1);
  EXPECT_TRUE(EnsurePortMap(sys.Roots()).added.empty());
  sys.Unplug("ttyUSB0");
  EXPECT_TRUE(EnsurePortMap(sys.Roots()).added.empty());
  EXPECT_EQ(ResolvePort(1), "/dev/ttyS0");
}

TEST(ResolvePortTest, RefusesNumbersAndValuesThatNameNothing) {
  FakeSystem sys;
  EXPECT_EQ(ResolvePort(1), "/dev/ttyS0");  // no map at all: the plain rule
  EXPECT_EQ(ResolvePort(32), "/dev/ttyS31");

  settings::CRegistry reg;
  reg.OpenKey(settings::kHKeyLocalMachine, kMapKey, true);
  reg.WriteValue("COM2", "ttyUSB0");
  reg.WriteValue("COM3", "");  // stored as one blank
  reg.WriteValue("COM4", "  /dev/ttyUSB4 ");
  reg.WriteValue("COM5", "loopback?nonsense=1");
  reg.WriteValue("COM6", "LoopBack?drop=3");
  reg.CloseKey();

  EXPECT_EQ(ResolvePort(3), "/dev/ttyS2");
  EXPECT_EQ(ResolvePort(4), "/dev/ttyUSB4");
  EXPECT_EQ(ResolvePort(6), "LoopBack?drop=3");
  for (std::int16_t n : {0, -1, 33, 2, 5}) {
    SCOPED_TRACE(n);
    try {
      ResolvePort(n);
      ADD_FAILURE() << "resolved";
    } catch (const serial::CommError& e) {
      EXPECT_EQ(e.number(), serial::kErrInvalidPortNumber);
    }
  }
  // Usable as the control's resolver.
  const serial::PortResolver resolver = ResolvePort;
  EXPECT_EQ(resolver(6), "LoopBack?drop=3");
}

TEST(ResolvePortTest, UnreadableRegistryIsAnErrorNotTheConsole) {
  FakeSystem sys;
  SetMapEntry(1, "loopback");
  const auto hive = sys.ConfigFolder() / "serivane" / "registry" / "HKEY_LOCAL_MACHINE.reg";
  ASSERT_TRUE(std::filesystem::exists(hive));
  std::ofstream(hive) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\n\"COM1\"=\"loop";
  try {
    ResolvePort(1);
    ADD_FAILURE() << "resolved despite an unreadable registry";
  } catch (const serial::CommError& e) {
    EXPECT_EQ(e.number(), serial::kErrInvalidPortNumber);
  }
  EXPECT_THROW(EnsurePortMap(sys.Roots()), settings::RegistryError);
  EXPECT_NE(DescribeEntry(1, sys.Roots()).find("cannot be read"), std::string::npos);
}

TEST(MapEntryTest, SetMapEntryRefusesWhatCouldNotBeOpened) {
  FakeSystem sys;
  const std::string too_long = "/dev/" + std::string(250, 'x');
  for (const std::string& target :
       {std::string(), std::string("ttyUSB0"), std::string("loopback?cts=maybe"),
        std::string("/dev/tty\nUSB0"), too_long}) {
    SCOPED_TRACE(target);
    EXPECT_THROW(SetMapEntry(3, target), std::invalid_argument);
  }
  EXPECT_THROW(SetMapEntry(33, "loopback"), std::invalid_argument);
  EXPECT_THROW(ClearMapEntry(0), std::invalid_argument);
  EXPECT_EQ(MapEntry(3), std::nullopt);

  // The longest value the registry reads back whole is accepted and comes back whole.
  const std::string longest = "/dev/" + std::string(249, 'y');
  SetMapEntry(3, longest);
  EXPECT_EQ(ResolvePort(3), longest);
}

TEST(DescribeEntryTest, TellsWhatEachNumberNames) {
  FakeSystem sys;
  BuildDesktop(sys);
  EnsurePortMap(sys.Roots());
  SetMapEntry(5, "/dev/ttyS0");
  SetMapEntry(6, "/dev/serial/by-id/usb-Gone-if00");
  SetMapEntry(7, "loopback?cts=off");
  SetMapEntry(8, "/dev/ttyS3");
  const Discovery found = DiscoverPorts(sys.Roots());
  const struct {
    std::int16_t n;
    const char* text;
  } cases[] = {
      {2, "/dev/ttyS1 - 16550A UART"},
      {3, "/dev/ttyUSB0 - FTDI FT232R USB UART"},
      {1, "/dev/ttyACM0 - CDC Abstract Control Model (ACM)"},
      {5, "/dev/ttyS0 (the kernel's console)"},
      {6, "/dev/serial/by-id/usb-Gone-if00 (not present)"},
      {7, "built-in virtual loopback plug (cts=off)"},
      {8, "/dev/ttyS3 (no UART)"},
      {12, "/dev/ttyS11 (no entry in the map)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(DescribeEntry(c.n, found), c.text);
  }
}

}  // namespace
}  // namespace serivane::portmap
