#include "tools/run/checks/soak.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>
#include <vector>

#include "common/conv.h"
#include "tools/run/report.h"

namespace serivane::run {

// ---- The stream ----------------------------------------------------------------------------

SoakSequence::SoakSequence(int data_bits) : codes_(std::size_t{1} << data_bits) {
  for (std::size_t i = 0; i < codes_; ++i) round_[i] = static_cast<std::uint8_t>(i);
  Shuffle();
}

void SoakSequence::Shuffle() {
  for (std::size_t i = codes_ - 1; i > 0; --i) {
    // splitmix64
    std::uint64_t z = (state_ += 0x9E37'79B9'7F4A'7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58'476D'1CE4'E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D0'49BB'1331'11EBULL;
    z ^= z >> 31;
    std::swap(round_[i], round_[z % (i + 1)]);
  }
  at_ = 0;
}

std::string SoakSequence::Next(std::size_t count) {
  std::string out;
  out.reserve(count);
  while (out.size() < count) {
    if (at_ == codes_) Shuffle();
    out.push_back(static_cast<char>(round_[at_++]));
  }
  return out;
}

// ---- The comparison ------------------------------------------------------------------------

StreamCounts CompareStretch(std::string_view sent, std::string_view received) {
  // The longest common subsequence, one row at a time over the shorter side.
  std::string_view outer = sent, inner = received;
  if (inner.size() > outer.size()) std::swap(outer, inner);
  std::vector<std::size_t> row(inner.size() + 1, 0), next(inner.size() + 1, 0);
  for (const char a : outer) {
    for (std::size_t j = 0; j < inner.size(); ++j) {
      next[j + 1] = a == inner[j] ? row[j] + 1 : std::max(row[j + 1], next[j]);
    }
    std::swap(row, next);
  }
  const auto in_order = static_cast<std::int64_t>(row[inner.size()]);

  // Codes found on both sides: those beyond the common subsequence have moved.
  std::array<std::int64_t, 256> sent_codes{}, received_codes{};
  for (const char c : sent) ++sent_codes[static_cast<std::uint8_t>(c)];
  for (const char c : received) ++received_codes[static_cast<std::uint8_t>(c)];
  std::int64_t common = 0;
  for (std::size_t c = 0; c < 256; ++c) common += std::min(sent_codes[c], received_codes[c]);

  StreamCounts counts;
  counts.ok = in_order;
  counts.out_of_order = common - in_order;
  const auto sent_left = static_cast<std::int64_t>(sent.size()) - common;
  const auto received_left = static_cast<std::int64_t>(received.size()) - common;
  counts.changed = std::min(sent_left, received_left);
  counts.lost = sent_left - counts.changed;
  counts.extra = received_left - counts.changed;
  return counts;
}

StreamCheck::StreamCheck(std::size_t window, std::size_t confirm)
    : window_(std::max<std::size_t>(window, 1)), confirm_(std::max<std::size_t>(confirm, 1)) {}

void StreamCheck::Sent(std::string_view chars) {
  sent_.insert(sent_.end(), chars.begin(), chars.end());
  sent_total_ += static_cast<std::int64_t>(chars.size());
}

void StreamCheck::Received(std::string_view chars) {
  for (const char c : chars) {
    received_.push_back(c);
    // Only a mismatch keeps characters waiting, and never more than it needs to decide.
    if (received_.size() >= window_ + confirm_) Process(false);
  }
  Process(false);
}

void StreamCheck::Settle() {
  Process(true);
}

// Whether the streams agree again after skipping `n` sent and `m` received characters: the
// next `confirm_` characters match. Short of that many on either side, only a final look
// decides (on what there is; both sides used up agree).
bool StreamCheck::Agree(std::size_t n, std::size_t m, bool final) const {
  const std::size_t sent_after = sent_.size() - n, received_after = received_.size() - m;
  std::size_t length = confirm_;
  if (sent_after < confirm_ || received_after < confirm_) {
    if (!final) return false;
    length = std::min(sent_after, received_after);
    if (length == 0) return sent_after == received_after;
  }
  for (std::size_t i = 0; i < length; ++i) {
    if (sent_[n + i] != received_[m + i]) return false;
  }
  return true;
}

void StreamCheck::Account(std::size_t n, std::size_t m, bool aligned) {
  StreamCounts c;
  if (aligned) {
    const std::string sent(sent_.begin(), sent_.begin() + static_cast<std::ptrdiff_t>(n));
    const std::string received(received_.begin(),
                               received_.begin() + static_cast<std::ptrdiff_t>(m));
    c = CompareStretch(sent, received);
  } else {
    // Between places that agree, short stretches are worth a closer look; in a run of garbage,
    // codes that happen to match are chance, not characters that arrived.
    const auto sent_n = static_cast<std::int64_t>(n), received_n = static_cast<std::int64_t>(m);
    c.changed = std::min(sent_n, received_n);
    c.lost = sent_n - c.changed;
    c.extra = received_n - c.changed;
  }
  if (c.Errors() > 0 && first_error_character_ == 0) first_error_character_ = accounted_ + 1;
  counts_.ok += c.ok;
  counts_.lost += c.lost;
  counts_.changed += c.changed;
  counts_.extra += c.extra;
  counts_.out_of_order += c.out_of_order;
  accounted_ += static_cast<std::int64_t>(n);
  sent_.erase(sent_.begin(), sent_.begin() + static_cast<std::ptrdiff_t>(n));
  received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(m));
}

void StreamCheck::Process(bool final) {
  while (true) {
    std::size_t same = 0;
    while (same < sent_.size() && same < received_.size() && sent_[same] == received_[same]) {
      ++same;
    }
    if (same > 0) {
      counts_.ok += static_cast<std::int64_t>(same);
      accounted_ += static_cast<std::int64_t>(same);
      sent_.erase(sent_.begin(), sent_.begin() + static_cast<std::ptrdiff_t>(same));
      received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(same));
    }
    if (received_.empty()) {
      // Whatever is still outstanding may yet arrive, unless this is the final look.
      if (final && !sent_.empty()) Account(sent_.size(), 0, false);
      return;
    }
    if (sent_.empty()) {
      // Nothing was sent that these could be: extra, whatever follows.
      Account(0, received_.size(), false);
      return;
    }
    // A mismatch: decided once enough has arrived to tell a loss from a change or an extra.
    const bool enough =
        received_.size() >= window_ + confirm_ && sent_.size() >= window_ + confirm_;
    if (!final && !enough) return;

    bool found = false;
    // The nearest place where both streams agree again: fewest characters skipped in all.
    for (std::size_t skipped = 1; skipped <= 2 * window_ && !found; ++skipped) {
      for (std::size_t n = std::min(skipped, window_) + 1; n-- > 0 && !found;) {
        const std::size_t m = skipped - n;
        if (m > window_ || n > sent_.size() || m > received_.size()) continue;
        if (Agree(n, m, final)) {
          Account(n, m, true);
          found = true;
        }
      }
    }
    // A longer run of lost characters, up to everything outstanding.
    for (std::size_t n = window_ + 1; n <= sent_.size() && !found; ++n) {
      if (Agree(n, 0, final)) {
        Account(n, 0, true);
        found = true;
      }
    }
    if (found) continue;
    if (final) {
      Account(sent_.size(), received_.size(), false);
      return;
    }
    // Nothing agrees nearby: a window's worth is taken as it stands, and the search goes on.
    Account(std::min(window_, sent_.size()), std::min(window_, received_.size()), false);
  }
}

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

}  // namespace

std::string DurationText(std::int64_t ms) {
  if (ms > 0 && ms % 3'600'000 == 0) return DecimalText(ms / 3'600'000) + "h";
  if (ms > 0 && ms % 60'000 == 0) return DecimalText(ms / 60'000) + "m";
  if (ms % 1000 == 0) return DecimalText(ms / 1000) + "s";
  return DecimalText(ms) + "ms";
}

CheckOutcome RunSoakCheck(CheckContext& context, std::int64_t soak_ms, bool flow_rts) {
  serial::CommControl& port = context.Port();
  Clock& clock = context.GetClock();
  const serial::LineConfig line = serial::LineConfig::Parse(port.LineSettings());
  const int bits = line.BitsPerCharacter();
  const double wire_cps = static_cast<double>(line.baud) / bits;

  CheckOutcome out;
  out.name = "soak";
  const std::string handshake = flow_rts ? " with RTS/CTS handshake" : "";
  out.title = "Soak for " + DurationText(soak_ms) + " at " + line.Text() + handshake;
  const std::string head = "Soak " + DurationText(soak_ms) + " at " + line.Text() + handshake;

  // The sender runs ahead of what has come back by about a quarter of a second of wire time,
  // enough to keep the line busy between looks and far below the control's send buffer.
  const auto ahead = static_cast<std::int64_t>(std::clamp(wire_cps / 4, 128.0, 16384.0));
  const std::int64_t ahead_wire_us =
      static_cast<std::int64_t>(static_cast<double>(ahead) / wire_cps * 1e6);
  // Nothing coming back for this long while characters are outstanding ends the stream.
  const std::int64_t stall_us = std::max<std::int64_t>(2'000'000, 2 * ahead_wire_us);

  FlowRestore flow_restore(port);
  std::string stopped_why;  // what ended the stream before its time, when something did
  try {
    if (flow_rts) port.FlowControl(kFlowRtsCts);
  } catch (const serial::CommError& error) {
    stopped_why = "The port refused RTS/CTS handshake: " + error.description();
  }

  const std::optional<serial::LineCounters> counters_before = port.Counters();
  (void)context.TakeEvents();
  if (port.OpenState()) (void)port.ReceivedText();  // left over from before: not the stream's

  SoakSequence sequence(line.data_bits);
  StreamCheck check;
  std::int64_t received_total = 0, line_errors = 0;
  const std::int64_t start_us = clock.NowMicros();
  const std::int64_t end_us = start_us + soak_ms * 1000;
  std::int64_t last_arrival_us = start_us, first_error_us = -1, next_progress_us = start_us;
  bool interrupted = false;
  std::int64_t stream_end_us =
      start_us;  // when the sender last looked, before the wait for the rest

  const auto look = [&] {
    const std::int64_t now = clock.NowMicros();
    if (port.OpenState()) {
      const std::string got = port.ReceivedText();
      if (!got.empty()) {
        received_total += static_cast<std::int64_t>(got.size());
        last_arrival_us = now;
        check.Received(got);
      }
    }
    for (const std::int16_t code : context.TakeEvents()) {
      if (std::find(out.events.begin(), out.events.end(), code) == out.events.end()) {
        out.events.push_back(code);
      }
      if (code > 1000) ++line_errors;
    }
    if (first_error_us < 0 && (check.Counts().Errors() > 0 || line_errors > 0)) {
      first_error_us = now - start_us;
    }
    if (now >= next_progress_us) {
      next_progress_us = now + kProgressUs;
      context.Progress("Soak " + DecimalText((now - start_us) / 1'000'000) + "s of " +
                       DurationText(soak_ms) + ": " +
                       Plural(check.SentTotal(), "character", "characters") + ", " +
                       Plural(check.Counts().Errors() + line_errors, "error", "errors"));
    }
  };
  const auto stalled = [&] {
    return check.Outstanding() > 0 && clock.NowMicros() - last_arrival_us > stall_us;
  };

  while (stopped_why.empty()) {
    stream_end_us = clock.NowMicros();
    if (context.StopRequested()) {
      interrupted = true;
      break;
    }
    if (!port.OpenState()) {
      stopped_why = "The port closed during the soak: " + port.LostReason();
      break;
    }
    if (clock.NowMicros() >= end_us) break;
    // Topped up in pieces of a quarter of the lead or more: few writes, and the line never
    // runs dry while the rest is on its way.
    if (const std::int64_t room = ahead - check.Outstanding(); room >= ahead / 4) {
      const std::string chunk = sequence.Next(static_cast<std::size_t>(room));
      check.Sent(chunk);
      try {
        port.TransmitText(chunk);
      } catch (const serial::CommError& error) {
        stopped_why = "Sending failed: " + error.description();
        break;
      }
    }
    context.Wait(kWaitMs);
    look();
    if (stalled()) {
      stopped_why = "Nothing came back for " + Seconds(clock.NowMicros() - last_arrival_us) +
                    " while characters were on their way: the stream stopped.";
      break;
    }
  }
  // What is still on its way: until it is all back, or nothing more comes.
  const std::int64_t quiet_us = std::max<std::int64_t>(500'000, 20 * 1'000'000 / line.baud * bits);
  const std::int64_t drain_end_us = clock.NowMicros() + ahead_wire_us + stall_us;
  while (port.OpenState() && check.Outstanding() > 0 && clock.NowMicros() < drain_end_us &&
         clock.NowMicros() - last_arrival_us < quiet_us) {
    context.Wait(kWaitMs);
    look();
  }
  check.Settle();
  context.Progress("");  // the progress line goes; the check's own lines follow
  if (first_error_us < 0 && check.Counts().Errors() > 0)
    first_error_us = clock.NowMicros() - start_us;
  const std::int64_t stop_us = clock.NowMicros();
  out.duration_ms = (stop_us - start_us) / 1000;
  const std::optional<serial::LineCounters> counters_after = port.Counters();

  // The driver's counters, as changes over the soak.
  std::optional<serial::LineCounters> counted;
  if (counters_before && counters_after) {
    counted = serial::LineCounters{};
    counted->frame = counters_after->frame - counters_before->frame;
    counted->parity = counters_after->parity - counters_before->parity;
    counted->overrun = counters_after->overrun - counters_before->overrun;
    counted->buf_overrun = counters_after->buf_overrun - counters_before->buf_overrun;
    counted->brk = counters_after->brk - counters_before->brk;
  }
  const std::int64_t counted_errors = counted
                                          ? counted->frame + counted->parity + counted->overrun +
                                                counted->buf_overrun + counted->brk
                                          : 0;

  const StreamCounts& counts = check.Counts();
  const std::int64_t sent = check.SentTotal();
  const std::int64_t errors = counts.Errors();
  out.interrupted = interrupted;
  out.passed = !interrupted && stopped_why.empty() && errors == 0 && line_errors == 0 &&
               counted_errors == 0 && sent > 0;

  // Throughput: what came back over the time from the first send to the last arrival.
  const std::int64_t span_us = std::max<std::int64_t>(last_arrival_us - start_us, 1);
  const double cps = static_cast<double>(received_total) * 1e6 / static_cast<double>(span_us);
  const double bps = cps * bits;
  const double ratio = bps / line.baud;
  const std::int64_t bits_sent = sent * bits;

  // The lines.
  const std::string verdict = out.passed    ? " --- OK"
                              : interrupted ? " <-- INTERRUPTED"
                                            : " <-- FAILED";
  std::string first = head + ": ";
  if (interrupted) first += "stopped after " + Seconds(stream_end_us - start_us) + ", ";
  first += Plural(sent, "character", "characters") + " sent, " +
           Plural(received_total, "character", "characters") + " received";
  out.lines.push_back(first + verdict);
  std::string tally = "Lost " + DecimalText(counts.lost) + ", changed " +
                      DecimalText(counts.changed) + ", extra " + DecimalText(counts.extra) +
                      ", out of order " + DecimalText(counts.out_of_order);
  if (first_error_us >= 0) {
    tally += "; the first error after " + Seconds(first_error_us);
    if (check.FirstErrorCharacter() > 0)
      tally += ", at character " + DecimalText(check.FirstErrorCharacter());
  }
  out.lines.push_back(tally);
  std::string rate = "Throughput " + Fixed(cps, 0) + " characters/s, " + Fixed(bps, 0) +
                     " bit/s: " + Fixed(ratio * 100, 1) + " % of " + DecimalText(line.baud) +
                     " baud";
  if (context.NoModemLines()) {
    rate += " (a pseudo-terminal has no wire timing)";
  } else if (ratio > 1.05) {
    // More than the line can carry: an emulated UART (a virtual machine's) that keeps no time.
    rate += " (faster than the line: the device keeps no wire timing)";
  }
  out.lines.push_back(rate);
  if (counted) {
    out.lines.push_back("Line counters: frame " + DecimalText(counted->frame) + ", parity " +
                        DecimalText(counted->parity) + ", overrun " +
                        DecimalText(counted->overrun) + ", buffer overrun " +
                        DecimalText(counted->buf_overrun) + ", break " + DecimalText(counted->brk));
  } else {
    out.lines.push_back("Line counters: not available");
  }
  if (!out.events.empty()) {
    std::string named;
    for (const std::int16_t code : out.events) {
      if (code <= 1000) continue;
      named += (named.empty() ? "" : ", ") + EventName(code) + " (" + DecimalText(code) + ")";
    }
    if (!named.empty()) out.lines.push_back("Line errors reported: " + named);
  }
  if (!stopped_why.empty()) out.lines.push_back(stopped_why);
  const bool clean = errors == 0 && line_errors == 0 && counted_errors == 0 && bits_sent > 0;
  const double ber_bound = clean ? 3.0 / static_cast<double>(bits_sent) : 0.0;
  if (clean) {
    out.lines.push_back("Bit error rate below " + Scientific(ber_bound) + " (95 %, " +
                        DecimalText(bits_sent) + " bits without an error)");
  }

  // What a failure points at.
  if (!out.passed && !interrupted) {
    if (counts.lost > 0) {
      out.diagnosis.push_back(Plural(counts.lost, "character was", "characters were") +
                              " lost in the stream: a receiver overrun (no handshake, a slow "
                              "driver or a busy system), or a wire that breaks contact.");
    }
    if (counts.changed > 0) {
      out.diagnosis.push_back(
          Plural(counts.changed, "character", "characters") +
          " came back changed: noise on the line, a poor ground (pin 5), or the two ends running "
          "slightly different rates.");
    }
    if (counts.extra > 0) {
      out.diagnosis.push_back(Plural(counts.extra, "character", "characters") +
                              " came back that were never sent: noise on RxD (pin 2), or "
                              "another device talking on the line.");
    }
    if (counts.out_of_order > 0) {
      out.diagnosis.push_back(Plural(counts.out_of_order, "character", "characters") +
                              " came back out of order: the driver or the adapter mixes up its "
                              "buffers.");
    }
    if (line_errors > 0 || counted_errors > 0) {
      out.diagnosis.push_back(
          "The receiver reported line errors during the soak (framing, parity, overrun or "
          "break): noise, a rate or frame that differs between the ends, or an overrun.");
    }
    if (!stopped_why.empty() && received_total == 0) {
      out.diagnosis.push_back(
          flow_rts ? "Nothing came back with RTS/CTS handshake on: TxD is not looped to RxD "
                     "(pins 3 to 2), or CTS (pin 8) never comes on to let the port send."
                   : "Nothing came back: TxD is not looped to RxD (pins 3 to 2).");
    }
  }

  // The figures.
  auto& f = out.figures;
  f.push_back({"duration_asked_ms", soak_ms});
  f.push_back({"flow", std::string(flow_rts ? "rts" : "none")});
  f.push_back({"line_settings", line.Text()});
  f.push_back({"seed", SeedText()});
  f.push_back({"characters_sent", sent});
  f.push_back({"characters_received", received_total});
  f.push_back({"characters_ok", counts.ok});
  f.push_back({"lost", counts.lost});
  f.push_back({"changed", counts.changed});
  f.push_back({"extra", counts.extra});
  f.push_back({"out_of_order", counts.out_of_order});
  f.push_back({"errors", errors});
  f.push_back({"line_error_events", line_errors});
  if (first_error_us >= 0) f.push_back({"first_error_ms", first_error_us / 1000});
  if (check.FirstErrorCharacter() > 0)
    f.push_back({"first_error_character", check.FirstErrorCharacter()});
  f.push_back({"bits_per_character", std::int64_t{bits}});
  f.push_back({"bits_sent", bits_sent});
  f.push_back({"throughput_cps", cps});
  f.push_back({"throughput_bps", bps});
  f.push_back({"wire_rate_baud", std::int64_t{line.baud}});
  f.push_back({"throughput_ratio", ratio});
  f.push_back({"counters_available", counted.has_value()});
  if (counted) {
    f.push_back({"frame_errors", counted->frame});
    f.push_back({"parity_errors", counted->parity});
    f.push_back({"overruns", counted->overrun});
    f.push_back({"buffer_overruns", counted->buf_overrun});
    f.push_back({"breaks", counted->brk});
  }
  if (clean) f.push_back({"ber_upper_bound", ber_bound});
  return out;
}

}  // namespace serivane::run
