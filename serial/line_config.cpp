// LineSettings text and the default port-number rule.
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "serial/comm_control.h"
#include "serial/port_names.h"

namespace serivane::serial {

namespace {

[[noreturn]] void Refuse(std::string_view text, const std::string& why) {
  throw CommError(kErrInvalidPropertyValue,
                  "Invalid line settings \"" + std::string(text) + "\": " + why);
}

// A whole field of decimal digits, nothing else; false when empty, signed or out of range.
bool ParseDecimal(std::string_view field, std::int32_t& value) {
  if (field.empty()) return false;
  const char* end = field.data() + field.size();
  auto [ptr, ec] = std::from_chars(field.data(), end, value);
  return ec == std::errc() && ptr == end && field.front() != '-' && field.front() != '+';
}

}  // namespace

LineConfig LineConfig::Parse(std::string_view text) {
  std::vector<std::string_view> fields = Split(text, ',');
  for (std::string_view& field : fields) field = Trim(field);
  if (fields.size() != 4) {
    Refuse(text, "expected four fields: rate,parity,data bits,stop bits");
  }

  LineConfig config;
  if (!ParseDecimal(fields[0], config.baud) || config.baud < 1) {
    Refuse(text, "the rate \"" + std::string(fields[0]) + "\" is not a positive whole number");
  }

  const std::string_view parity = fields[1];
  const char letter = parity.size() == 1 ? parity.front() : '\0';
  switch (letter) {
    case 'N':
    case 'n':
      config.parity = 'N';
      break;
    case 'O':
    case 'o':
      config.parity = 'O';
      break;
    case 'E':
    case 'e':
      config.parity = 'E';
      break;
    default:
      Refuse(text, "the parity \"" + std::string(parity) + "\" is not N, O or E");
  }

  std::int32_t data_bits = 0;
  if (!ParseDecimal(fields[2], data_bits) || data_bits < 5 || data_bits > 8) {
    Refuse(text, "the data bits \"" + std::string(fields[2]) + "\" are not 5, 6, 7 or 8");
  }
  config.data_bits = data_bits;

  std::int32_t stop_bits = 0;
  if (!ParseDecimal(fields[3], stop_bits) || (stop_bits != 1 && stop_bits != 2)) {
    Refuse(text, "the stop bits \"" + std::string(fields[3]) + "\" are not 1 or 2");
  }
  config.stop_bits = stop_bits;
  return config;
}

std::string LineConfig::Text() const {
  return std::to_string(baud) + ',' + parity + ',' + std::to_string(data_bits) + ',' +
         std::to_string(stop_bits);
}

int LineConfig::BitsPerCharacter() const {
  return 1 + data_bits + (parity == 'N' ? 0 : 1) + stop_bits;
}

std::string DefaultResolve(std::int16_t port_number) {
  if (port_number < 1) {
    throw CommError(kErrInvalidPortNumber,
                    "Invalid port number " + std::to_string(port_number) + ": ports start at 1");
  }
  return DefaultDevice(port_number);
}

}  // namespace serivane::serial
