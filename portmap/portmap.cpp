#include "portmap/portmap.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <system_error>

#include "common/text.h"
#include "serial/comm_control.h"
#include "serial/plug_faults.h"
#include "serial/port_names.h"
#include "settings/cregistry.h"
#include "settings/reg_text.h"
#include "settings/registry_store.h"

namespace serivane::portmap {

namespace {

using settings::CRegistry;
using settings::kHKeyLocalMachine;
using settings::RegistryError;
using settings::RegistrySnapshot;

// A registry string value is read through a 255-byte buffer that also holds the terminating NUL;
// anything longer reads as missing.
constexpr std::size_t kLongestValue = 254;

constexpr std::string_view kVendorKey = "Software\\Balvoric";

bool InRange(int n) {
  return n >= kFirstPort && n <= kLastPort;
}

// A registry that cannot be read is an error, not a missing map: taking it for one would send
// every port number to /dev/ttyS<n-1>.
[[noreturn]] void CannotRead(const RegistryError& error) {
  throw RegistryError("COM port map", "The registry cannot be read (" + error.reason() + ").",
                      error.reason(), RegistryError::Kind::kUnreadable);
}

RegistrySnapshot ReadRegistry() {
  try {
    // The map and the program's settings are both below this key.
    return RegistrySnapshot::Read(kHKeyLocalMachine, kVendorKey);
  } catch (const RegistryError& error) {
    CannotRead(error);
  }
}

// Opens an existing key; false when it does not exist.
bool OpenExisting(CRegistry& reg, std::string_view key) {
  try {
    reg.OpenKey(kHKeyLocalMachine, key, false);
    return true;
  } catch (const RegistryError& error) {
    if (error.kind() != RegistryError::Kind::kMissing) CannotRead(error);
    return false;
  }
}

using Entries = std::array<std::optional<std::string>, kLastPort + 1>;

// Adapters that came back under another node name: every entry that names the node an adapter
// was last seen at is changed to name where it is now. All moves are worked out before any is
// made, so two adapters that swapped nodes swap entries. An adapter that an entry already names
// where it is now (a person mapped it again) is left alone.
template <typename LastSeen>
void MoveToNewNodes(const Discovery& found, const LastSeen& last_seen, Entries& entries,
                    std::vector<MapAddition>& moved) {
  std::vector<std::pair<std::string, std::string>> moves;  // from, to
  for (const FoundPort& port : found.ports) {
    const std::optional<std::string> was = last_seen(port);
    if (was && *was != port.device) moves.emplace_back(*was, port.device);
  }
  auto moving = [&](const std::string& value) {
    return std::any_of(moves.begin(), moves.end(), [&](const auto& m) { return m.first == value; });
  };
  for (const auto& [from, to] : moves) {
    const FoundPort* port = FindPort(found, to);
    const bool named_now = std::any_of(entries.begin(), entries.end(), [&](const auto& entry) {
      return entry && !moving(*entry) && FindPort(found, *entry) == port;
    });
    if (named_now) continue;
    for (std::size_t n = kFirstPort; n <= kLastPort; ++n) {
      if (!entries[n] || *entries[n] != from) continue;
      moved.push_back({static_cast<std::int16_t>(n), to});
    }
  }
  for (const MapAddition& move : moved)
    entries[static_cast<std::size_t>(move.number)] = move.device;
}

// What EnsurePortMap has to write into a registry as `stored` holds it.
struct EnsurePlan {
  EnsureResult result;
  std::vector<const FoundPort*> remember;  // devices to note under "Known Devices"
  std::vector<const FoundPort*> adapters;  // adapters to note where they are now
  bool NeedsWrite() const {
    return result.created || !result.added.empty() || !result.moved.empty() || !remember.empty() ||
           !adapters.empty();
  }
};

// The value of `name` on `key`, trimmed; nullopt when missing, blank or too long to read.
std::optional<std::string> ReadEntry(const RegistrySnapshot::Key& key, const std::string& name) {
  const auto text = key.Read(name);
  if (!text) return std::nullopt;
  std::string value(Trim(*text, " \t\r\n"));
  if (value.empty()) return std::nullopt;
  return value;
}

EnsurePlan PlanEnsure(const RegistrySnapshot& stored, const Discovery& found) {
  EnsurePlan plan;
  EnsureResult& result = plan.result;
  const bool existed = stored.OpenKey(kMapKey).Exists();
  result.created = !existed;

  // Indexed by port number; [0] stays unused.
  Entries entries;
  const PortMap map(stored);
  for (std::int16_t n = kFirstPort; n <= kLastPort; ++n)
    entries[static_cast<std::size_t>(n)] = map.Entry(n);

  // Where each adapter was last seen, by its identity.
  const RegistrySnapshot::Key adapters = stored.OpenKey(kAdaptersKey);
  auto last_seen = [&](const FoundPort& port) -> std::optional<std::string> {
    if (port.adapter.empty()) return std::nullopt;
    return ReadEntry(adapters, port.adapter);
  };
  if (existed) MoveToNewNodes(found, last_seen, entries, result.moved);

  const RegistrySnapshot::Key known = stored.OpenKey(kKnownKey);
  auto is_known = [&](const FoundPort& port) {
    return known.Size(port.device).has_value() || known.Size(port.node).has_value() ||
           last_seen(port).has_value();
  };
  auto named = [&](const FoundPort& port) {
    return std::any_of(entries.begin(), entries.end(), [&](const auto& entry) {
      return entry && FindPort(found, *entry) == &port;
    });
  };

  std::vector<const FoundPort*> fresh;
  std::vector<const FoundPort*>& remember = plan.remember;  // named by an entry, not yet known
  for (const FoundPort& port : found.ports) {
    if (existed) {
      if (named(port)) {
        if (!is_known(port)) remember.push_back(&port);
        continue;
      }
      if (is_known(port)) continue;
    }
    fresh.push_back(&port);
  }

  std::array<bool, kLastPort + 1> taken{};
  taken[0] = true;
  for (std::size_t n = kFirstPort; n <= kLastPort; ++n) taken[n] = entries[n].has_value();
  auto take = [&](int n, const FoundPort& port) {
    taken[static_cast<std::size_t>(n)] = true;
    entries[static_cast<std::size_t>(n)] = port.device;
    result.added.push_back({static_cast<std::int16_t>(n), port.device});
    remember.push_back(&port);
  };
  // Real UARTs first, each at its home number, so that a USB adapter never takes the number
  // that /dev/ttyS<k> has always had.
  std::vector<const FoundPort*> rest;
  for (const FoundPort* port : fresh) {
    const int home = port->uart ? *port->uart + 1 : 0;
    if (InRange(home) && !taken[static_cast<std::size_t>(home)]) {
      take(home, *port);
    } else {
      rest.push_back(port);
    }
  }
  for (const FoundPort* port : rest) {
    const auto free = std::find(taken.begin(), taken.end(), false);
    if (free == taken.end()) {
      result.unplaced.push_back(port->device);
      continue;
    }
    take(static_cast<int>(free - taken.begin()), *port);
  }
  std::sort(result.added.begin(), result.added.end(),
            [](const MapAddition& a, const MapAddition& b) { return a.number < b.number; });

  // A machine without serial ports still gets a port that works end to end.
  if (result.created && found.ports.empty())
    result.added.push_back({kFirstPort, std::string(kLoopback)});

  // Each adapter an entry names is remembered where it is now.
  for (const FoundPort& port : found.ports)
    if (!port.adapter.empty() && last_seen(port) != port.device && named(port))
      plan.adapters.push_back(&port);
  return plan;
}

// Writes `plan` into the tree of HKEY_LOCAL_MACHINE.
void ApplyEnsure(const EnsurePlan& plan, settings::RegKeyNode& tree) {
  const std::int64_t now = settings::FileTimeNow();
  bool created = false;
  settings::RegKeyNode& map =
      settings::CreateKey(tree, *settings::SplitKeyPath(kMapKey), now, created);
  for (const MapAddition& move : plan.result.moved)
    settings::SetStringValue(map, serial::ComName(move.number), move.device);
  for (const MapAddition& addition : plan.result.added)
    settings::SetStringValue(map, serial::ComName(addition.number), addition.device);
  if (!plan.result.added.empty() || !plan.result.moved.empty()) map.last_write = now;
  if (!plan.remember.empty()) {
    settings::RegKeyNode& known =
        settings::CreateKey(tree, *settings::SplitKeyPath(kKnownKey), now, created);
    // A registry value is never stored empty: an empty text is kept as one blank.
    for (const FoundPort* port : plan.remember)
      settings::SetStringValue(known, port->device,
                               port->description.empty() ? " " : port->description);
    known.last_write = now;
  }
  if (!plan.adapters.empty()) {
    settings::RegKeyNode& adapters =
        settings::CreateKey(tree, *settings::SplitKeyPath(kAdaptersKey), now, created);
    for (const FoundPort* port : plan.adapters)
      settings::SetStringValue(adapters, port->adapter, port->device);
    adapters.last_write = now;
  }
}

}  // namespace

EnsureResult EnsurePortMap(const Discovery& found, RegistrySnapshot* after) {
  RegistrySnapshot stored = ReadRegistry();
  EnsurePlan plan = PlanEnsure(stored, found);
  if (plan.NeedsWrite()) {
    // Planned again under the lock from the registry as it is then: someone may have changed the
    // map since the read above.
    const settings::RegResult<> status =
        settings::ModifyHive(kHKeyLocalMachine, [&](settings::RegKeyNode& tree, bool& changed) {
          plan = PlanEnsure(RegistrySnapshot(tree), found);
          changed = plan.NeedsWrite();
          if (changed) ApplyEnsure(plan, tree);
          if (after != nullptr) stored = RegistrySnapshot(tree);
          return settings::RegOk();
        });
    if (!status) {
      const std::string& reason = status.detail();
      throw RegistryError("COM port map", "The COM port map cannot be written (" + reason + ").",
                          reason, RegistryError::Kind::kUnreadable);
    }
  }
  if (after != nullptr) *after = std::move(stored);
  return plan.result;
}

EnsureResult EnsurePortMap(const SystemRoots& roots) {
  return EnsurePortMap(DiscoverPorts(roots));
}

PortMap::PortMap(const RegistrySnapshot& stored) {
  const RegistrySnapshot::Key key = stored.OpenKey(kMapKey);
  for (std::int16_t n = kFirstPort; n <= kLastPort; ++n) {
    const auto text = key.Read(serial::ComName(n));
    if (!text) continue;
    std::string value(Trim(*text, " \t\r\n"));
    if (!value.empty()) entries_[static_cast<std::size_t>(n)] = std::move(value);
  }
}

PortMap PortMap::Read() {
  return PortMap(ReadRegistry());
}

std::optional<std::string> PortMap::Entry(std::int16_t n) const {
  if (!InRange(n)) return std::nullopt;
  return entries_[static_cast<std::size_t>(n)];
}

std::optional<std::string> MapEntry(std::int16_t n) {
  if (!InRange(n)) return std::nullopt;
  return PortMap::Read().Entry(n);
}

std::string CheckTarget(std::string_view target) {
  if (target.empty()) return "no device given";
  if (target.size() > kLongestValue)
    return "longer than the " + std::to_string(kLongestValue) +
           " characters a registry value can hold";
  if (serial::IsLoopbackTarget(target)) {
    try {
      serial::PlugFaults::Parse(serial::PlugSwitches(target));
    } catch (const serial::CommError& e) {
      return "the loopback plug's switches do not parse: " + e.description();
    }
    return {};
  }
  if (target.front() != '/') return "neither an absolute device path (/dev/...) nor loopback";
  if (std::any_of(target.begin(), target.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
    return "the path holds a control character";
  return {};
}

void SetMapEntry(std::int16_t n, std::string_view target) {
  if (!InRange(n)) throw std::invalid_argument(serial::ComName(n) + " is outside COM1 to COM32");
  if (const std::string why = CheckTarget(target); !why.empty())
    throw std::invalid_argument("\"" + std::string(target) + "\": " + why);
  CRegistry map;
  map.OpenKey(kHKeyLocalMachine, kMapKey, true);
  map.WriteValue(serial::ComName(n), target);
  map.CloseKey();
  if (serial::IsLoopbackTarget(target)) return;
  CRegistry known;
  known.OpenKey(kHKeyLocalMachine, kKnownKey, true);
  if (!known.ValueExists(target)) known.WriteValue(target, "");
}

bool ClearMapEntry(std::int16_t n) {
  if (!InRange(n)) throw std::invalid_argument(serial::ComName(n) + " is outside COM1 to COM32");
  CRegistry map;
  if (!OpenExisting(map, kMapKey) || !map.ValueExists(serial::ComName(n))) return false;
  map.DeleteValue(serial::ComName(n));
  return true;
}

std::string PortMap::Resolve(std::int16_t n) const {
  if (!InRange(n))
    throw serial::CommError(serial::kErrInvalidPortNumber,
                            "Com" + std::to_string(n) + " is not a port number (Com1 to Com32).");
  const std::optional<std::string> entry = Entry(n);
  if (!entry) return serial::DefaultDevice(n);
  if (const std::string why = CheckTarget(*entry); !why.empty())
    throw serial::CommError(serial::kErrInvalidPortNumber,
                            "Com" + std::to_string(n) + " in the COM port map names \"" + *entry +
                                "\", which is " + why + ".");
  return *entry;
}

std::string ResolvePort(std::int16_t n) {
  PortMap map;
  if (InRange(n)) {
    try {
      map = PortMap::Read();
    } catch (const RegistryError& e) {
      throw serial::CommError(
          serial::kErrInvalidPortNumber,
          "Com" + std::to_string(n) + ": the COM port map cannot be read: " + e.description());
    }
  }
  return map.Resolve(n);
}

std::string PortMap::Describe(std::int16_t n, const Discovery& found) const {
  if (!InRange(n)) return "Com" + std::to_string(n) + " is not a port number";
  const std::optional<std::string> entry = Entry(n);
  if (!entry) return serial::DefaultDevice(n) + " (no entry in the map)";
  if (serial::IsLoopbackTarget(*entry)) {
    const std::string_view switches = serial::PlugSwitches(*entry);
    if (switches.empty()) return "built-in virtual loopback plug";
    return "built-in virtual loopback plug (" + std::string(switches) + ")";
  }
  if (const FoundPort* port = FindPort(found, *entry))
    return port->description.empty() ? port->node : port->node + " - " + port->description;
  for (const LeftOutPort& port : found.left_out)
    if (*entry == "/dev/" + port.name) return *entry + " (" + port.reason + ")";
  constexpr std::string_view kDev = "/dev/";
  if (std::string_view(*entry).substr(0, kDev.size()) == kDev) {
    std::error_code ec;
    const auto where = found.roots.dev / std::string_view(*entry).substr(kDev.size());
    if (!std::filesystem::exists(where, ec)) return *entry + " (not present)";
  }
  return *entry;
}

std::string DescribeEntry(std::int16_t n, const Discovery& found) {
  if (!InRange(n)) return "Com" + std::to_string(n) + " is not a port number";
  PortMap map;
  try {
    map = PortMap::Read();
  } catch (const std::exception& e) {
    return serial::DefaultDevice(n) + " (the COM port map cannot be read: " + e.what() + ")";
  }
  return map.Describe(n, found);
}

std::string DescribeEntry(std::int16_t n, const SystemRoots& roots) {
  return DescribeEntry(n, DiscoverPorts(roots));
}

}  // namespace serivane::portmap
