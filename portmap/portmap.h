// The COM port map: which device each port number Com1 to Com32 names.
//
// The map is the registry key HKEY_LOCAL_MACHINE\Software\Balvoric\Serial Ports. Its string
// values "COM1" to "COM32" hold a device path ("/dev/ttyUSB0", "/dev/serial/by-id/...") or
// "loopback", the built-in virtual loopback plug, optionally with fault switches
// ("loopback?cts=off", see serial/plug_faults.h). A number without a value names
// /dev/ttyS<n-1>, as it would with no map at all.
//
// The map is kept like a COM port database: filled from discovery the first time (when the key
// does not exist), and at every later start extended by the devices seen for the first time,
// which take the next free numbers. The program never renumbers or removes an entry; only a
// person does (serivane-ports, serivane-reg). The devices the map has ever given a number are
// remembered in the subkey "Known Devices" (one value per device path), so that a device a
// person unmapped on purpose is not mapped again at the next start.
//
// A USB adapter is also remembered by what sysfs says of it (subkey "Adapters": its vendor and
// product ids with its serial number, or with the USB port it sits in when it has none, a
// multi-port adapter's ports after the first also with their interface number, and the path the
// map names it by). Where udev makes no /dev/serial/by-id links (a container, a
// minimal system) an adapter can come back under another node name (ttyUSB1 for ttyUSB0); the
// entry that named its old node then follows it, so its number stays with it.
//
// Discovery reads sysfs (through ReadTtyIdentity, tty_identity.h) and lists /dev/serial/by-id;
// it never opens a device.
//
// Registry: every call reads or writes the registry at the time of the call, so it follows
// XDG_CONFIG_HOME then. A PortMap is the map as one read found it: a program reads the map and
// its settings from the same snapshot at start, so that a run never uses part of a change made
// meanwhile. Errors are RegistryError unless said otherwise. One thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "portmap/tty_identity.h"
#include "settings/cregistry.h"

namespace serivane::portmap {

inline constexpr std::int16_t kFirstPort = 1;
inline constexpr std::int16_t kLastPort = 32;
inline constexpr std::string_view kMapKey = "Software\\Balvoric\\Serial Ports";
inline constexpr std::string_view kKnownKey = "Software\\Balvoric\\Serial Ports\\Known Devices";
inline constexpr std::string_view kAdaptersKey = "Software\\Balvoric\\Serial Ports\\Adapters";
inline constexpr std::string_view kLoopback = "loopback";

// A serial device that discovery found usable.
struct FoundPort {
  std::string name;         // kernel name: "ttyS4", "ttyUSB0"
  std::string node;         // "/dev/ttyUSB0"
  std::string device;       // what the map records: the /dev/serial/by-id/ path where one
                            // exists, else `node`
  std::string description;  // "FTDI FT232R USB UART", "16550A UART"; empty when sysfs says nothing
  std::optional<int> uart;  // k of /dev/ttyS<k>: a real UART, whose home is COM<k+1>
  // A USB adapter's identity: "usb 0403:6001 serial A6008isP", or "usb 0403:6001 at 1-1.2" (the
  // port path) when it has no serial number, with " if02" for a multi-port adapter's port on
  // interface 2; empty for other devices.
  std::string adapter;
};

// A tty with a device behind it that discovery did not count as a usable port.
struct LeftOutPort {
  std::string name;    // "ttyS0"
  std::string reason;  // "the kernel's console", "no UART"
};

struct Discovery {
  SystemRoots roots;
  std::vector<FoundPort> ports;  // real UARTs by number, then the others in name order
  std::vector<LeftOutPort> left_out;
};

// Reads /sys/class/tty: entries with a `device` link are serial devices, less the ports whose
// `type` reads 0 (no UART behind them) and the console ports listed in
// /sys/class/tty/console/active. A missing or unreadable sysfs gives an empty discovery.
Discovery DiscoverPorts(const SystemRoots& roots = {});

struct MapAddition {
  std::int16_t number = 0;
  std::string device;  // the value written
  bool operator==(const MapAddition&) const = default;
};

// What EnsurePortMap did.
struct EnsureResult {
  bool created = false;               // the key was missing and has been made
  std::vector<MapAddition> added;     // entries written, in number order
  std::vector<MapAddition> moved;     // entries that followed their adapter to a new node
  std::vector<std::string> unplaced;  // new devices for which no number was free
};

// Fills a missing map from `found` (COM1 = loopback when it holds no port) or, when the map
// exists, gives each device of `found` that no entry names and the map has never numbered the
// next free number; a real UART at /dev/ttyS<k> takes COM<k+1> when that number is free.
// Existing entries are left as they are. The registry is read once; only when something is to
// be added is it changed, in one write under its lock (from a fresh read). `after`, when given,
// receives the registry as it stands afterwards, at least HKEY_LOCAL_MACHINE\Software\Balvoric
// (the map and the program's settings): the snapshot a program's start reads both from.
EnsureResult EnsurePortMap(const Discovery& found, settings::RegistrySnapshot* after = nullptr);
EnsureResult EnsurePortMap(const SystemRoots& roots = {});

// The map as one snapshot of the registry holds it.
class PortMap {
 public:
  PortMap() = default;  // no map: every number names /dev/ttyS<n-1>
  explicit PortMap(const settings::RegistrySnapshot& stored);
  // The map as it is stored now; throws when the registry cannot be read.
  static PortMap Read();

  // The value of COM<n>, blanks around it removed; nullopt when there is none, it is blank or too
  // long to read, the map does not exist or n is outside 1..32.
  std::optional<std::string> Entry(std::int16_t n) const;
  // What port number n names, as ResolvePort says, but never because the registry failed.
  std::string Resolve(std::int16_t n) const;
  // The tooltip text, as DescribeEntry says.
  std::string Describe(std::int16_t n, const Discovery& found) const;

 private:
  std::array<std::optional<std::string>, kLastPort + 1> entries_;  // [0] unused
};

// PortMap::Read().Entry(n).
std::optional<std::string> MapEntry(std::int16_t n);

// Why `target` cannot be a map value ("" when it can): it must be an absolute path or a
// loopback target whose fault switches parse.
std::string CheckTarget(std::string_view target);

// Writes COM<n> = target (creating the key) and remembers the device as numbered. Throws
// std::invalid_argument for n outside 1..32 or a target CheckTarget refuses.
void SetMapEntry(std::int16_t n, std::string_view target);

// Removes the value COM<n>; false when there was none. The device stays remembered, so the next
// start does not map it again. Throws std::invalid_argument for n outside 1..32.
bool ClearMapEntry(std::int16_t n);

// What port number n names, for serial::PortResolver: the map's value, or /dev/ttyS<n-1> when
// there is none. Throws serial::CommError(8002) for n outside 1..32, for a value that is neither
// a path nor a loopback target, and when the map cannot be read.
std::string ResolvePort(std::int16_t n);

// The tooltip of the port list entry for n: "/dev/ttyUSB0 - FTDI FT232R USB UART",
// "built-in virtual loopback plug", "/dev/ttyS3 (no entry in the map)", ... Never throws; a
// registry failure is told in the text.
std::string DescribeEntry(std::int16_t n, const Discovery& found);
std::string DescribeEntry(std::int16_t n, const SystemRoots& roots = {});

// The discovered port that the map value `target` names (by its recorded path, its node, or the
// device a /dev/ path leads to), if any.
const FoundPort* FindPort(const Discovery& found, std::string_view target);

}  // namespace serivane::portmap
