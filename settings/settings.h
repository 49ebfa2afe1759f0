// The operator's settings as the window holds them between loading at start-up and saving at
// exit. Field names are the names the rest of the program uses for them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace serivane::settings {

struct Settings {
  std::int16_t ComPort = 1;          // 1 = Com1; the port list offers 1 to 32
  std::int32_t BaudRate = 38400;     // bits per second
  std::int16_t DataBits = 8;         // 7 or 8
  std::int16_t StopBits = 1;         // 1 or 2
  std::int16_t Parity = 1;           // 1 none, 2 odd, 3 even
  std::int16_t HandshakeDelay = 50;  // ms between setting RTS/DTR and reading CTS/DSR
  std::int16_t MaxDuration = 2000;   // ms a close plus open may take before it is slow
  std::int16_t SingleBytes = 100;    // characters of the single-bytes test
  std::int32_t TestTimeout = 2000;   // ms added to the wire time of the data tests
  std::string ResultFileName = "C:\\RS-232_Result.Txt";
  // Index 1 to 5 = test number; index 0 is unused.
  std::array<bool, 6> TestSelected{false, true, true, true, true, true};
  bool RunAtStartup = false;     // check mark of "&Run test at startup"
  bool CloseWhenFinish = false;  // check mark of "&Close when finished"
  // Outer window height in twips; none when nothing was stored.
  std::optional<float> WindowHeight;

  // Stored values that loading found but could not read (a text over 254 characters): the field
  // kept what it had, and saving leaves these values as they are stored rather than overwrite
  // them with a default nobody chose.
  struct UnreadValue {
    std::string name;
    std::size_t characters = 0;  // length of the stored text
  };
  std::vector<UnreadValue> UnreadValues;

  // Stored values that loading refused because no menu, input box or option of the program
  // accepts them (a rate of 1 bit/s, a negative time, a text that is no number): the field kept
  // what it had, and saving leaves the stored text as it is unless the field was changed since.
  struct RefusedValue {
    std::string name;
    std::string stored;    // the text as stored
    std::string accepted;  // what would be accepted: "50 to 4000000", "7 or 8", "True or False"
    std::string kept;      // the field's value as saving would write it, right after loading
  };
  std::vector<RefusedValue> RefusedValues;
};

}  // namespace serivane::settings
