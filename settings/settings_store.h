// Loading and saving the operator's settings: the string values of the key
// HKEY_LOCAL_MACHINE\Software\Balvoric\RS-232 Serivane, opened with blnCreateNew true, so the
// key is made with its parents on first use. Numbers are stored as decimal text, booleans as
// "True"/"False", the window height as a single-precision number in twips.
//
// LoadSettings reads, in this order, "Baudrate", "Bits", "Close When Finish", "Comport",
// "Handshake Delay", "Max Duration", "Parity", "Result FileName", "Run at Startup", "Single Bytes",
// "Stopbits", "Test Timeout", "Test 1" to "Test 5" and "Window Height", each only when
// ValueExists says it is there, and closes the key. A value that is there but too long to read
// (a text over 254 characters) is noted in UnreadValues and otherwise counts as missing.
// A missing value leaves the field at the value it had on entry (a default-made Settings holds
// the defaults). Conversions:
//   - number: the leading number of the text (blanks skipped, "." as decimal point, no number
//     reads as 0), rounded half to even: "9600.4" -> 9600, "2.5" -> 2, "3x" -> 3, "" -> 0. A
//     number outside the field's 16 or 32 bits keeps the field's entry value.
//   - boolean: "True"/"False" in any letter case or a number (0 false, else true); any other
//     text keeps the entry value.
//   - "Result FileName": the text as stored, blanks included.
//   - "Window Height": a number above 0 and at most 1,000,000 twips; anything else (no number,
//     zero, negative, absurd) leaves WindowHeight as it was on entry.
// Values that are in range but have no menu item (say "Bits" 5) are loaded as they are; the
// window decides what to show for them.
//
// SaveSettings writes, in one write of the registry file (all or none of them), sixteen values in
// this order: "Baudrate", "Bits", "Close When Finish",
// "Comport", "Handshake Delay", "Max Duration", "Parity", "Result FileName" (blanks trimmed from
// both ends; an empty result is stored as one blank), "Run at Startup", "Stopbits", "Window
// Height", "Test 1" to "Test 5"; then it closes the key. "Single Bytes" and "Test Timeout" are
// never written. "Window Height" is written only when WindowHeight holds a height (the window
// sets it before saving). A value named in UnreadValues is not written.
//
// Neither catches RegistryError. A failure of LoadSettings ends it at that value; a failure of
// SaveSettings leaves every value as it was stored before.
#pragma once

#include "settings/cregistry.h"
#include "settings/settings.h"

namespace serivane::settings {

inline constexpr const char* kSettingsKey = "Software\\Balvoric\\RS-232 Serivane";

void LoadSettings(CRegistry& registry, Settings& settings);
void SaveSettings(CRegistry& registry, const Settings& settings);

// Gives the loaded values that no control of the window offers their defaults: a port outside
// Com1 to Com32, a rate that is no rate (zero or negative), data bits other than 7 and 8, stop
// bits other than 1 and 2, a parity outside 1 to 3. A positive rate that the baud menu does not
// offer is kept (the port may take it). Every other field stays as it is.
void ApplyWindowLimits(Settings& settings);

// What the window says about a value loading could not read, once, after loading.
std::string UnreadValueNotice(const Settings::UnreadValue& value);

}  // namespace serivane::settings
