#include "tools/ports/ports_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "fake_system.h"

namespace serivane::portmap {
namespace {

using testing::FakeSystem;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

ToolRun Ports(const std::vector<std::string>& args, const SystemRoots& roots) {
  std::ostringstream out, err;
  ToolRun run;
  run.status = RunPortsCommand(args, out, err, roots);
  run.out = out.str();
  run.err = err.str();
  return run;
}

std::vector<std::string> MapValues() {
  std::vector<std::string> values;
  for (std::int16_t n = kFirstPort; n <= kLastPort; ++n) values.push_back(MapEntry(n).value_or(""));
  return values;
}

void BuildMachine(FakeSystem& sys) {
  sys.SetConsole("ttyS0");
  sys.AddUart(0, 4);
  sys.AddUart(1, 4);
  sys.AddUart(2, 0);
  sys.AddUsb("ttyUSB0", "1-2", "FTDI", "FT232R USB UART", "usb-FTDI_FT232R-if00-port0");
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(PortsCommandTest, ListFillsTheMapExactlyAsTheProgramDoes) {
  std::vector<std::string> by_tool;
  ToolRun run;
  {
    FakeSystem sys;
    BuildMachine(sys);
    run = Ports({}, sys.Roots());
    by_tool = MapValues();
  }
  FakeSystem sys;
  BuildMachine(sys);
  EnsurePortMap(sys.Roots());
  EXPECT_EQ(by_tool, MapValues());

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "Added COM1 = /dev/serial/by-id/usb-FTDI_FT232R-if00-port0"));
  EXPECT_TRUE(Contains(run.out, "Added COM2 = /dev/ttyS1"));
  EXPECT_TRUE(Contains(run.out, "/dev/ttyUSB0 - FTDI FT232R USB UART: COM1"));
  EXPECT_TRUE(Contains(run.out, "/dev/ttyS1 - 16550A UART: COM2"));
  EXPECT_TRUE(Contains(run.out, "/dev/ttyS0: left out, the kernel's console"));
  EXPECT_TRUE(Contains(run.out, "/dev/ttyS2: left out, no UART"));
  EXPECT_TRUE(Contains(run.out, "/dev/ttyS31 (no entry in the map)"));

  // A second listing adds nothing.
  const ToolRun again = Ports({}, sys.Roots());
  EXPECT_EQ(again.status, 0);
  EXPECT_FALSE(Contains(again.out, "Added"));
}

TEST(PortsCommandTest, MapAndUnmapChangeOneNumber) {
  FakeSystem sys;
  BuildMachine(sys);
  Ports({}, sys.Roots());
  std::vector<std::string> expected = MapValues();

  ToolRun run = Ports({"map", "com5", "loopback?cts=off"}, sys.Roots());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "COM5 = loopback?cts=off\n");
  expected[4] = "loopback?cts=off";
  EXPECT_EQ(MapValues(), expected);
  EXPECT_EQ(ResolvePort(5), "loopback?cts=off");

  // The same adapter under its node name: allowed, with a note.
  run = Ports({"map", "7", "/dev/ttyUSB0"}, sys.Roots());
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Contains(run.err, "COM1 names the same device"));
  // An adapter that is not plugged in now: allowed, with a note.
  run = Ports({"map", "8", "/dev/ttyUSB9"}, sys.Roots());
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Contains(run.err, "/dev/ttyUSB9 does not exist now"));
  expected[6] = "/dev/ttyUSB0";
  expected[7] = "/dev/ttyUSB9";

  run = Ports({"unmap", "5"}, sys.Roots());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Removed COM5; it names /dev/ttyS4 now\n");
  expected[4] = "";
  EXPECT_EQ(MapValues(), expected);
  run = Ports({"unmap", "5"}, sys.Roots());
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Contains(run.err, "COM5 has no entry"));

  // The unmapped adapter is not mapped again by the next listing.
  ASSERT_EQ(Ports({"unmap", "1"}, sys.Roots()).status, 0);
  ASSERT_EQ(Ports({"unmap", "7"}, sys.Roots()).status, 0);
  run = Ports({}, sys.Roots());
  EXPECT_FALSE(Contains(run.out, "Added"));
  EXPECT_TRUE(Contains(run.out, "/dev/ttyUSB0 - FTDI FT232R USB UART: not mapped"));
}

TEST(PortsCommandTest, RefusedCommandsChangeNothing) {
  FakeSystem sys;
  BuildMachine(sys);
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
      {"unmap"},
      {"unmap", "x"},
      {"unmap", "-1"},
  };
  for (const auto& args : refused) {
    std::string line;
    for (const auto& arg : args) line += arg + " ";
    SCOPED_TRACE(line);
    const ToolRun run = Ports(args, sys.Roots());
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(run.err.empty());
    EXPECT_TRUE(run.out.empty());
  }
  EXPECT_FALSE(std::filesystem::exists(sys.ConfigFolder() / "serivane"));

  const ToolRun help = Ports({"--help"}, sys.Roots());
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Contains(help.out, "serivane-ports map N DEVICE"));
  EXPECT_FALSE(std::filesystem::exists(sys.ConfigFolder() / "serivane"));
}

TEST(PortsCommandTest, UnreadableRegistryFailsAndIsLeftAlone) {
  FakeSystem sys;
  const auto folder = sys.ConfigFolder() / "serivane" / "registry";
  std::filesystem::create_directories(folder);
  const std::string broken = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\n\"COM1\"=\"x";
  std::ofstream(folder / "HKEY_LOCAL_MACHINE.reg") << broken;

  const ToolRun run = Ports({"map", "2", "loopback"}, sys.Roots());
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.err, "cannot be read")) << run.err;
  std::ifstream in(folder / "HKEY_LOCAL_MACHINE.reg");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), broken);
}

// This machine's own /sys, read only: nothing is opened. On the build machines the only serial
// port is the console, so the map gets the virtual plug at COM1; elsewhere the test checks
// whatever discovery finds against the map it made.
TEST(PortsCommandTest, ThisMachine) {
  FakeSystem config;  // only for its registry folder
  const Discovery found = DiscoverPorts();
  std::ostringstream out, err;
  ASSERT_EQ(RunPortsCommand({}, out, err), 0) << err.str();
  std::cout << out.str();

  std::ifstream active("/sys/class/tty/console/active");
  for (std::string console; active >> console;)
    for (const FoundPort& port : found.ports) EXPECT_NE(port.name, console);

  if (found.ports.empty()) {
    EXPECT_EQ(MapEntry(1), "loopback");
    EXPECT_TRUE(Contains(out.str(), "Serial devices found:\n  none\n"));
  } else {
    for (const FoundPort& port : found.ports) {
      bool mapped = false;
      for (std::int16_t n = kFirstPort; n <= kLastPort; ++n)
        if (auto entry = MapEntry(n)) mapped = mapped || FindPort(found, *entry) == &port;
      EXPECT_TRUE(mapped) << port.node;
    }
  }
}

}  // namespace
}  // namespace serivane::portmap
