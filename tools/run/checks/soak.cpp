#include "tools/run/checks/soak.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>
#include <vector>

#include "common/conv.h"
#include "tools/run/checks/running_check.h"
#include "tools/run/checks/waiting.h"
#include "tools/run/report.h"

namespace serivane::run {

// ---- The check -----------------------------------------------------------------------------

namespace {

// A number with `digits` after the point, "." whatever the locale.
std::string Fixed(double value, int digits) {
  char text[64];
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, digits);
  return ec == std::errc() ? std::string(text, end) : "?";
}

// Two significant digits in scientific form: "1.1e-07".
std::string Scientific(double value) {
  char text[64];
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 1);
  return ec == std::errc() ? std::string(text, end) : "?";
}

std::string SeedText() {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llX",
                static_cast<unsigned long long>(SoakSequence::kSeed));
  return text;
}

std::string Seconds(std::int64_t us) {
  return Fixed(static_cast<double>(us) / 1e6, 3) + "s";
}

std::string Plural(std::int64_t n, std::string_view one, std::string_view many) {
  return DecimalText(n) + " " + std::string(n == 1 ? one : many);
}

// The port's flow control, put back however the soak ends.
class FlowRestore {
 public:
  explicit FlowRestore(serial::CommControl& port) : port_(port), before_(port.FlowControl()) {}
  ~FlowRestore() {
    try {
      if (port_.OpenState() && port_.FlowControl() != before_) port_.FlowControl(before_);
    } catch (const serial::CommError&) {
      // The port went away or refuses now; the run reports what the port does next.
    }
  }
  FlowRestore(const FlowRestore&) = delete;
  FlowRestore& operator=(const FlowRestore&) = delete;

 private:
  serial::CommControl& port_;
  std::int32_t before_;
};

constexpr std::int32_t kFlowRtsCts = 2;
constexpr std::int32_t kWaitMs = 10;
constexpr std::int64_t kProgressUs = 1'000'000;

// How the soak paces its stream at the line's settings.
struct SoakPace {
  serial::LineConfig line;
  int bits = 0;                    // on the wire, a character
  std::int64_t ahead = 0;          // characters the sender may be ahead of what came back
  std::int64_t ahead_wire_us = 0;  // their wire time
  // Nothing coming back for this long while characters are outstanding ends the stream.
  std::int64_t stall_us = 0;
};

SoakPace PaceFor(const serial::LineConfig& line) {
  SoakPace p;
  p.line = line;
  p.bits = line.BitsPerCharacter();
  const double wire_cps = static_cast<double>(line.baud) / p.bits;
  // The sender runs ahead of what has come back by about a quarter of a second of wire time,
  // enough to keep the line busy between looks and far below the control's send buffer.
  p.ahead = static_cast<std::int64_t>(std::clamp(wire_cps / 4, 128.0, 16384.0));
  p.ahead_wire_us = static_cast<std::int64_t>(static_cast<double>(p.ahead) / wire_cps * 1e6);
  p.stall_us = std::max<std::int64_t>(2'000'000, 2 * p.ahead_wire_us);
  return p;
}

// "90s at 38400,N,8,1 with RTS/CTS handshake": what the title and the first line say.
std::string SoakWhat(std::int64_t soak_ms, const serial::LineConfig& line, bool flow_rts) {
  return DurationText(soak_ms) + " at " + line.Text() + (flow_rts ? " with RTS/CTS handshake" : "");
}

// The port as the stream finds it.
struct PreparedLine {
  std::string refused;  // why the port refused the handshake, or ""
  std::optional<serial::LineCounters> counters;
};

// Sets the RTS/CTS handshake when it is asked for, reads the line counters as they stand, and
// drops the events and characters from before.
PreparedLine PrepareLine(CheckContext& context, bool flow_rts) {
  serial::CommControl& port = context.Port();
  PreparedLine prepared;
  try {
    if (flow_rts) port.FlowControl(kFlowRtsCts);
  } catch (const serial::CommError& error) {
    prepared.refused = "The port refused RTS/CTS handshake: " + error.description();
  }
  prepared.counters = port.Counters();
  (void)context.TakeEvents();
  if (port.OpenState()) (void)port.ReceivedText();  // left over from before: not the stream's
  return prepared;
}

// What the stream came to.
struct StreamResult {
  StreamCheck check;
  std::int64_t start_us = 0;
  std::int64_t received = 0;         // characters that came back
  std::int64_t line_errors = 0;      // line error events (codes above 1000), as raised
  std::int64_t last_arrival_us = 0;  // when characters last came back
  std::int64_t first_error_us = -1;  // since the start; -1: none
  std::int64_t stream_end_us = 0;    // when the sender last looked, before the wait for the rest
  bool interrupted = false;          // a stop request ended it
  std::string stopped_why;           // what else ended it before its time, or ""
};

// The stream: sent ahead of what comes back, every character checked on its return, with the
// port's events kept in `events`.
class SoakStream {
 public:
  SoakStream(CheckContext& context, const SoakPace& pace, std::int64_t soak_ms,
             std::int64_t start_us, std::string stopped_why, std::vector<std::int16_t>& events)
      : context_(context),
        port_(context.Port()),
        clock_(context.GetClock()),
        pace_(pace),
        soak_ms_(soak_ms),
        next_progress_us_(start_us),
        sequence_(pace.line.data_bits),
        events_(events) {
    r_.start_us = start_us;
    r_.last_arrival_us = start_us;
    r_.stream_end_us = start_us;
    r_.stopped_why = std::move(stopped_why);
  }

  // Sends and checks until the soak's time is up, a stop is asked for, or the stream fails.
  void Run() {
    const std::int64_t end_us = r_.start_us + soak_ms_ * 1000;
    while (r_.stopped_why.empty()) {
      r_.stream_end_us = clock_.NowMicros();
      if (context_.StopRequested()) {
        r_.interrupted = true;
        break;
      }
      if (!port_.OpenState()) {
        r_.stopped_why = "The port closed during the soak: " + port_.LostReason();
        break;
      }
      if (clock_.NowMicros() >= end_us || !TopUp()) break;
      context_.Wait(kWaitMs);
      Look();
      if (Stalled()) {
        r_.stopped_why = "Nothing came back for " +
                         Seconds(clock_.NowMicros() - r_.last_arrival_us) +
                         " while characters were on their way: the stream stopped.";
        break;
      }
    }
  }

  // Waits for what is still on its way, until it is all back or nothing more comes; then every
  // character gets its verdict and the progress line goes.
  void Drain() {
    const std::int64_t quiet_us =
        std::max<std::int64_t>(500'000, 20 * 1'000'000 / pace_.line.baud * pace_.bits);
    const std::int64_t drain_end_us = clock_.NowMicros() + pace_.ahead_wire_us + pace_.stall_us;
    while (port_.OpenState() && r_.check.Outstanding() > 0 && clock_.NowMicros() < drain_end_us &&
           clock_.NowMicros() - r_.last_arrival_us < quiet_us) {
      context_.Wait(kWaitMs);
      Look();
    }
    r_.check.Settle();
    context_.Progress("");  // the progress line goes; the check's own lines follow
    if (r_.first_error_us < 0 && r_.check.Counts().Errors() > 0)
      r_.first_error_us = clock_.NowMicros() - r_.start_us;
  }

  const StreamResult& Result() const { return r_; }

 private:
  // Topped up in pieces of a quarter of the lead or more: few writes, and the line never runs
  // dry while the rest is on its way. False when sending failed.
  bool TopUp() {
    const std::int64_t room = pace_.ahead - r_.check.Outstanding();
    if (room < pace_.ahead / 4) return true;
    const std::string chunk = sequence_.Next(static_cast<std::size_t>(room));
    r_.check.Sent(chunk);
    try {
      port_.TransmitText(chunk);
    } catch (const serial::CommError& error) {
      r_.stopped_why = "Sending failed: " + error.description();
      return false;
    }
    return true;
  }

  // What came back since the last look, checked; the events the port raised; the progress line.
  void Look() {
    const std::int64_t now = clock_.NowMicros();
    if (port_.OpenState()) {
      const std::string got = port_.ReceivedText();
      if (!got.empty()) {
        r_.received += static_cast<std::int64_t>(got.size());
        r_.last_arrival_us = now;
        r_.check.Received(got);
      }
    }
    const std::vector<std::int16_t> codes = context_.TakeEvents();
    r_.line_errors +=
        std::count_if(codes.begin(), codes.end(), [](std::int16_t code) { return code > 1000; });
    KeepEvents(codes, events_);
    if (r_.first_error_us < 0 && (r_.check.Counts().Errors() > 0 || r_.line_errors > 0)) {
      r_.first_error_us = now - r_.start_us;
    }
    if (now >= next_progress_us_) ShowProgress(now);
  }

  void ShowProgress(std::int64_t now) {
    next_progress_us_ = now + kProgressUs;
    context_.Progress("Soak " + DecimalText((now - r_.start_us) / 1'000'000) + "s of " +
                      DurationText(soak_ms_) + ": " +
                      Plural(r_.check.SentTotal(), "character", "characters") + ", " +
                      Plural(r_.check.Counts().Errors() + r_.line_errors, "error", "errors"));
  }

  bool Stalled() const {
    return r_.check.Outstanding() > 0 && clock_.NowMicros() - r_.last_arrival_us > pace_.stall_us;
  }

  CheckContext& context_;
  serial::CommControl& port_;
  Clock& clock_;
  const SoakPace& pace_;
  std::int64_t soak_ms_;
  std::int64_t next_progress_us_;
  SoakSequence sequence_;
  std::vector<std::int16_t>& events_;
  StreamResult r_;
};

// The driver's counters, as changes over the soak; none when it has none.
std::optional<serial::LineCounters> CounterChange(
    const std::optional<serial::LineCounters>& before,
    const std::optional<serial::LineCounters>& after) {
  if (!before || !after) return std::nullopt;
  serial::LineCounters counted;
  counted.frame = after->frame - before->frame;
  counted.parity = after->parity - before->parity;
  counted.overrun = after->overrun - before->overrun;
  counted.buf_overrun = after->buf_overrun - before->buf_overrun;
  counted.brk = after->brk - before->brk;
  return counted;
}

// What the soak came to, as its verdict, lines, diagnosis and figures read it.
struct SoakFacts {
  const SoakPace& pace;
  std::int64_t soak_ms;
  bool flow_rts;
  const StreamResult& stream;
  std::optional<serial::LineCounters> counted;  // the driver's counters' changes
  std::int64_t counted_errors = 0;
  bool passed = false;
  // Throughput: what came back over the time from the first send to the last arrival.
  double cps = 0, bps = 0, ratio = 0;
  std::int64_t bits_sent = 0;
  bool clean = false;    // no error of any kind, and something was sent
  double ber_bound = 0;  // when clean: the bit error rate's upper bound (95 %)
};

SoakFacts Judge(const SoakPace& pace, std::int64_t soak_ms, bool flow_rts,
                const StreamResult& stream, std::optional<serial::LineCounters> counted) {
  SoakFacts f{pace, soak_ms, flow_rts, stream, counted};
  if (counted) {
    f.counted_errors =
        counted->frame + counted->parity + counted->overrun + counted->buf_overrun + counted->brk;
  }
  const std::int64_t sent = stream.check.SentTotal();
  const std::int64_t errors = stream.check.Counts().Errors();
  f.passed = !stream.interrupted && stream.stopped_why.empty() && errors == 0 &&
             stream.line_errors == 0 && f.counted_errors == 0 && sent > 0;
  const std::int64_t span_us = std::max<std::int64_t>(stream.last_arrival_us - stream.start_us, 1);
  f.cps = static_cast<double>(stream.received) * 1e6 / static_cast<double>(span_us);
  f.bps = f.cps * pace.bits;
  f.ratio = f.bps / pace.line.baud;
  f.bits_sent = sent * pace.bits;
  f.clean = errors == 0 && stream.line_errors == 0 && f.counted_errors == 0 && f.bits_sent > 0;
  f.ber_bound = f.clean ? 3.0 / static_cast<double>(f.bits_sent) : 0.0;
  return f;
}

// "Soak 90s at ...: 123 characters sent, 123 characters received --- OK"
std::string SoakHeadline(const SoakFacts& f) {
  const StreamResult& s = f.stream;
  const std::string verdict = f.passed        ? " --- OK"
                              : s.interrupted ? " <-- INTERRUPTED"
                                              : " <-- FAILED";
  std::string first = "Soak " + SoakWhat(f.soak_ms, f.pace.line, f.flow_rts) + ": ";
  if (s.interrupted) first += "stopped after " + Seconds(s.stream_end_us - s.start_us) + ", ";
  first += Plural(s.check.SentTotal(), "character", "characters") + " sent, " +
           Plural(s.received, "character", "characters") + " received";
  return first + verdict;
}

// The lines after the first: the tally, the throughput, the counters, the line errors, what
// ended the stream, the bit error rate.
void SoakLines(const SoakFacts& f, bool no_modem_lines, const std::vector<std::int16_t>& events,
               std::vector<std::string>& lines) {
  const StreamResult& s = f.stream;
  const StreamCounts& counts = s.check.Counts();
  std::string tally = "Lost " + DecimalText(counts.lost) + ", changed " +
                      DecimalText(counts.changed) + ", extra " + DecimalText(counts.extra) +
                      ", out of order " + DecimalText(counts.out_of_order);
  if (s.first_error_us >= 0) {
    tally += "; the first error after " + Seconds(s.first_error_us);
    if (s.check.FirstErrorCharacter() > 0)
      tally += ", at character " + DecimalText(s.check.FirstErrorCharacter());
  }
  lines.push_back(tally);
  std::string rate = "Throughput " + Fixed(f.cps, 0) + " characters/s, " + Fixed(f.bps, 0) +
                     " bit/s: " + Fixed(f.ratio * 100, 1) + " % of " +
                     DecimalText(f.pace.line.baud) + " baud";
  if (no_modem_lines) {
    rate += " (a pseudo-terminal has no wire timing)";
  } else if (f.ratio > 1.05) {
    // More than the line can carry: an emulated UART (a virtual machine's) that keeps no time.
    rate += " (faster than the line: the device keeps no wire timing)";
  }
  lines.push_back(rate);
  if (const auto& c = f.counted) {
    lines.push_back("Line counters: frame " + DecimalText(c->frame) + ", parity " +
                    DecimalText(c->parity) + ", overrun " + DecimalText(c->overrun) +
                    ", buffer overrun " + DecimalText(c->buf_overrun) + ", break " +
                    DecimalText(c->brk));
  } else {
    lines.push_back("Line counters: not available");
  }
  std::string named;
  for (const std::int16_t code : events) {
    if (code <= 1000) continue;
    named += (named.empty() ? "" : ", ") + EventName(code) + " (" + DecimalText(code) + ")";
  }
  if (!named.empty()) lines.push_back("Line errors reported: " + named);
  if (!s.stopped_why.empty()) lines.push_back(s.stopped_why);
  if (f.clean) {
    lines.push_back("Bit error rate below " + Scientific(f.ber_bound) + " (95 %, " +
                    DecimalText(f.bits_sent) + " bits without an error)");
  }
}

// What a failed soak points at.
void DiagnoseSoak(const SoakFacts& f, std::vector<std::string>& diagnosis) {
  const StreamResult& s = f.stream;
  if (f.passed || s.interrupted) return;
  const StreamCounts& counts = s.check.Counts();
  if (counts.lost > 0) {
    diagnosis.push_back(Plural(counts.lost, "character was", "characters were") +
                        " lost in the stream: a receiver overrun (no handshake, a slow driver or "
                        "a busy system), or a wire that breaks contact.");
  }
  if (counts.changed > 0) {
    diagnosis.push_back(
        Plural(counts.changed, "character", "characters") +
        " came back changed: noise on the line, a poor ground (pin 5), or the two ends running "
        "slightly different rates.");
  }
  if (counts.extra > 0) {
    diagnosis.push_back(Plural(counts.extra, "character", "characters") +
                        " came back that were never sent: noise on RxD (pin 2), or another "
                        "device talking on the line.");
  }
  if (counts.out_of_order > 0) {
    diagnosis.push_back(Plural(counts.out_of_order, "character", "characters") +
                        " came back out of order: the driver or the adapter mixes up its "
                        "buffers.");
  }
  if (s.line_errors > 0 || f.counted_errors > 0) {
    diagnosis.push_back(
        "The receiver reported line errors during the soak (framing, parity, overrun or "
        "break): noise, a rate or frame that differs between the ends, or an overrun.");
  }
  if (!s.stopped_why.empty() && s.received == 0) {
    diagnosis.push_back(
        f.flow_rts ? "Nothing came back with RTS/CTS handshake on: TxD is not looped to RxD "
                     "(pins 3 to 2), or CTS (pin 8) never comes on to let the port send."
                   : "Nothing came back: TxD is not looped to RxD (pins 3 to 2).");
  }
}

std::vector<Figure> SoakFigures(const SoakFacts& f) {
  const StreamResult& s = f.stream;
  const StreamCounts& counts = s.check.Counts();
  std::vector<Figure> out = {{"duration_asked_ms", f.soak_ms},
                             {"flow", std::string(f.flow_rts ? "rts" : "none")},
                             {"line_settings", f.pace.line.Text()},
                             {"seed", SeedText()},
                             {"characters_sent", s.check.SentTotal()},
                             {"characters_received", s.received},
                             {"characters_ok", counts.ok},
                             {"lost", counts.lost},
                             {"changed", counts.changed},
                             {"extra", counts.extra},
                             {"out_of_order", counts.out_of_order},
                             {"errors", counts.Errors()},
                             {"line_error_events", s.line_errors}};
  if (s.first_error_us >= 0) out.push_back({"first_error_ms", s.first_error_us / 1000});
  if (s.check.FirstErrorCharacter() > 0)
    out.push_back({"first_error_character", s.check.FirstErrorCharacter()});
  out.insert(out.end(), {{"bits_per_character", std::int64_t{f.pace.bits}},
                         {"bits_sent", f.bits_sent},
                         {"throughput_cps", f.cps},
                         {"throughput_bps", f.bps},
                         {"wire_rate_baud", std::int64_t{f.pace.line.baud}},
                         {"throughput_ratio", f.ratio},
                         {"counters_available", f.counted.has_value()}});
  if (const auto& c = f.counted) {
    out.insert(out.end(), {{"frame_errors", c->frame},
                           {"parity_errors", c->parity},
                           {"overruns", c->overrun},
                           {"buffer_overruns", c->buf_overrun},
                           {"breaks", c->brk}});
  }
  if (f.clean) out.push_back({"ber_upper_bound", f.ber_bound});
  return out;
}

}  // namespace

std::string DurationText(std::int64_t ms) {
  if (ms > 0 && ms % 3'600'000 == 0) return DecimalText(ms / 3'600'000) + "h";
  if (ms > 0 && ms % 60'000 == 0) return DecimalText(ms / 60'000) + "m";
  if (ms % 1000 == 0) return DecimalText(ms / 1000) + "s";
  return DecimalText(ms) + "ms";
}

CheckOutcome RunSoakCheck(CheckContext& context, std::int64_t soak_ms, bool flow_rts) {
  serial::CommControl& port = context.Port();
  const SoakPace pace = PaceFor(serial::LineConfig::Parse(port.LineSettings()));
  const FlowRestore flow_restore(port);
  PreparedLine prepared = PrepareLine(context, flow_rts);

  RunningCheck run(context, "soak", "Soak for " + SoakWhat(soak_ms, pace.line, flow_rts));
  CheckOutcome& out = run.Out();
  SoakStream stream(context, pace, soak_ms, run.StartedUs(), std::move(prepared.refused),
                    out.events);
  stream.Run();
  stream.Drain();
  out.duration_ms = run.ElapsedUs() / 1000;

  const SoakFacts facts = Judge(pace, soak_ms, flow_rts, stream.Result(),
                                CounterChange(prepared.counters, port.Counters()));
  out.interrupted = stream.Result().interrupted;
  out.passed = facts.passed;
  SoakLines(facts, context.NoModemLines(), out.events, out.lines);
  DiagnoseSoak(facts, out.diagnosis);
  out.figures = SoakFigures(facts);
  return run.Conclude(SoakHeadline(facts));
}

}  // namespace serivane::run
