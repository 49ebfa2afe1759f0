#include "serial/portmap/portmap.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "fake_system.h"
#include "serial/comm_control.h"
#include "settings/cregistry.h"
#include "tools/ports/ports_command.h"

namespace serivane::portmap {
namespace {

using namespace testing;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The CommError number ResolvePort throws for n; 0 when it resolves.
std::int32_t ResolveError(std::int16_t n) {
  try {
    ResolvePort(n);
    return 0;
  } catch (const serial::CommError& e) {
    return e.number();
  }
}

struct ToolRun {
  int status;
  std::string out, err;
};

ToolRun Ports(const std::vector<std::string>& args, const FakeSystem& sys) {
  std::ostringstream out, err;
  const int status = RunPortsCommand(args, out, err, sys.Roots());
  return {status, out.str(), err.str()};
}

TEST(EnsurePortMapTest, LaterStartsAddNewDevicesWithoutRenumbering) {
  FakeSystem sys;
  BuildDesktop(sys);
  EXPECT_TRUE(EnsurePortMap(sys.Roots()).created);
  EXPECT_EQ(MapText(), kDesktopMap);
  EXPECT_TRUE(EnsurePortMap(sys.Roots()).added.empty());

  // The FTDI adapter goes; a new adapter takes the first free number, COM5, and a UART card's
  // ttyS5 its home COM6.
  sys.Unplug("ttyUSB2");
  sys.AddUsb("ttyUSB3", "Prolific", "USB-Serial Controller", "usb-Prolific-if00");
  sys.AddUart(5, 4);
  const EnsureResult later = EnsurePortMap(sys.Roots());
  EXPECT_FALSE(later.created);
  EXPECT_EQ(later.added, (std::vector<MapAddition>{{5, "/dev/serial/by-id/usb-Prolific-if00"},
                                                   {6, "/dev/ttyS5"}}));

  // ttyS4 finds its home taken; a device mapped by hand under its node name before discovery
  // saw it, and the FTDI back under another node name, get no second number.
  sys.AddUart(4, 4);
  SetMapEntry(20, "/dev/ttyUSB5");
  sys.AddUsb("ttyUSB5", "Maker", "Thing", "usb-Maker-if00");
  sys.AddUsb("ttyUSB7", "FTDI", "FT232R USB UART", "usb-FTDI-if00");
  EXPECT_EQ(EnsurePortMap(sys.Roots()).added, (std::vector<MapAddition>{{7, "/dev/ttyS4"}}));
  EXPECT_EQ(DescribeEntry(2, sys.Roots()), "/dev/ttyUSB7 - FTDI FT232R USB UART");

  // A number unmapped by hand stays unmapped.
  EXPECT_TRUE(ClearMapEntry(4));
  EXPECT_FALSE(ClearMapEntry(4));
  EXPECT_TRUE(EnsurePortMap(sys.Roots()).added.empty());
  EXPECT_EQ(MapText(), "1=/dev/ttyACM0 2=" + kFtdi +
                           " 3=/dev/ttyS2 5=/dev/serial/by-id/usb-Prolific-if00 6=/dev/ttyS5 "
                           "7=/dev/ttyS4 11=/dev/ttyS10 20=/dev/ttyUSB5 ");
}

TEST(EnsurePortMapTest, DevicesBeyondThirtyTwoWaitForAFreeNumber) {
  FakeSystem sys;
  for (int i = 0; i < 34; ++i) sys.AddUsb("ttyUSB" + std::to_string(i), "Maker", "Thing");
  EXPECT_EQ(EnsurePortMap(sys.Roots()).unplaced,
            (std::vector<std::string>{"/dev/ttyUSB32", "/dev/ttyUSB33"}));
  ClearMapEntry(7);
  EXPECT_EQ(EnsurePortMap(sys.Roots()).added, (std::vector<MapAddition>{{7, "/dev/ttyUSB32"}}));
}

TEST(EnsurePortMapTest, MachineWithoutSerialPortsGetsTheLoopbackPlugOnce) {
  FakeSystem sys;
  sys.SetConsole("ttyS0");
  sys.AddUart(0, 4);
  sys.AddUart(1, 0);
  EXPECT_EQ(EnsurePortMap(sys.Roots()).added, (std::vector<MapAddition>{{1, "loopback"}}));
  EXPECT_EQ(DescribeEntry(1, sys.Roots()), "built-in virtual loopback plug");
  // An adapter plugged in later gets the next number; once a person removes the plug, it does
  // not come back, even when nothing is found again.
  sys.AddUsb("ttyUSB0", "FTDI", "FT232R USB UART");
  EXPECT_EQ(EnsurePortMap(sys.Roots()).added, (std::vector<MapAddition>{{2, "/dev/ttyUSB0"}}));
  ClearMapEntry(1);
  sys.Unplug("ttyUSB0");
  EXPECT_TRUE(EnsurePortMap(sys.Roots()).added.empty());
  EXPECT_EQ(ResolvePort(1), "/dev/ttyS0");
}

TEST(ResolvePortTest, NamesTheMapsDeviceOrRefusesWith8002) {
  FakeSystem sys;
  EXPECT_EQ(ResolvePort(32), "/dev/ttyS31");  // no map at all
  settings::CRegistry reg;
  reg.OpenKey(settings::kHKeyLocalMachine, kMapKey, true);
  reg.WriteValue("COM2", "ttyUSB0");
  reg.WriteValue("COM3", "");
  reg.WriteValue("COM4", "  /dev/ttyUSB4 ");
  reg.WriteValue("COM5", "loopback?nonsense=1");
  reg.WriteValue("COM6", "LoopBack?drop=3");
  reg.CloseKey();
  EXPECT_EQ(ResolvePort(3), "/dev/ttyS2");
  EXPECT_EQ(ResolvePort(4), "/dev/ttyUSB4");
  EXPECT_EQ(ResolvePort(6), "LoopBack?drop=3");
  for (std::int16_t n : {0, -1, 33, 2, 5})
    EXPECT_EQ(ResolveError(n), serial::kErrInvalidPortNumber) << n;

  EXPECT_THROW(SetMapEntry(3, "ttyUSB0"), std::invalid_argument);
  EXPECT_THROW(SetMapEntry(33, "loopback"), std::invalid_argument);
  EXPECT_THROW(ClearMapEntry(0), std::invalid_argument);
  EXPECT_EQ(MapEntry(3), std::nullopt);
}

TEST(DescribeEntryTest, TellsWhatEachNumberNames) {
  FakeSystem sys;
  BuildDesktop(sys);
  EnsurePortMap(sys.Roots());
  SetMapEntry(12, "/dev/ttyS0");
  SetMapEntry(13, "/dev/serial/by-id/usb-Gone-if00");
  SetMapEntry(14, "loopback?cts=off");
  SetMapEntry(15, "/dev/ttyS1");
  const Discovery found = DiscoverPorts(sys.Roots());
  const std::pair<std::int16_t, const char*> cases[] = {
      {2, "/dev/ttyUSB2 - FTDI FT232R USB UART"},
      {12, "/dev/ttyS0 (the kernel's console)"},
      {13, "/dev/serial/by-id/usb-Gone-if00 (not present)"},
      {14, "built-in virtual loopback plug (cts=off)"},
      {15, "/dev/ttyS1 (no UART)"},
      {16, "/dev/ttyS15 (no entry in the map)"},
  };
  for (const auto& [n, text] : cases) EXPECT_EQ(DescribeEntry(n, found), text);
}

TEST(PortsCommandTest, ListFillsTheMapAndTellsWhatEachDeviceIs) {
  FakeSystem sys;
  BuildDesktop(sys);
  const ToolRun run = Ports({}, sys);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(MapText(), kDesktopMap);
  EXPECT_EQ(run.out.substr(0, run.out.find("COM port map (")),
            "Created the COM port map from the devices found.\n"
            "Added COM1 = /dev/ttyACM0\nAdded COM2 = " +
                kFtdi +
                "\nAdded COM3 = /dev/ttyS2\n"
                "Added COM4 = /dev/ttyUSB10\nAdded COM11 = /dev/ttyS10\n");
  EXPECT_EQ(run.out.substr(run.out.find("Serial devices found:")),
            "Serial devices found:\n"
            "  /dev/ttyS2 - 16550A UART: COM3\n"
            "  /dev/ttyS10 - 16550A UART: COM11\n"
            "  /dev/ttyACM0 - CDC Abstract Control Model (ACM): COM1\n"
            "  /dev/ttyUSB2 - FTDI FT232R USB UART: COM2 (" +
                kFtdi +
                ")\n"
                "  /dev/ttyUSB10 - Silicon Labs CP2102 USB to UART Bridge: COM4\n"
                "  /dev/ttyS0: left out, the kernel's console\n"
                "  /dev/ttyS1: left out, no UART\n");
  EXPECT_FALSE(Contains(Ports({}, sys).out, "Added"));
}

TEST(PortsCommandTest, MapAndUnmapChangeOneNumberWithNotes) {
  FakeSystem sys;
  BuildDesktop(sys);
  Ports({}, sys);
  const std::string longest = "/dev/" + std::string(249, 'y');  // the longest a value reads back
  const struct {
    std::vector<std::string> args;
    std::string out, note;
  } steps[] = {
      {{"map", "com12", "loopback?cts=off"}, "COM12 = loopback?cts=off\n", ""},
      {{"map", "13", "/dev/ttyUSB2"}, "COM13 = /dev/ttyUSB2\n", "COM2 names the same device"},
      {{"map", "14", "/dev/ttyUSB9"}, "COM14 = /dev/ttyUSB9\n", "/dev/ttyUSB9 does not exist now"},
      {{"map", "15", "/dev/ttyS0"}, "COM15 = /dev/ttyS0\n", "left out of discovery"},
      {{"map", "16", longest}, "COM16 = " + longest + "\n", "does not exist now"},
      {{"unmap", "12"}, "Removed COM12; it names /dev/ttyS11 now\n", ""},
      {{"unmap", "12"}, "", "COM12 has no entry"},
      {{"unmap", "2"}, "Removed COM2; it names /dev/ttyS1 now\n", ""},
      {{"unmap", "13"}, "Removed COM13; it names /dev/ttyS12 now\n", ""},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.args[0] + " " + step.args[1]);
    const ToolRun run = Ports(step.args, sys);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, step.out);
    EXPECT_TRUE(step.note.empty() ? run.err.empty() : Contains(run.err, step.note)) << run.err;
  }
  EXPECT_EQ(MapText(), kDesktopMap.substr(0, kDesktopMap.find("2=")) +
                           kDesktopMap.substr(kDesktopMap.find("3=")) +
                           "14=/dev/ttyUSB9 15=/dev/ttyS0 16=" + longest + " ");
  EXPECT_EQ(ResolvePort(16), longest);
  // The adapter unmapped by hand is not mapped again by the next listing.
  const ToolRun run = Ports({}, sys);
  EXPECT_FALSE(Contains(run.out, "Added"));
  EXPECT_TRUE(Contains(run.out, "/dev/ttyUSB2 - FTDI FT232R USB UART: not mapped"));
}

TEST(PortsCommandTest, RefusedCommandsChangeNothing) {
  FakeSystem sys;
  BuildDesktop(sys);
  const std::vector<std::string> refused[] = {
      {"frob"},
      {"list", "extra"},
      {"map", "3"},
      {"map", "0", "loopback"},
      {"map", "33", "loopback"},
      {"map", "COM", "loopback"},
      {"map", "3", "ttyUSB0"},
      {"map", "3", "loopback?cts=maybe"},
      {"map", "3", ""},
      {"map", "3", "/dev/tty\nUSB0"},
      {"map", "3", "/dev/" + std::string(250, 'x')},
      {"unmap"},
      {"unmap", "x"},
      {"unmap", "-1"},
  };
  for (const auto& args : refused) {
    const ToolRun run = Ports(args, sys);
    EXPECT_EQ(run.status, 1) << args[0] << " " << args.size();
    EXPECT_TRUE(run.out.empty() && !run.err.empty()) << run.out;
  }
  const ToolRun help = Ports({"--help"}, sys);
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Contains(help.out, "serivane-ports map N DEVICE"));
  EXPECT_FALSE(std::filesystem::exists(sys.Hive()));
}

TEST(PortsCommandTest, UnreadableRegistryIsAnErrorAndIsLeftAlone) {
  FakeSystem sys;
  const std::string broken = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\n\"COM1\"=\"loop";
  FakeSystem::Write(sys.Hive(), broken);
  EXPECT_EQ(ResolveError(1), serial::kErrInvalidPortNumber);
  EXPECT_THROW(EnsurePortMap(sys.Roots()), settings::RegistryError);
  EXPECT_TRUE(Contains(DescribeEntry(1, sys.Roots()), "cannot be read"));
  const ToolRun run = Ports({"map", "2", "loopback"}, sys);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.err, "cannot be read")) << run.err;
  std::ifstream in(sys.Hive());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), broken + "\n");
}

// This machine's own /sys, read only: nothing is opened. Where the only serial port is the
// console, the map gets the virtual plug at COM1; elsewhere every device found gets a number.
TEST(PortsCommandTest, ThisMachine) {
  FakeSystem config;  // only for its registry folder
  const Discovery found = DiscoverPorts();
  std::ostringstream out, err;
  ASSERT_EQ(RunPortsCommand({}, out, err), 0) << err.str();
  std::ifstream active("/sys/class/tty/console/active");
  for (std::string console; active >> console;)
    for (const FoundPort& port : found.ports) EXPECT_NE(port.name, console);
  EXPECT_FALSE(Contains(out.str(), ": not mapped")) << out.str();
  EXPECT_EQ(MapEntry(1) == "loopback", found.ports.empty());
}

}  // namespace
}  // namespace serivane::portmap
