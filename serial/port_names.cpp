#include "serial/port_names.h"

#include "common/text.h"

namespace serivane::serial {

std::string ComName(int n) {
  return "COM" + std::to_string(n);
}

std::string DefaultDevice(int n) {
  return "/dev/ttyS" + std::to_string(n - 1);
}

std::optional<std::string_view> ComDigits(std::string_view word) {
  if (word.size() < 4 || !EqualFolded(word.substr(0, 3), "COM")) return std::nullopt;
  const std::string_view digits = word.substr(3);
  for (const char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  return digits;
}

}  // namespace serivane::serial
