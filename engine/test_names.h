// The names of the five tests, in one place: the window's test boxes show the captions, the
// result lines start with the line names, and the command-line runner names a test by its
// caption without the colon.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace serivane::engine {

// Each text is a whole string literal: data() gives it as a C string.
struct TestTexts {
  // The window's test box: "Close/Open port:". The single-byte count goes in front of test 3's
  // (" bytes Tx/Rx:").
  std::string_view caption;
  // How the test's result lines begin: "Open/Close", "Data Tx/Rx", "RTS/CTS handshake".
  std::string_view line;
};

// Of test `number`, 1 to 5; std::out_of_range for any other number.
const TestTexts& TextsOf(std::int16_t number);

// The caption without its colon, with the count for test 3: "Close/Open port", "20 bytes Tx/Rx".
std::string TestName(std::int16_t number, std::int16_t single_bytes);

}  // namespace serivane::engine
