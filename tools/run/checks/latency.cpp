#include "tools/run/checks/latency.h"

#include <algorithm>
#include <exception>
#include <string>

#include "common/conv.h"
#include "tools/run/checks/running_check.h"
#include "tools/run/checks/waiting.h"

namespace serivane::run {

std::int64_t Percentile(const std::vector<std::int64_t>& sorted, int p) {
  const auto n = static_cast<std::int64_t>(sorted.size());
  const std::int64_t rank = std::max<std::int64_t>((n * p + 99) / 100, 1);
  return sorted[static_cast<std::size_t>(rank - 1)];
}

bool PointsAtUsbTimer(const std::vector<std::int64_t>& sorted, std::int64_t wire_us,
                      std::optional<int> latency_timer_ms, bool on_usb) {
  if (sorted.empty() || !on_usb) return false;
  const std::int64_t median = Percentile(sorted, 50);
  if (latency_timer_ms && *latency_timer_ms > 0) {
    return median * 4 >= std::int64_t{*latency_timer_ms} * 1000 * 3;
  }
  if (median < wire_us + 1000) return false;
  const auto on_frame = std::count_if(sorted.begin(), sorted.end(), [](std::int64_t us) {
    const std::int64_t off = us % 1000;
    return us >= 1000 && (off <= 125 || off >= 875);
  });
  return on_frame * 4 >= static_cast<std::int64_t>(sorted.size()) * 3;
}

namespace {

std::string Hex(unsigned char c) {
  constexpr const char* kDigits = "0123456789ABCDEF";
  return std::string("0x") + kDigits[c >> 4] + kDigits[c & 15];
}

std::string Us(std::int64_t us) {
  return DecimalText(us) + " us";
}

// What went wrong with a round trip, for the diagnosis.
enum class Cause { kNone, kNoEcho, kChanged };

// The round trips as far as they went.
struct RoundTrips {
  std::vector<std::int64_t> times;  // microseconds, in the order taken
  std::string failure;              // the line that says what ended them early, or ""
  Cause cause = Cause::kNone;
};

// The port's line as the round trips need it: one character's wire time and how long to wait
// for its echo.
struct Timing {
  serial::LineConfig line;
  std::int64_t wire_us = 0;
  std::int64_t limit_ms = 0;
};

Timing LatencyTiming(CheckContext& context) {
  Timing t;
  t.line = serial::LineConfig::Parse(context.Port().LineSettings());
  t.wire_us = WireMicros(t.line, 1);
  t.limit_ms = t.wire_us / 1000 + 1 + context.RunSettings().TestTimeout;
  return t;
}

// Sends one character at a time and times its echo, until `rounds` are done, one fails, or a
// stop is asked for.
void TakeRoundTrips(CheckContext& context, const Timing& timing, std::int32_t rounds,
                    RoundTrips& trips) {
  Clock& clock = context.GetClock();
  serial::CommControl& port = context.Port();
  const unsigned mask = (1u << timing.line.data_bits) - 1u;
  for (std::int32_t i = 0; i < rounds && !context.StopRequested(); ++i) {
    // Printable codes in turn, so that an echo of the character before is told apart.
    const auto sent = static_cast<unsigned char>((0x21u + static_cast<unsigned>(i) % 94u) & mask);
    const std::int64_t t0 = clock.NowMicros();
    port.TransmitText(std::string(1, static_cast<char>(sent)));
    const bool back = WaitUntil(context, timing.limit_ms, [&] { return port.InBufferCount() > 0; });
    const std::int64_t t1 = clock.NowMicros();
    const auto round = [&] {
      return "Round trip " + DecimalText(i + 1) + " of " + DecimalText(rounds);
    };
    if (!back) {
      if (context.StopRequested()) break;
      trips.failure = round() + ": no echo within " + DecimalText(timing.limit_ms) + " ms";
      trips.cause = Cause::kNoEcho;
      break;
    }
    const std::string got = port.ReceivedText();
    if (got.size() != 1 || static_cast<unsigned char>(got[0]) != sent) {
      trips.failure =
          round() + ": sent " + Hex(sent) + ", got " +
          (got.size() == 1 ? Hex(static_cast<unsigned char>(got[0]))
                           : DecimalText(static_cast<std::int64_t>(got.size())) + " characters");
      trips.cause = Cause::kChanged;
      break;
    }
    trips.times.push_back(t1 - t0);
  }
}

// The percentiles of the round trips taken, and what they point at.
void ReportTimes(CheckContext& context, RunningCheck& run, const std::vector<std::int64_t>& sorted,
                 std::int64_t wire_us, std::optional<int> timer) {
  std::vector<Figure>& f = run.Out().figures;
  const std::int64_t median = Percentile(sorted, 50);
  const std::int64_t p95 = Percentile(sorted, 95);
  const std::int64_t p99 = Percentile(sorted, 99);
  f.push_back({"min_us", sorted.front()});
  f.push_back({"median_us", median});
  f.push_back({"p95_us", p95});
  f.push_back({"p99_us", p99});
  f.push_back({"max_us", sorted.back()});
  run.Line("Median " + Us(median) + ", 95th " + Us(p95) + ", 99th " + Us(p99) + ", maximum " +
           Us(sorted.back()) + " over " + DecimalText(static_cast<std::int64_t>(sorted.size())) +
           " round trips" +
           (context.NoModemLines()
                ? "; a pseudo-terminal has no wire: this is the system's own time"
                : "; one character takes " + Us(wire_us) + " on the wire"));
  const bool usb = PointsAtUsbTimer(sorted, wire_us, timer, context.OnUsb());
  f.push_back({"usb_latency_timer_suspected", usb});
  if (usb && timer && *timer > 0) {
    run.Line("The round trips point at the adapter's USB latency timer (" + DecimalText(*timer) +
             " ms): it holds each echo until the timer runs out; a lower latency_timer speeds "
             "up single-character traffic");
  } else if (usb) {
    run.Line(
        "The round trips cluster at whole milliseconds, as USB polling makes them: the "
        "adapter, not the line, sets the pace");
  }
}

// The round trips from the start, with their figures and lines.
void MeasureLatency(CheckContext& context, RunningCheck& run, std::int32_t rounds,
                    RoundTrips& trips) {
  const Timing timing = LatencyTiming(context);
  trips.times.reserve(static_cast<std::size_t>(rounds));
  Settle(context);
  context.TakeEvents();
  TakeRoundTrips(context, timing, rounds, trips);
  KeepEvents(context, run.Out().events);

  std::vector<std::int64_t> sorted = trips.times;
  std::sort(sorted.begin(), sorted.end());
  std::vector<Figure>& f = run.Out().figures;
  f.push_back({"rounds", std::int64_t{rounds}});
  f.push_back({"rounds_done", static_cast<std::int64_t>(trips.times.size())});
  f.push_back({"wire_us", timing.wire_us});
  const std::optional<int> timer = context.LatencyTimerMs();
  if (timer) f.push_back({"latency_timer_ms", std::int64_t{*timer}});
  if (!sorted.empty()) ReportTimes(context, run, sorted, timing.wire_us, timer);
}

void DiagnoseLatency(RunningCheck& run, Cause cause) {
  if (cause == Cause::kNoEcho) {
    run.Diagnose(
        "A character of the latency check got no echo: the far end stopped answering, or "
        "characters are lost on TxD 3 (2) or RxD 2 (3).");
  } else if (cause == Cause::kChanged) {
    run.Diagnose(
        "A character of the latency check came back changed or with others: noise, cable "
        "length or ground (pin 5 (7)), or something else sends on RxD 2 (3).");
  }
}

}  // namespace

CheckOutcome RunLatencyCheck(CheckContext& context, std::int32_t rounds) {
  RunningCheck run(context, "latency",
                   "Latency: " + DecimalText(rounds) + " round trips of one character");
  RoundTrips trips;
  try {
    MeasureLatency(context, run, rounds, trips);
  } catch (const std::exception& e) {
    trips.failure = PortFailedLine(e);
  }
  std::vector<std::string>& lines = run.Out().lines;
  if (!trips.failure.empty()) lines.insert(lines.begin(), trips.failure);
  DiagnoseLatency(run, trips.cause);
  return run.Finish(trips.failure.empty());
}

}  // namespace serivane::run
