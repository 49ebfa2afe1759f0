// The five loopback tests. Each reports its own lines in the result log; an error the port raises
// ends the test as a failure with an "Error: " line and never leaves it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "common/clock.h"
#include "engine/comm_monitor.h"
#include "engine/front_end.h"
#include "engine/outcome.h"
#include "engine/result_log.h"
#include "serial/comm_control.h"
#include "settings/settings.h"

namespace serivane::engine {

class LoopbackTests {
 public:
  static constexpr std::int16_t kCount = 5;

  // All must outlive the tests. The settings are read when a test runs.
  LoopbackTests(EventPump& events, ResultsView& view, serial::CommControl& port, Clock& clock,
                const settings::Settings& settings, ResultLog& log, CommMonitor& monitor);

  // Runs test `number`: 1 Open/Close, 2 Data Tx/Rx, 3 single bytes, 4 RTS/CTS, 5 DTR/DSR, and
  // answers what it came to. The port must be open, and the data tests take their echo only
  // while the monitor knows tests are running.
  TestOutcome Run(std::int16_t number);

  // Open/Close tests slower than the MaxDuration setting since the last reset.
  std::int32_t SlowOpens() const { return slow_opens_; }
  void ResetSlowOpens() { slow_opens_ = 0; }

 private:
  using Procedure = bool (LoopbackTests::*)();
  static const std::array<Procedure, kCount> kProcedures;

  bool Test_OpenClose();
  // The 256 (128 with 7 data bits) codes in one block; every code must come back in order, and
  // no line error may come while they are on their way.
  bool Test_DataTxRx();
  // SingleBytes characters sent one at a time; they are counted, never compared. A count below
  // 1 fails without touching the port.
  bool Test_SingleBytes();
  bool Test_RtsCts() { return HandshakeTest(true); }
  bool Test_DtrDsr() { return HandshakeTest(false); }
  // Each output off, then on; its input must follow after the HandshakeDelay pause.
  bool HandshakeTest(bool rts_cts);

  // Reports `head` + " <-- FAILED" and the reason as an "Error: " remark; returns true (failed).
  bool ReportFailure(const std::string& head, const std::string& reason);
  // Before a data test sends, the line must be quiet, so that only the echo of this test counts:
  // what arrives is thrown away until nothing has come for the quiet interval, at most
  // `limit_ms`. Returns nullopt when the line is quiet, else how many characters kept arriving.
  // A line on which nothing arrived since the last data test got all its characters back is
  // quiet at once, without a wait.
  std::optional<std::int64_t> AwaitQuietLine(std::int32_t limit_ms);
  // How long nothing may arrive for the line to count as quiet: a few character times at the
  // line's rate, never less than a few milliseconds (`gap_us` nullopt: nothing has arrived).
  // After arrivals `gap_us` apart, longer than the gaps of a line that trickles; after a single
  // arrival (-1, pace unknown) long enough to see the next one of a slow far end.
  std::int64_t QuietMicros(std::optional<std::int64_t> gap_us) const;
  // After a data test has read its echo: remembers the arrival that completed it, if it did.
  void NoteEchoEnd(std::int16_t sent, std::size_t received);
  // Reports `head` + " <-- FAILED" and a remark with the characters that kept arriving.
  bool ReportNoisyLine(const std::string& head, std::int64_t kept);
  // Reads the start tick, tells the monitor an echo is expected and arms the receive event at
  // `count` characters. The line must be quiet (AwaitQuietLine). Returns the start tick.
  std::uint32_t StartEcho(std::int16_t count);
  // Waits, letting window events run, until `limit_ms` have passed since the tick `start` or the
  // echo is in. A window that sleeps on its events sleeps for the rest of the limit at once and
  // is woken by the port when the echo is in (or an event is due), so the wait ends as soon as
  // the echo is in; a window that cannot sleep on its events is given whole 10 ms steps of the
  // clock. At least one wait, unless the echo is already in.
  void WaitForEcho(std::uint32_t start, std::int32_t limit_ms);
  // Bits per character on the wire with the current line settings, for the data tests' limits.
  int EchoFrameBits() const;
  // The pause between setting a handshake output and reading its input. A short one blocks, so
  // that no window event runs in between; a long one (only an edited setting asks for one) lets
  // the window's events run every 50 ms, so that it never freezes the window or keeps it from
  // closing. `ms` below 1 makes no pause.
  void HandshakePause(std::int32_t ms);

  EventPump& events_;
  ResultsView& view_;
  serial::CommControl& port_;
  Clock& clock_;
  const settings::Settings& settings_;
  ResultLog& log_;
  CommMonitor& monitor_;
  std::int32_t slow_opens_ = 0;
  // The outcome of the test that is running.
  TestOutcome* outcome_ = nullptr;
  // The arrival (port clock, microseconds) that completed the echo of the last data test; -1
  // before anything arrived, kEchoIncomplete when that echo came back short: its missing
  // characters may still be on their way.
  static constexpr std::int64_t kEchoIncomplete = -2;
  std::int64_t echo_end_us_ = -1;
};

}  // namespace serivane::engine
