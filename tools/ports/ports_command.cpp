#include "tools/ports/ports_command.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <stdexcept>

#include "serial/port_names.h"
#include "settings/cregistry.h"

namespace serivane::portmap {

namespace {

constexpr const char* kUsage =
    "Usage: serivane-ports               list the COM port map and the serial devices found\n"
    "       serivane-ports map N DEVICE  make COM<N> name DEVICE (a path, or loopback)\n"
    "       serivane-ports unmap N       remove COM<N> from the map\n"
    "       serivane-ports --help        show this text\n"
    "\n"
    "N is 1 to 32 (COM4 and Com4 are taken too). DEVICE is a device path such as\n"
    "/dev/ttyUSB0 or /dev/serial/by-id/..., or loopback for the built-in virtual loopback plug,\n"
    "optionally with fault switches: 'loopback?cts=off&drop=10'. A number without an entry\n"
    "names /dev/ttyS<N-1>.\n"
    "\n"
    "A missing map is filled from the devices found, as serivane does at its first start; at\n"
    "every run, devices seen for the first time get the next free numbers.\n";

// "4", "COM4", "com4"; nullopt for anything else, including numbers outside 1..32.
std::optional<std::int16_t> ParseNumber(std::string_view text) {
  if (const auto digits = serial::ComDigits(text)) text = *digits;
  if (text.empty() || text.size() > 2) return std::nullopt;
  int n = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n < kFirstPort || n > kLastPort) return std::nullopt;
  return static_cast<std::int16_t>(n);
}

void ReportEnsure(const EnsureResult& result, std::ostream& out, std::ostream& err) {
  if (result.created) out << "Created the COM port map from the devices found.\n";
  for (const MapAddition& addition : result.added)
    out << "Added " << serial::ComName(addition.number) << " = " << addition.device << "\n";
  for (const MapAddition& move : result.moved)
    out << serial::ComName(move.number) << " follows its adapter to " << move.device << "\n";
  for (const std::string& device : result.unplaced)
    err << "serivane-ports: no free number for " << device << "\n";
}

// The numbers that name `port`: entries that lead to it, and a number without an entry whose
// plain rule does.
std::vector<int> NumbersOf(const FoundPort& port, const Discovery& found,
                           const std::vector<std::optional<std::string>>& entries) {
  std::vector<int> numbers;
  for (int n = kFirstPort; n <= kLastPort; ++n) {
    const auto& entry = entries[static_cast<std::size_t>(n - kFirstPort)];
    if (entry ? FindPort(found, *entry) == &port : port.uart && *port.uart == n - 1)
      numbers.push_back(n);
  }
  return numbers;
}

void List(const Discovery& found, std::ostream& out) {
  std::vector<std::optional<std::string>> entries;
  std::size_t width = 1;
  for (std::int16_t n = kFirstPort; n <= kLastPort; ++n) {
    entries.push_back(MapEntry(n));
    if (entries.back()) width = std::max(width, entries.back()->size());
  }
  width = std::min<std::size_t>(width, 48);

  out << "COM port map (HKEY_LOCAL_MACHINE\\" << kMapKey << "):\n";
  for (std::int16_t n = kFirstPort; n <= kLastPort; ++n) {
    const auto& entry = entries[static_cast<std::size_t>(n - kFirstPort)];
    std::string number = serial::ComName(n);
    number.resize(6, ' ');
    std::string value = entry.value_or("-");
    if (value.size() < width) value.resize(width, ' ');
    out << "  " << number << value << "  " << DescribeEntry(n, found) << "\n";
  }

  out << "Serial devices found:\n";
  if (found.ports.empty()) out << "  none\n";
  for (const FoundPort& port : found.ports) {
    out << "  " << port.node;
    if (!port.description.empty()) out << " - " << port.description;
    const std::vector<int> numbers = NumbersOf(port, found, entries);
    if (numbers.empty()) {
      out << ": not mapped";
    } else {
      out << ":";
      for (int n : numbers) out << " " << serial::ComName(n);
    }
    if (port.device != port.node) out << " (" << port.device << ")";
    out << "\n";
  }
  for (const LeftOutPort& port : found.left_out)
    out << "  /dev/" << port.name << ": left out, " << port.reason << "\n";
}

int Map(std::int16_t n, const std::string& target, const Discovery& found, std::ostream& out,
        std::ostream& err) {
  if (target.rfind("/dev/", 0) == 0) {
    std::error_code ec;
    if (!std::filesystem::exists(found.roots.dev / target.substr(5), ec))
      err << "serivane-ports: note: " << target << " does not exist now\n";
    for (const LeftOutPort& port : found.left_out)
      if (target == "/dev/" + port.name)
        err << "serivane-ports: note: " << target << " is left out of discovery (" << port.reason
            << ")\n";
  }
  const FoundPort* port = FindPort(found, target);
  for (std::int16_t other = kFirstPort; other <= kLastPort; ++other) {
    if (other == n) continue;
    const auto entry = MapEntry(other);
    if (entry && (*entry == target || (port && FindPort(found, *entry) == port)))
      err << "serivane-ports: note: " << serial::ComName(other) << " names the same device\n";
  }
  SetMapEntry(n, target);
  out << serial::ComName(n) << " = " << target << "\n";
  return 0;
}

int Unmap(std::int16_t n, std::ostream& out, std::ostream& err) {
  if (!ClearMapEntry(n)) {
    err << "serivane-ports: " << serial::ComName(n) << " has no entry in the map; nothing to do\n";
    return 0;
  }
  out << "Removed " << serial::ComName(n) << "; it names " << serial::DefaultDevice(n) << " now\n";
  return 0;
}

}  // namespace

int RunPortsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                    const SystemRoots& roots) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    out << kUsage;
    return 0;
  }
  const std::string command = args.empty() ? "list" : args[0];
  const std::size_t wanted = command == "list" ? 1 : command == "map" ? 3 : 2;
  if ((command != "list" && command != "map" && command != "unmap") ||
      (!args.empty() && args.size() != wanted)) {
    if (command != "list" && command != "map" && command != "unmap")
      err << "serivane-ports: unknown command \"" << command << "\"\n";
    else
      err << "serivane-ports: " << command << ": wrong number of arguments\n";
    err << kUsage;
    return 1;
  }
  std::optional<std::int16_t> number;
  if (command != "list") {
    number = ParseNumber(args[1]);
    if (!number) {
      err << "serivane-ports: \"" << args[1] << "\" is not a port number (1 to 32)\n";
      return 1;
    }
  }
  // Refused before the map is touched, so that a typing error changes nothing.
  if (command == "map") {
    if (const std::string why = CheckTarget(args[2]); !why.empty()) {
      err << "serivane-ports: cannot map " << serial::ComName(*number) << " to \"" << args[2]
          << "\": " << why << "\n";
      return 1;
    }
  }

  try {
    const Discovery found = DiscoverPorts(roots);
    ReportEnsure(EnsurePortMap(found), out, err);
    if (command == "map") return Map(*number, args[2], found, out, err);
    if (command == "unmap") return Unmap(*number, out, err);
    List(found, out);
    return 0;
  } catch (const settings::RegistryError& e) {
    err << "serivane-ports: " << e.description() << " (" << e.source() << ")\n";
  } catch (const std::exception& e) {
    err << "serivane-ports: " << e.what() << "\n";
  }
  return 1;
}

}  // namespace serivane::portmap
