#include "settings/settings_store.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "common/conv.h"
#include "common/text.h"

namespace serivane::settings {

namespace {

constexpr float kMaxWindowHeight = 1000000.0f;

// Reads one stored value after another from the same snapshot of the key, noting in the settings
// what could not be read or was refused.
class Loader {
 public:
  Loader(RegistrySnapshot::Key key, Settings& settings) : key_(key), settings_(settings) {}

  // The stored text of `name`; none when it is missing or too long to read (then noted).
  std::optional<std::string> Text(const std::string& name) {
    if (auto text = key_.Read(name)) return text;
    if (const auto size = key_.Size(name))
      settings_.UnreadValues.push_back({name, *size > 0 ? *size - 1 : 0});
    return std::nullopt;
  }

  template <typename Field>
  void Number(const std::string& name, std::int64_t low, std::int64_t high, Field& field) {
    const auto text = Text(name);
    if (!text) return;
    const double number = LeadingNumber(*text);
    std::optional<Field> value;
    if constexpr (sizeof(Field) == sizeof(std::int16_t))
      value = ToInt16(number);
    else
      value = ToInt32(number);
    if (value && *value >= low && *value <= high) {
      field = *value;
      return;
    }
    const std::string range = high == low + 1 ? DecimalText(low) + " or " + DecimalText(high)
                                              : DecimalText(low) + " to " + DecimalText(high);
    settings_.RefusedValues.push_back({name, *text, range, DecimalText(field)});
  }

  void Flag(const std::string& name, bool& field) {
    const auto text = Text(name);
    if (!text) return;
    if (const auto value = ParseBool(*text)) {
      field = *value;
      return;
    }
    settings_.RefusedValues.push_back({name, *text, "True, False or a number", BoolText(field)});
  }

 private:
  RegistrySnapshot::Key key_;
  Settings& settings_;
};

std::string TestValueName(int n) {
  return "Test " + DecimalText(n);
}

// A stored text as a notice quotes it: control characters would break the line they stand in.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) quoted += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  return quoted + "\"";
}

}  // namespace

void LoadSettings(CRegistry& registry, const RegistrySnapshot& stored, Settings& settings) {
  const RegistrySnapshot::Key key = stored.OpenKey(kSettingsKey);
  if (!key.Exists()) {
    // First start: the key is made with its parents, and every value is missing.
    registry.OpenKey(kHKeyLocalMachine, kSettingsKey, true);
    registry.CloseKey();
  }
  settings.UnreadValues.clear();
  settings.RefusedValues.clear();
  constexpr std::int16_t kShortMax = std::numeric_limits<std::int16_t>::max();
  Loader load(key, settings);
  load.Number("Baudrate", kLowestBaudRate, kHighestBaudRate, settings.BaudRate);
  load.Number("Bits", 7, 8, settings.DataBits);
  load.Flag("Close When Finish", settings.CloseWhenFinish);
  load.Number("Comport", kFirstComPort, kLastComPort, settings.ComPort);
  load.Number("Handshake Delay", kLowestMilliseconds, kShortMax, settings.HandshakeDelay);
  load.Number("Max Duration", kLowestMilliseconds, kShortMax, settings.MaxDuration);
  load.Number("Parity", 1, 3, settings.Parity);
  if (auto text = load.Text("Result FileName")) settings.ResultFileName = std::move(*text);
  load.Flag("Run at Startup", settings.RunAtStartup);
  load.Number("Single Bytes", kLowestSingleBytes, kShortMax, settings.SingleBytes);
  load.Number("Stopbits", 1, 2, settings.StopBits);
  load.Number("Test Timeout", kLowestTestTimeout, std::numeric_limits<std::int32_t>::max(),
              settings.TestTimeout);
  for (int n = 1; n <= 5; ++n)
    load.Flag(TestValueName(n), settings.TestSelected[static_cast<std::size_t>(n)]);
  if (const auto text = load.Text("Window Height")) {
    const auto height = static_cast<float>(LeadingNumber(*text));
    if (height > 0.0f && height <= kMaxWindowHeight) settings.WindowHeight = height;
  }
}

void SaveSettings(CRegistry& registry, const Settings& settings) {
  std::vector<std::pair<std::string, std::string>> values = {
      {"Baudrate", DecimalText(settings.BaudRate)},
      {"Bits", DecimalText(settings.DataBits)},
      {"Close When Finish", BoolText(settings.CloseWhenFinish)},
      {"Comport", DecimalText(settings.ComPort)},
      {"Handshake Delay", DecimalText(settings.HandshakeDelay)},
      {"Max Duration", DecimalText(settings.MaxDuration)},
      {"Parity", DecimalText(settings.Parity)},
      {"Result FileName", std::string(Trim(settings.ResultFileName, " "))},
      {"Run at Startup", BoolText(settings.RunAtStartup)},
      {"Stopbits", DecimalText(settings.StopBits)}};
  if (settings.WindowHeight)
    values.emplace_back("Window Height", SingleText(*settings.WindowHeight));
  for (int n = 1; n <= 5; ++n)
    values.emplace_back(TestValueName(n),
                        BoolText(settings.TestSelected[static_cast<std::size_t>(n)]));
  std::erase_if(values, [&](const auto& value) {
    const auto& unread = settings.UnreadValues;
    const auto& refused = settings.RefusedValues;
    return std::any_of(unread.begin(), unread.end(),
                       [&](const auto& u) { return u.name == value.first; }) ||
           std::any_of(refused.begin(), refused.end(), [&](const auto& r) {
             return r.name == value.first && r.kept == value.second;
           });
  });
  registry.OpenKey(kHKeyLocalMachine, kSettingsKey, true);
  registry.WriteValues(values);
  registry.CloseKey();
}

std::vector<std::string> LoadNotices(const Settings& settings) {
  constexpr const char* kOutcome = " The default is used, and the stored value is left as it is.";
  std::vector<std::string> notices;
  for (const auto& value : settings.UnreadValues)
    notices.push_back("Setting \"" + value.name + "\" ignored: its stored text has " +
                      DecimalText(static_cast<std::int64_t>(value.characters)) +
                      " characters, more than the 254 that can be read." + kOutcome);
  for (const auto& value : settings.RefusedValues)
    notices.push_back("Setting \"" + value.name + "\" ignored: its stored value " +
                      Quoted(value.stored) + " is not one the program accepts (" + value.accepted +
                      ")." + kOutcome);
  return notices;
}

}  // namespace serivane::settings
