#include "tools/run/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <iterator>
#include <limits>

#include "common/text.h"
#include "portmap/portmap.h"
#include "serial/plug_faults.h"
#include "serial/port_names.h"
#include "settings/settings_store.h"

namespace serivane::run {

namespace {

// A whole decimal number from `low` to `high`, nothing around it.
std::int64_t Whole(const std::string& option, const std::string& value, std::int64_t low,
                   std::int64_t high) {
  std::int64_t n = 0;
  const char* end = value.data() + value.size();
  const auto [ptr, ec] = std::from_chars(value.data(), end, n);
  if (value.empty() || ec == std::errc::invalid_argument || ptr != end) {
    throw UsageError(option + ": '" + value + "' is not a whole number");
  }
  if (ec == std::errc::result_out_of_range || n < low || n > high) {
    throw UsageError(option + ": '" + value + "' is out of range (" + std::to_string(low) + " to " +
                     std::to_string(high) + ")");
  }
  return n;
}

// A value that must be one of two digits, as --bits and --stop take.
std::int16_t EitherDigit(const std::string& option, const std::string& value, char a, char b) {
  if (value.size() != 1 || (value[0] != a && value[0] != b)) {
    throw UsageError(option + ": '" + value + "' is not " + a + " or " + b);
  }
  return static_cast<std::int16_t>(value[0] - '0');
}

std::int16_t Short(const std::string& option, const std::string& value, std::int64_t low) {
  return static_cast<std::int16_t>(
      Whole(option, value, low, std::numeric_limits<std::int16_t>::max()));
}

std::array<bool, 6> TestList(const std::string& option, const std::string& value) {
  std::array<bool, 6> tests{};
  std::size_t start = 0;
  bool any = false;
  while (start <= value.size()) {
    const std::size_t comma = std::min(value.find(',', start), value.size());
    const std::string item = value.substr(start, comma - start);
    if (item.size() != 1 || item[0] < '1' || item[0] > '5') {
      throw UsageError(option + ": '" + (item.empty() ? value : item) +
                       "' is not a test number (1 to 5, separated by commas: 1,2,5)");
    }
    tests[static_cast<std::size_t>(item[0] - '0')] = true;
    any = true;
    start = comma + 1;
  }
  if (!any) throw UsageError(option + ": no test number given");
  return tests;
}

void CheckPort(const std::string& word) {
  if (ComNumber(word)) return;
  if (!word.empty() && word[0] == '/') return;
  if (serial::IsLoopbackTarget(word)) {
    const std::string why = portmap::CheckTarget(word);
    if (!why.empty()) throw UsageError("port '" + word + "': " + why);
    return;
  }
  throw UsageError("'" + word +
                   "' is not a port: give COM1 to COM32, a device path or a loopback target");
}

}  // namespace

std::optional<std::int16_t> ComNumber(const std::string& word) {
  const auto digits = serial::ComDigits(word);
  if (!digits) return std::nullopt;
  const int n = digits->size() > 2 ? 0 : std::stoi(std::string(*digits));
  if (n < portmap::kFirstPort || n > portmap::kLastPort)
    throw UsageError("port '" + word + "': the port number must be 1 to 32");
  return static_cast<std::int16_t>(n);
}

namespace {

// How an option takes its value.
enum class Takes {
  kNothing,  // a switch: "--quiet"; "--quiet=x" is refused
  kValue,    // "--baud 9600" or "--baud=9600"
  kMaybe,    // "--sweep", "--sweep=LIST", or "--sweep LIST" where LIST starts with a digit
};

// Does what an option asks; `value` is nullopt when the option came without one.
using Handler = void (*)(Options& o, const std::string& name,
                         const std::optional<std::string>& value);

struct OptionEntry {
  const char* name;
  Takes takes;
  Handler apply;
};

std::string NeedFile(const std::string& name, const std::string& value, const char* hint = "") {
  if (value.empty()) throw UsageError(name + ": no file name given" + hint);
  return value;
}

const OptionEntry kOptions[] = {
    {"--tests", Takes::kValue,
     [](Options& o, auto& n, auto& s) { o.overrides.tests = TestList(n, *s); }},
    {"--baud", Takes::kValue,
     [](Options& o, auto& n, auto& s) {
       o.overrides.baud = static_cast<std::int32_t>(
           Whole(n, *s, settings::kLowestBaudRate, settings::kHighestBaudRate));
     }},
    {"--bits", Takes::kValue,
     [](Options& o, auto& n, auto& s) { o.overrides.bits = EitherDigit(n, *s, '7', '8'); }},
    {"--parity", Takes::kValue,
     [](Options& o, auto& n, auto& s) {
       const std::string p = Upper(*s);
       if (p != "N" && p != "O" && p != "E")
         throw UsageError(n + ": '" + *s + "' is not N, O or E");
       o.overrides.parity = static_cast<std::int16_t>(p == "N" ? 1 : p == "O" ? 2 : 3);
     }},
    {"--stop", Takes::kValue,
     [](Options& o, auto& n, auto& s) { o.overrides.stop = EitherDigit(n, *s, '1', '2'); }},
    {"--single-bytes", Takes::kValue,
     [](Options& o, auto& n, auto& s) {
       o.overrides.single_bytes = Short(n, *s, settings::kLowestSingleBytes);
     }},
    {"--timeout", Takes::kValue,
     [](Options& o, auto& n, auto& s) {
       o.overrides.timeout = static_cast<std::int32_t>(
           Whole(n, *s, settings::kLowestTestTimeout, std::numeric_limits<std::int32_t>::max()));
     }},
    {"--max-duration", Takes::kValue,
     [](Options& o, auto& n, auto& s) {
       o.overrides.max_duration = Short(n, *s, settings::kLowestMilliseconds);
     }},
    {"--handshake-delay", Takes::kValue,
     [](Options& o, auto& n, auto& s) {
       o.overrides.handshake_delay = Short(n, *s, settings::kLowestMilliseconds);
     }},
    {"--repeat", Takes::kValue,
     [](Options& o, auto& n, auto& s) {
       o.repeat =
           static_cast<std::int32_t>(Whole(n, *s, 0, std::numeric_limits<std::int32_t>::max()));
     }},
    {"--result", Takes::kValue, [](Options& o, auto& n, auto& s) { o.result = NeedFile(n, *s); }},
    {"--no-result-file", Takes::kNothing,
     [](Options& o, auto&, auto&) { o.no_result_file = true; }},
    {"--json", Takes::kValue,
     [](Options& o, auto& n, auto& s) { o.json = NeedFile(n, *s, " (- for standard output)"); }},
    {"--junit", Takes::kValue, [](Options& o, auto& n, auto& s) { o.junit = NeedFile(n, *s); }},
    {"--plug", Takes::kValue,
     [](Options& o, auto& n, auto& s) {
       if (*s != "full" && *s != "standard")
         throw UsageError(n + ": '" + *s + "' is not full or standard");
       o.checks.full_plug = *s == "full";
     }},
    {"--break", Takes::kValue,
     [](Options& o, auto& n, auto& s) {
       o.checks.break_ms = static_cast<std::int32_t>(Whole(n, *s, 1, 10000));
     }},
    {"--latency", Takes::kValue,
     [](Options& o, auto& n, auto& s) {
       o.checks.latency_rounds = static_cast<std::int32_t>(Whole(n, *s, 1, 1000000));
     }},
    {"--sweep", Takes::kMaybe,
     [](Options& o, auto& n, auto& s) {
       o.checks.sweep = s ? ParseRates(n, *s) : std::vector<std::int32_t>{};
     }},
    {"--soak", Takes::kValue,
     [](Options& o, auto& n, auto& s) { o.checks.soak_ms = ParseDuration(n, *s); }},
    {"--flow", Takes::kValue,
     [](Options& o, auto& n, auto& s) {
       if (*s != "rts" && *s != "none") throw UsageError(n + ": '" + *s + "' is not rts or none");
       o.checks.flow_rts = *s == "rts";
     }},
    {"-q", Takes::kNothing, [](Options& o, auto&, auto&) { o.quiet = true; }},
    {"--quiet", Takes::kNothing, [](Options& o, auto&, auto&) { o.quiet = true; }},
    {"-h", Takes::kNothing, [](Options& o, auto&, auto&) { o.help = true; }},
    {"--help", Takes::kNothing, [](Options& o, auto&, auto&) { o.help = true; }},
    {"--version", Takes::kNothing, [](Options& o, auto&, auto&) { o.version = true; }},
};

}  // namespace

Options ParseOptions(const std::vector<std::string>& args) {
  Options o;
  bool options_done = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
      CheckPort(arg);
      o.ports.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const auto option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                     [&](const OptionEntry& s) { return name == s.name; });
    if (option == std::end(kOptions)) throw UsageError("unknown option '" + name + "'");
    std::optional<std::string> value;
    if (eq != std::string::npos) {
      if (option->takes == Takes::kNothing) throw UsageError(name + " takes no value");
      value = arg.substr(eq + 1);
    } else if (option->takes == Takes::kValue) {
      if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
      value = args[++i];
    } else if (option->takes == Takes::kMaybe && i + 1 < args.size() && !args[i + 1].empty() &&
               std::isdigit(static_cast<unsigned char>(args[i + 1][0]))) {
      value = args[++i];
    }
    option->apply(o, name, value);
  }
  if (o.no_result_file && o.result) {
    throw UsageError("--result and --no-result-file cannot be given together");
  }
  if (o.checks.flow_rts && !o.checks.soak_ms) throw UsageError("--flow rts needs --soak");
  if (o.json == "-" && o.junit == "-") {
    throw UsageError("--json and --junit cannot both go to standard output");
  }
  return o;
}

std::int64_t ParseDuration(const std::string& option, const std::string& value) {
  std::int64_t unit_ms = 1000;
  std::string digits = value;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 's':
        digits.pop_back();
        break;
      case 'm':
        unit_ms = 60'000;
        digits.pop_back();
        break;
      case 'h':
        unit_ms = 3'600'000;
        digits.pop_back();
        break;
      default:
        break;
    }
  }
  std::int64_t n = 0;
  const char* end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, n);
  if (digits.empty() || ec != std::errc() || ptr != end) {
    throw UsageError(option + ": '" + value + "' is not a duration (90s, 10m, 2h)");
  }
  // A week at most: beyond it the number is a typing error, not a soak.
  constexpr std::int64_t kWeekMs = 7 * 24 * 3'600'000LL;
  if (n < 1 || n > kWeekMs / unit_ms) {
    throw UsageError(option + ": '" + value + "' is out of range (1s to 168h)");
  }
  return n * unit_ms;
}

std::vector<std::int32_t> ParseRates(const std::string& option, const std::string& value) {
  std::vector<std::int32_t> rates;
  std::size_t start = 0;
  while (start <= value.size()) {
    const std::size_t comma = std::min(value.find(',', start), value.size());
    rates.push_back(
        static_cast<std::int32_t>(Whole(option, value.substr(start, comma - start),
                                        settings::kLowestBaudRate, settings::kHighestBaudRate)));
    start = comma + 1;
  }
  return rates;
}

void ApplyOverrides(const Overrides& v, settings::Settings& s) {
  if (v.tests) s.TestSelected = *v.tests;
  if (v.baud) s.BaudRate = *v.baud;
  if (v.bits) s.DataBits = *v.bits;
  if (v.parity) s.Parity = *v.parity;
  if (v.stop) s.StopBits = *v.stop;
  if (v.single_bytes) s.SingleBytes = *v.single_bytes;
  if (v.timeout) s.TestTimeout = *v.timeout;
  if (v.max_duration) s.MaxDuration = *v.max_duration;
  if (v.handshake_delay) s.HandshakeDelay = *v.handshake_delay;
}

std::string HelpText() {
  return "Usage: serivane-run [OPTION]... [PORT]...\n"
         "Tests serial ports through a loopback plug, without a window: the same five tests\n"
         "and result file as serivane, several ports at once.\n"
         "\n"
         "PORT is COM1 to COM32 (through the COM port map), a device path such as\n"
         "/dev/ttyUSB0, or the virtual loopback plug ('loopback', 'loopback?cts=off').\n"
         "Without one, the port stored by serivane. Settings not given come from serivane's\n"
         "stored settings.\n"
         "\n"
         "  --tests LIST           tests to run, e.g. 1,2,5 (1 close/open, 2 data, 3 single\n"
         "                         bytes, 4 RTS/CTS, 5 DTR/DSR)\n"
         "  --baud N               bits per second (50 to 4000000)\n"
         "  --bits 7|8             data bits\n"
         "  --parity N|O|E         parity\n"
         "  --stop 1|2             stop bits\n"
         "  --single-bytes N       characters of the single-bytes test\n"
         "  --timeout MS           added to the wire time of the data tests\n"
         "  --max-duration MS      longest close/open that is not slow\n"
         "  --handshake-delay MS   pause between setting RTS/DTR and reading CTS/DSR\n"
         "  --repeat N             passes (0: until a test fails or Ctrl+C)\n"
         "  --result FILE          result file (with several ports, one file each, the\n"
         "                         port name before the extension)\n"
         "  --no-result-file       write no result file\n"
         "  --json FILE            machine-readable report (- for standard output)\n"
         "  --junit FILE           JUnit XML report, for CI systems (- for standard output)\n"
         "\n"
         "Checks after the tests (each fails the run when it fails):\n"
         "  --plug full            the plug also wires DCD (to DTR) and RI (to RTS): check them\n"
         "  --break MS             send a break of MS milliseconds; it must come back\n"
         "  --latency N            N single-character round trips: median, 95th, 99th, maximum\n"
         "  --sweep [RATES]        a block at each rate (default: the standard rates the port\n"
         "                         takes), e.g. --sweep=9600,115200\n"
         "  --soak DURATION        a checked stream for that long (90s, 10m, 2h)\n"
         "  --flow rts             soak with RTS/CTS handshake on\n"
         "\n"
         "  -q, --quiet            print nothing but errors\n"
         "  -h, --help             show this text\n"
         "      --version          show the version\n"
         "\n"
         "Exit status: 0 every test passed and every output was written, 1 a test failed,\n"
         "2 bad usage, 3 a port could not be opened or set up, or an output (result file,\n"
         "report) could not be written, 130/143/129 stopped by Ctrl+C, SIGTERM or SIGHUP.\n";
}

}  // namespace serivane::run
