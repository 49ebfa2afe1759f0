// Loading and saving the operator's settings: the string values of the key
// HKEY_LOCAL_MACHINE\Software\Balvoric\RS-232 Serivane, opened with blnCreateNew true, so the
// key is made with its parents on first use. Numbers are stored as decimal text, booleans as
// "True"/"False", the window height as a single-precision number in twips.
//
// LoadSettings reads every value from one snapshot of the registry (so that a whole set of
// settings another process stores meanwhile is seen whole or not at all), creating the key when
// the snapshot has none: "Baudrate", "Bits", "Close When Finish", "Comport", "Handshake Delay",
// "Max Duration", "Parity", "Result FileName", "Run at Startup", "Single Bytes", "Stopbits",
// "Test Timeout", "Test 1" to "Test 5" and "Window Height". A value that is there but too long to
// read (a text over 254 characters) is noted in UnreadValues and otherwise counts as missing.
// A missing value leaves the field at the value it had on entry (a default-made Settings holds
// the defaults). Conversions:
//   - number: the leading number of the text (blanks skipped, "." as decimal point, no number
//     reads as 0), rounded half to even: "9600.4" -> 9600, "2.5" -> 2, "3x" -> 3, "" -> 0.
//   - boolean: "True"/"False" in any letter case or a number (0 false, else true).
//   - "Result FileName": the text as stored, blanks included.
//   - "Window Height": a number above 0 and at most 1,000,000 twips; anything else (no number,
//     zero, negative, absurd) leaves WindowHeight as it was on entry.
// A number outside what the program accepts anywhere (the ranges below, the union of the menus,
// the input boxes and serivane-run's options), and a boolean text that is neither, keeps the
// field's entry value and is noted in RefusedValues with its stored text.
//
// SaveSettings writes, in one write of the registry file (all or none of them), sixteen values in
// this order: "Baudrate", "Bits", "Close When Finish",
// "Comport", "Handshake Delay", "Max Duration", "Parity", "Result FileName" (blanks trimmed from
// both ends; an empty result is stored as one blank), "Run at Startup", "Stopbits", "Window
// Height", "Test 1" to "Test 5"; then it closes the key. "Single Bytes" and "Test Timeout" are
// never written. "Window Height" is written only when WindowHeight holds a height (the window
// sets it before saving). A value named in UnreadValues is not written.
// A value named in RefusedValues is not written either while its field still holds what loading
// kept, so that a stored value nobody changed is not replaced by a default nobody chose.
//
// Neither catches RegistryError. A failure of LoadSettings ends it at that value; a failure of
// SaveSettings leaves every value as it was stored before.
#pragma once

#include <string>
#include <vector>

#include "settings/cregistry.h"
#include "settings/settings.h"

namespace serivane::settings {

inline constexpr const char* kSettingsKey = "Software\\Balvoric\\RS-232 Serivane";

// What the program accepts for each number it keeps.
inline constexpr std::int16_t kFirstComPort = 1, kLastComPort = 32;
inline constexpr std::int32_t kLowestBaudRate = 50, kHighestBaudRate = 4000000;
inline constexpr std::int16_t kLowestSingleBytes = 1;
inline constexpr std::int16_t kLowestMilliseconds = 0;  // handshake delay, max duration
inline constexpr std::int32_t kLowestTestTimeout = 0;

// `stored` is the registry as read at start; `registry` only creates the key when it is missing.
void LoadSettings(CRegistry& registry, const RegistrySnapshot& stored, Settings& settings);
void SaveSettings(CRegistry& registry, const Settings& settings);

// What the program says, once after loading, about each stored value it did not use: one line
// each, unread values first.
std::vector<std::string> LoadNotices(const Settings& settings);

}  // namespace serivane::settings
