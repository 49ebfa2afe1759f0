// The command line of serivane-run: what it asks for, checked before anything touches a port, a
// result file or the registry.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "tools/run/checks/check.h"

namespace serivane::run {

// The program's name, as its messages and its report begin.
inline constexpr const char* kProgram = "serivane-run";

// A command line that cannot be run: the message names the word at fault.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Settings given on the command line; the rest come from the window's stored settings.
struct Overrides {
  std::optional<std::array<bool, 6>> tests;  // index = test number, 0 unused
  std::optional<std::int32_t> baud;
  std::optional<std::int16_t> bits;
  std::optional<std::int16_t> parity;  // 1 none, 2 odd, 3 even
  std::optional<std::int16_t> stop;
  std::optional<std::int16_t> single_bytes;
  std::optional<std::int32_t> timeout;
  std::optional<std::int16_t> max_duration;
  std::optional<std::int16_t> handshake_delay;
};

struct Options {
  std::vector<std::string> ports;  // as given: "COM3", "/dev/ttyUSB0", "loopback?cts=off"
  Overrides overrides;
  std::int32_t repeat = 1;  // passes; 0 until a test fails or the run is stopped
  std::optional<std::string> result;
  bool no_result_file = false;
  std::optional<std::string> json;  // "-" for standard output
  std::optional<std::string> junit;
  CheckOptions checks;
  bool quiet = false;
  bool help = false;
  bool version = false;
};

// Reads `args` (without the program name). Options and ports may come in any order; "--" ends
// the options; "--name=value" and "--name value" are both taken. Throws UsageError.
Options ParseOptions(const std::vector<std::string>& args);

// The port number of "COM3" (any letter case); nullopt when `word` is no COM name. Throws
// UsageError for a COM name outside 1 to 32.
std::optional<std::int16_t> ComNumber(const std::string& word);

// "90s", "10m", "2h", "45" (seconds) as milliseconds; throws UsageError naming `option`.
std::int64_t ParseDuration(const std::string& option, const std::string& value);
// "9600,115200" as rates, each within the rates the settings accept; throws UsageError.
std::vector<std::int32_t> ParseRates(const std::string& option, const std::string& value);

// Gives `settings` the values of `overrides` that are set.
void ApplyOverrides(const Overrides& overrides, settings::Settings& settings);

std::string HelpText();

}  // namespace serivane::run
