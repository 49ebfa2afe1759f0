#include "settings/settings_store.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "common/conv.h"
#include "common/text.h"

namespace serivane::settings {

namespace {

constexpr float kMaxWindowHeight = 1000000.0f;

// Whether `name` can be read; a value that is there but too long is noted in `settings`.
bool Readable(CRegistry& registry, const std::string& name, Settings& settings) {
  if (registry.ValueExists(name)) return true;
  if (const auto size = registry.ValueSize(name))
    settings.UnreadValues.push_back({name, *size > 0 ? *size - 1 : 0});
  return false;
}

void LoadInt16(CRegistry& registry, const char* name, Settings& settings, std::int16_t& field) {
  if (!Readable(registry, name, settings)) return;
  if (const auto value = ToInt16(LeadingNumber(registry.ReadValue(name)))) field = *value;
}

void LoadInt32(CRegistry& registry, const char* name, Settings& settings, std::int32_t& field) {
  if (!Readable(registry, name, settings)) return;
  if (const auto value = ToInt32(LeadingNumber(registry.ReadValue(name)))) field = *value;
}

void LoadBool(CRegistry& registry, const std::string& name, Settings& settings, bool& field) {
  if (!Readable(registry, name, settings)) return;
  if (const auto value = ParseBool(registry.ReadValue(name))) field = *value;
}

std::string TestValueName(int n) {
  return "Test " + DecimalText(n);
}

}  // namespace

void LoadSettings(CRegistry& registry, Settings& settings) {
  registry.OpenKey(kHKeyLocalMachine, kSettingsKey, true);
  settings.UnreadValues.clear();
  LoadInt32(registry, "Baudrate", settings, settings.BaudRate);
  LoadInt16(registry, "Bits", settings, settings.DataBits);
  LoadBool(registry, "Close When Finish", settings, settings.CloseWhenFinish);
  LoadInt16(registry, "Comport", settings, settings.ComPort);
  LoadInt16(registry, "Handshake Delay", settings, settings.HandshakeDelay);
  LoadInt16(registry, "Max Duration", settings, settings.MaxDuration);
  LoadInt16(registry, "Parity", settings, settings.Parity);
  if (Readable(registry, "Result FileName", settings))
    settings.ResultFileName = registry.ReadValue("Result FileName");
  LoadBool(registry, "Run at Startup", settings, settings.RunAtStartup);
  LoadInt16(registry, "Single Bytes", settings, settings.SingleBytes);
  LoadInt16(registry, "Stopbits", settings, settings.StopBits);
  LoadInt32(registry, "Test Timeout", settings, settings.TestTimeout);
  for (int n = 1; n <= 5; ++n)
    LoadBool(registry, TestValueName(n), settings,
             settings.TestSelected[static_cast<std::size_t>(n)]);
  if (Readable(registry, "Window Height", settings)) {
    const auto height = static_cast<float>(LeadingNumber(registry.ReadValue("Window Height")));
    if (height > 0.0f && height <= kMaxWindowHeight) settings.WindowHeight = height;
  }
  registry.CloseKey();
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
    return std::any_of(settings.UnreadValues.begin(), settings.UnreadValues.end(),
                       [&](const auto& unread) { return unread.name == value.first; });
  });
  registry.OpenKey(kHKeyLocalMachine, kSettingsKey, true);
  registry.WriteValues(values);
  registry.CloseKey();
}

void ApplyWindowLimits(Settings& settings) {
  const Settings defaults;
  if (settings.ComPort < 1 || settings.ComPort > 32) settings.ComPort = defaults.ComPort;
  if (settings.BaudRate <= 0) settings.BaudRate = defaults.BaudRate;
  if (settings.DataBits != 7 && settings.DataBits != 8) settings.DataBits = defaults.DataBits;
  if (settings.StopBits != 1 && settings.StopBits != 2) settings.StopBits = defaults.StopBits;
  if (settings.Parity < 1 || settings.Parity > 3) settings.Parity = defaults.Parity;
}

std::string UnreadValueNotice(const Settings::UnreadValue& value) {
  return "Setting \"" + value.name + "\" ignored: its stored text has " +
         DecimalText(static_cast<std::int64_t>(value.characters)) +
         " characters, more than the 254 that can be read. The default is used, and the stored "
         "value is left as it is.";
}

}  // namespace serivane::settings
