// What a test and a pass came to, as facts rather than text: the front ends, the result file's
// readers and the runner's report and diagnosis take them from here, never from the lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace serivane::engine {

// A handshake test's output as it set it, its input as it read it, and DCD and RI read at that
// moment. RTS and CTS for test 4, DTR and DSR for test 5.
struct HandshakeLevels {
  bool out = false;
  bool in = false;
  bool dcd = false;
  bool ri = false;
  bool operator==(const HandshakeLevels&) const = default;
};

struct TestOutcome {
  std::int16_t number = 0;
  bool passed = false;
  // The data tests: characters sent, and those the test read back. `received` is empty when
  // the test ended before it read its echo (a refused setting, a noisy line, a port error).
  std::int32_t sent = 0;
  std::optional<std::int64_t> received;
  // The line error that failed the data block (above 1000), 0 when none.
  std::int16_t line_error = 0;
  // The control's error number of the port error that failed the test, 0 when none.
  std::int32_t port_error = 0;
  // Every event code the port raised while the test ran, in order, each once.
  std::vector<std::int16_t> events;
  // Tests 4 and 5: the levels at each reading, off first.
  std::vector<HandshakeLevels> levels;
  // The whole test on the engine's clock, and the time its line quotes (the reopen of test 1,
  // the echo of the data tests); empty when it quotes none.
  std::int64_t duration_ms = 0;
  std::optional<std::uint32_t> measured_ms;
  // Test 1 took longer than the MaxDuration setting.
  bool slow = false;
  // The lines it wrote to the results box, in order.
  std::vector<std::string> lines;
  bool operator==(const TestOutcome&) const = default;
};

struct PassOutcome {
  std::int32_t pass = 0;  // from 1
  bool passed = false;
  // A stop request came before every selected test ran: the pass wrote no summary.
  bool cut_short = false;
  std::vector<TestOutcome> tests;  // those that ran, in order
};

}  // namespace serivane::engine
