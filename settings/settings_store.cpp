#include "settings/settings_store.h"

#include <string>

#include "common/conv.h"

namespace serivane::settings {

namespace {

constexpr float kMaxWindowHeight = 1000000.0f;

void LoadInt16(CRegistry& registry, const char* name, std::int16_t& field) {
  if (!registry.ValueExists(name)) return;
  if (const auto value = ToInt16(LeadingNumber(registry.ReadValue(name)))) field = *value;
}

void LoadInt32(CRegistry& registry, const char* name, std::int32_t& field) {
  if (!registry.ValueExists(name)) return;
  if (const auto value = ToInt32(LeadingNumber(registry.ReadValue(name)))) field = *value;
}

void LoadBool(CRegistry& registry, const std::string& name, bool& field) {
  if (!registry.ValueExists(name)) return;
  if (const auto value = ParseBool(registry.ReadValue(name))) field = *value;
}

std::string TrimBlanks(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

std::string TestValueName(int n) {
  return "Test " + DecimalText(n);
}

}  // namespace

void LoadSettings(CRegistry& registry, Settings& settings) {
  registry.OpenKey(kHKeyLocalMachine, kSettingsKey, true);
  LoadInt32(registry, "Baudrate", settings.BaudRate);
  LoadInt16(registry, "Bits", settings.DataBits);
  LoadBool(registry, "Close When Finish", settings.CloseWhenFinish);
  LoadInt16(registry, "Comport", settings.ComPort);
  LoadInt16(registry, "Handshake Delay", settings.HandshakeDelay);
  LoadInt16(registry, "Max Duration", settings.MaxDuration);
  LoadInt16(registry, "Parity", settings.Parity);
  if (registry.ValueExists("Result FileName"))
    settings.ResultFileName = registry.ReadValue("Result FileName");
  LoadBool(registry, "Run at Startup", settings.RunAtStartup);
  LoadInt16(registry, "Single Bytes", settings.SingleBytes);
  LoadInt16(registry, "Stopbits", settings.StopBits);
  LoadInt32(registry, "Test Timeout", settings.TestTimeout);
  for (int n = 1; n <= 5; ++n)
    LoadBool(registry, TestValueName(n), settings.TestSelected[static_cast<std::size_t>(n)]);
  if (registry.ValueExists("Window Height")) {
    const auto height = static_cast<float>(LeadingNumber(registry.ReadValue("Window Height")));
    if (height > 0.0f && height <= kMaxWindowHeight) settings.WindowHeight = height;
  }
  registry.CloseKey();
}

void SaveSettings(CRegistry& registry, const Settings& settings) {
  registry.OpenKey(kHKeyLocalMachine, kSettingsKey, true);
  registry.WriteValue("Baudrate", DecimalText(settings.BaudRate));
  registry.WriteValue("Bits", DecimalText(settings.DataBits));
  registry.WriteValue("Close When Finish", BoolText(settings.CloseWhenFinish));
  registry.WriteValue("Comport", DecimalText(settings.ComPort));
  registry.WriteValue("Handshake Delay", DecimalText(settings.HandshakeDelay));
  registry.WriteValue("Max Duration", DecimalText(settings.MaxDuration));
  registry.WriteValue("Parity", DecimalText(settings.Parity));
  registry.WriteValue("Result FileName", TrimBlanks(settings.ResultFileName));
  registry.WriteValue("Run at Startup", BoolText(settings.RunAtStartup));
  registry.WriteValue("Stopbits", DecimalText(settings.StopBits));
  if (settings.WindowHeight)
    registry.WriteValue("Window Height", SingleText(*settings.WindowHeight));
  for (int n = 1; n <= 5; ++n)
    registry.WriteValue(TestValueName(n),
                        BoolText(settings.TestSelected[static_cast<std::size_t>(n)]));
  registry.CloseKey();
}

}  // namespace serivane::settings
