#include "engine/loopback_tests.h"

#include <algorithm>

#include "common/conv.h"
#include "engine/error_text.h"
#include "engine/line_format.h"
#include "engine/test_names.h"
#include "engine/timing.h"

namespace serivane::engine {

namespace {

// A wait that cannot sleep on the window's events, and the wait for a quiet line, pause this
// long between looks at the port and the window's events.
constexpr std::int32_t kWaitStepMs = 10;
// A handshake pause up to this long blocks the window. The two handshake tests pause four times
// in a row without yielding, so the window is held for less than a second at most.
constexpr std::int32_t kLongestBlockingPauseMs = 200;
// A longer pause lets the window's events run this often.
constexpr std::int32_t kPauseStepMs = 50;

// The quiet interval before a data test: never shorter than this, nor than this many character
// times at the line's rate.
constexpr std::int64_t kQuietFloorMicros = 10'000;
constexpr std::int64_t kQuietCharacters = 4;
// A far end that trickles (a slow device echoing one character at a time) leaves gaps between
// its characters; the line is quiet only after a few such gaps without a character. Gaps longer
// than the longest trickle gap are pauses between bursts, not a pace.
constexpr std::int64_t kQuietGaps = 3;
constexpr std::int64_t kLongestTrickleGapMicros = 200'000;
// Something arrived that no test asked for, and its pace is not known yet (one arrival seen):
// wait this long for a second one before calling the line quiet.
constexpr std::int64_t kUnknownPaceQuietMicros = 100'000;

}  // namespace

const std::array<LoopbackTests::Procedure, LoopbackTests::kCount> LoopbackTests::kProcedures{
    &LoopbackTests::Test_OpenClose, &LoopbackTests::Test_DataTxRx, &LoopbackTests::Test_SingleBytes,
    &LoopbackTests::Test_RtsCts, &LoopbackTests::Test_DtrDsr};

LoopbackTests::LoopbackTests(EventPump& events, ResultsView& view, serial::CommControl& port,
                             Clock& clock, const settings::Settings& settings, ResultLog& log,
                             CommMonitor& monitor)
    : events_(events),
      view_(view),
      port_(port),
      clock_(clock),
      settings_(settings),
      log_(log),
      monitor_(monitor) {}

TestOutcome LoopbackTests::Run(std::int16_t number) {
  const Procedure procedure = kProcedures.at(static_cast<std::size_t>(number - 1));
  TestOutcome outcome;
  outcome.number = number;
  struct Recording {
    LoopbackTests& tests;
    ~Recording() {
      tests.outcome_ = nullptr;
      tests.log_.CaptureTestLines(nullptr);
      tests.monitor_.RecordEvents(nullptr);
    }
  } recording{*this};
  outcome_ = &outcome;
  log_.CaptureTestLines(&outcome.lines);
  monitor_.RecordEvents(&outcome.events);
  const std::int64_t start = clock_.NowMicros();
  outcome.passed = !(this->*procedure)();
  outcome.duration_ms = (clock_.NowMicros() - start) / 1000;
  return outcome;
}

bool LoopbackTests::ReportFailure(const std::string& head, const std::string& reason) {
  log_.Report('-', head + " <-- FAILED");
  log_.Report(' ', "Error: " + reason);
  return true;
}

void LoopbackTests::WaitForEcho(std::uint32_t start, std::int32_t limit_ms) {
  // The tick difference is taken modulo 2^32 (TickDiff), so a counter that wraps during the
  // wait neither ends it early nor makes it endless.
  std::uint32_t now = clock_.TickCount();
  while (!monitor_.EchoIn()) {
    // The window sleeps on the port for the rest of the time limit: the port wakes it when the
    // awaited count is in or an event is due, so the wait ends when the last character arrives
    // and the test's duration is that of the echo. Any other event of the window ends a sleep
    // too, and the wait goes on.
    const std::int64_t left = limit_ms - static_cast<std::int64_t>(TickDiff(now, start));
    if (!events_.WaitForEvents(static_cast<std::int32_t>(std::max<std::int64_t>(left, 0)))) {
      clock_.Sleep(kWaitStepMs);
      events_.DoEvents();
    }
    now = clock_.TickCount();
    if (static_cast<std::int64_t>(TickDiff(now, start)) >= limit_ms) break;
  }
}

int LoopbackTests::EchoFrameBits() const {
  return LineConfigFor(settings_).BitsPerCharacter();
}

bool LoopbackTests::Test_OpenClose() {
  std::uint32_t duration = 0;
  bool open = false;
  bool raised = false;
  ErrorInfo error;
  try {
    const std::uint32_t t1 = clock_.TickCount();
    port_.OpenState(false);
    port_.OpenState(true);
    const std::uint32_t t2 = clock_.TickCount();
    duration = TickDiff(t2, t1);
    open = port_.OpenState();
  } catch (...) {
    raised = true;
    error = CurrentError();
  }

  if (!open) {
    log_.Report('-', std::string(TextsOf(1).line) + " --- FAILED");
    if (raised) {
      outcome_->port_error = error.number;
      log_.Report(' ', "Error: " + error.description);
    }
    return true;
  }
  outcome_->measured_ms = duration;
  outcome_->slow = static_cast<std::int64_t>(duration) > settings_.MaxDuration;
  if (outcome_->slow) {
    ++slow_opens_;
    view_.SetResultBackground(kYellow);
    log_.Report('+', std::string(TextsOf(1).line) +
                         " --- SLOW   (Duration: " + DecimalText(duration) + "ms)");
  } else {
    log_.Report('+', std::string(TextsOf(1).line) +
                         " --- OK   (Duration: " + DecimalText(duration) + "ms)");
  }
  return false;
}

std::int64_t LoopbackTests::QuietMicros(std::optional<std::int64_t> gap_us) const {
  const std::int64_t baud = std::max<std::int64_t>(settings_.BaudRate, 1);
  const std::int64_t char_us = (std::int64_t{EchoFrameBits()} * 1'000'000 + baud - 1) / baud;
  const std::int64_t quiet = std::max(kQuietFloorMicros, kQuietCharacters * char_us);
  if (!gap_us) return quiet;
  if (*gap_us >= 0 && *gap_us <= kLongestTrickleGapMicros) {
    return std::max(quiet, kQuietGaps * *gap_us);
  }
  return std::max(quiet, kUnknownPaceQuietMicros);
}

std::optional<std::int64_t> LoopbackTests::AwaitQuietLine(std::int32_t limit_ms) {
  // What the device already holds is moved in first: right after the port opened (a new run on
  // a far end still echoing an earlier one) it has not been looked at yet.
  events_.DoEvents();
  std::int64_t kept = static_cast<std::int64_t>(port_.ReceivedText().size());
  // The common case costs one look: the last thing to arrive completed the echo of the last
  // data test, and nothing came since.
  if (kept == 0 && port_.LatestArrivals().last_us == echo_end_us_) return std::nullopt;

  const std::int64_t begin = clock_.NowMicros();
  const std::int64_t deadline = begin + std::int64_t{limit_ms} * 1000;
  for (;;) {
    const serial::CommControl::Arrivals arrivals = port_.LatestArrivals();
    const std::int64_t now = clock_.NowMicros();
    // Nothing has arrived since the port was first opened: on the plug the line is quiet; a
    // terminal is watched for the quiet interval, as its far end may still be talking.
    std::int64_t quiet_at = now;
    if (arrivals.last_us >= 0) {
      quiet_at = arrivals.last_us + QuietMicros(arrivals.gap_us);
    } else if (port_.ForeignInputPossible()) {
      quiet_at = begin + QuietMicros(std::nullopt);
    }
    if (now >= quiet_at) return std::nullopt;
    if (now >= deadline) return kept;
    // Short steps: the gaps are measured where the arrivals are seen, so a window that cannot
    // sleep on the port must look often enough for the gaps to be the far end's, not its own.
    const std::int64_t until =
        std::min({quiet_at, deadline, now + std::int64_t{kWaitStepMs} * 1000});
    const auto ms = static_cast<std::int32_t>((until - now + 999) / 1000);
    if (!events_.WaitForEvents(ms)) {
      clock_.Sleep(ms);
      events_.DoEvents();
    }
    kept += static_cast<std::int64_t>(port_.ReceivedText().size());
  }
}

void LoopbackTests::NoteEchoEnd(std::int16_t sent, std::size_t received) {
  echo_end_us_ =
      received >= static_cast<std::size_t>(sent) ? port_.LatestArrivals().last_us : kEchoIncomplete;
}

bool LoopbackTests::ReportNoisyLine(const std::string& head, std::int64_t kept) {
  log_.Report('-', head + " <-- FAILED");
  log_.Report(' ', "The line did not go quiet before the test: " + DecimalText(kept) +
                       " characters kept arriving from before it");
  return true;
}

std::uint32_t LoopbackTests::StartEcho(std::int16_t count) {
  const std::uint32_t start = clock_.TickCount();
  port_.ReceiveThreshold(count);
  monitor_.ExpectEcho();
  return start;
}

bool LoopbackTests::Test_DataTxRx() {
  const std::int16_t n = settings_.DataBits == 7 ? 128 : 256;
  const std::string line_name(TextsOf(2).line);
  const std::string head = line_name + ": " + DecimalText(n) + " bytes send/received";
  outcome_->sent = n;
  std::string block;
  block.reserve(static_cast<std::size_t>(n));
  for (int code = 0; code < n; ++code) block.push_back(static_cast<char>(code));

  const EchoLimit limit =
      EchoTimeLimit(n, settings_.BaudRate, EchoFrameBits(), settings_.TestTimeout);
  if (!limit.ms) return ReportFailure(head, limit.refusal);

  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::int16_t event = 0;
  std::string received;
  std::int16_t first_line_error = 0;
  try {
    if (const auto kept = AwaitQuietLine(*limit.ms)) return ReportNoisyLine(head, *kept);
    start = StartEcho(n);
    port_.TransmitText(block);
    WaitForEcho(start, *limit.ms);
    event = port_.CommEvent();
    first_line_error = monitor_.FirstLineError();
    received = port_.ReceivedText();
    end = clock_.TickCount();
    NoteEchoEnd(n, received.size());
  } catch (...) {
    return ReportFailure(head, CurrentError().description);
  }

  const std::int16_t line_error = first_line_error != 0 ? first_line_error : event;
  outcome_->received = static_cast<std::int64_t>(received.size());
  if (line_error > 1000) outcome_->line_error = line_error;
  if (received == block && line_error <= 1000) {
    outcome_->measured_ms = TickDiff(end, start);
    log_.Report('+', head + " --- OK");
    log_.Report(' ', "(Duration: " + DecimalText(*outcome_->measured_ms) + "ms , Calculated: ~" +
                         DecimalText(CalculatedWireMs(n, settings_.BaudRate)) + "ms)");
    return false;
  }
  log_.Report('-', head + " <-- FAILED  (" + DecimalText(*outcome_->received) + " bytes received)");
  if (line_error > 1000) {
    log_.Report('-', line_name + ": CommEvent error: " + DecimalText(line_error));
  }
  return true;
}

bool LoopbackTests::Test_SingleBytes() {
  const std::int16_t n = settings_.SingleBytes;
  const std::string head =
      DecimalText(n) + std::string(TextsOf(3).line) + ": Single bytes send/received";
  outcome_->sent = n;
  // A count below 1 can only come from an edited setting. Sending nothing would prove nothing,
  // so it is reported as a failure rather than as a pass.
  if (n < 1) {
    return ReportFailure(head, "the number of single bytes must be 1 or more");
  }
  const EchoLimit limit =
      EchoTimeLimit(n, settings_.BaudRate, EchoFrameBits(), settings_.TestTimeout);
  if (!limit.ms) return ReportFailure(head, limit.refusal);

  std::uint32_t start = 0;
  std::string received;
  try {
    if (const auto kept = AwaitQuietLine(*limit.ms)) return ReportNoisyLine(head, *kept);
    start = StartEcho(n);
    // One send operation per character: the point of the test is a port fed byte by byte.
    for (std::int16_t i = 0; i < n; ++i) port_.TransmitText("7");
    WaitForEcho(start, *limit.ms);
    received = port_.ReceivedText();
    NoteEchoEnd(n, received.size());
  } catch (...) {
    return ReportFailure(head, CurrentError().description);
  }

  // Characters are counted, never compared: a corrupted character still came back.
  outcome_->received = static_cast<std::int64_t>(received.size());
  if (*outcome_->received == n) {
    const std::uint32_t end = clock_.TickCount();
    outcome_->measured_ms = TickDiff(end, start);
    log_.Report('+', head + " --- OK  (" + DecimalText(*outcome_->measured_ms) + "ms)");
    return false;
  }
  log_.Report('-', head + " <-- FAILED  (" + DecimalText(*outcome_->received) + " bytes received)");
  return true;
}

bool LoopbackTests::HandshakeTest(bool rts_cts) {
  // "RTS/CTS handshake: RTS/CTS= off": the test's name, and the pair of lines it names.
  const std::string_view test_name = TextsOf(rts_cts ? 4 : 5).line;
  const std::string head =
      std::string(test_name) + ": " + std::string(test_name.substr(0, test_name.find(' '))) + "= ";
  const std::int32_t delay = settings_.HandshakeDelay;

  bool failed = false;
  for (const bool on : {false, true}) {
    const std::string state = on ? "on" : "off";
    bool input = false;
    bool dcd = false;
    bool ri = false;
    try {
      if (rts_cts) {
        port_.RtsOn(on);
      } else {
        port_.DtrOn(on);
      }
      HandshakePause(delay);
      input = rts_cts ? port_.CtsState() : port_.DsrState();
      dcd = port_.DcdState();
      ri = port_.RingState();
      // A closed port reads its inputs off without complaint, which would pass the off check.
      port_.RequireOpen();
    } catch (...) {
      return ReportFailure(head + state, CurrentError().description);
    }
    outcome_->levels.push_back({on, input, dcd, ri});
    if (input == on) {
      log_.Report('+', head + state + " --- OK");
    } else {
      log_.Report('-', head + state + " <-- FAILED");
      failed = true;
    }
  }
  return failed;
}

void LoopbackTests::HandshakePause(std::int32_t ms) {
  // A negative delay can only come from an edited setting; it means no pause.
  if (ms <= 0) return;
  // The ordinary pause blocks on purpose: no window event may run between setting the output
  // and reading the input.
  if (ms <= kLongestBlockingPauseMs) {
    clock_.Sleep(ms);
    return;
  }
  // Time spent in the window's events counts, and none run in the last step before the input
  // is read.
  const std::uint32_t start = clock_.TickCount();
  for (;;) {
    const std::int64_t left = ms - static_cast<std::int64_t>(TickDiff(clock_.TickCount(), start));
    if (left <= 0) return;
    clock_.Sleep(static_cast<std::int32_t>(std::min<std::int64_t>(left, kPauseStepMs)));
    if (left <= kPauseStepMs) return;
    events_.DoEvents();
  }
}

}  // namespace serivane::engine
