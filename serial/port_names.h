// How port numbers are written: "COM4" names port 4, and a number the COM port map has no entry
// for names the UART /dev/ttyS<n-1>.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace serivane::serial {

// "COM4" for 4.
std::string ComName(int n);

// The device port n names without a map entry: "/dev/ttyS3" for 4.
std::string DefaultDevice(int n);

// The digits after "COM" (any letter case) when `word` is "COM" and one or more digits:
// "com12" -> "12"; nullopt for "COM", "COM1x", "4".
std::optional<std::string_view> ComDigits(std::string_view word);

}  // namespace serivane::serial
