#include "engine/test_names.h"

#include <array>
#include <stdexcept>

#include "common/conv.h"

namespace serivane::engine {

namespace {

constexpr std::array<TestTexts, 5> kTexts{{
    {"Close/Open port:", "Open/Close"},
    {"Data Tx/Rx:", "Data Tx/Rx"},
    {" bytes Tx/Rx:", " bytes Tx/Rx"},
    {"RTS/CTS handshake:", "RTS/CTS handshake"},
    {"DTR/DSR handshake:", "DTR/DSR handshake"},
}};

}  // namespace

const TestTexts& TextsOf(std::int16_t number) {
  if (number < 1 || number > static_cast<std::int16_t>(kTexts.size()))
    throw std::out_of_range("no test " + DecimalText(number));
  return kTexts[static_cast<std::size_t>(number - 1)];
}

std::string TestName(std::int16_t number, std::int16_t single_bytes) {
  std::string_view caption = TextsOf(number).caption;
  caption.remove_suffix(1);  // the colon
  std::string name(caption);
  if (number == 3) name.insert(0, DecimalText(single_bytes));
  return name;
}

}  // namespace serivane::engine
