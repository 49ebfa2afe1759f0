#include "tools/run/checks/latency.h"

#include <algorithm>
#include <exception>
#include <string>

#include "common/conv.h"
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

}  // namespace

CheckOutcome RunLatencyCheck(CheckContext& context, std::int32_t rounds) {
  CheckOutcome c;
  c.name = "latency";
  c.title = "Latency: " + DecimalText(rounds) + " round trips of one character";
  Clock& clock = context.GetClock();
  serial::CommControl& port = context.Port();
  const std::int64_t started = clock.NowMicros();
  std::vector<std::int64_t> times;
  times.reserve(static_cast<std::size_t>(rounds));
  std::string failure;
  std::string cause;

  try {
    const serial::LineConfig line = serial::LineConfig::Parse(port.LineSettings());
    const std::int64_t wire_us = WireMicros(line, 1);
    const std::int64_t limit_ms = wire_us / 1000 + 1 + context.RunSettings().TestTimeout;
    const unsigned mask = (1u << line.data_bits) - 1u;
    Settle(context);
    context.TakeEvents();
    for (std::int32_t i = 0; i < rounds && !context.StopRequested(); ++i) {
      // Printable codes in turn, so that an echo of the character before is told apart.
      const auto sent = static_cast<unsigned char>((0x21u + static_cast<unsigned>(i) % 94u) & mask);
      const std::int64_t t0 = clock.NowMicros();
      port.TransmitText(std::string(1, static_cast<char>(sent)));
      const bool back = WaitUntil(context, limit_ms, [&] { return port.InBufferCount() > 0; });
      const std::int64_t t1 = clock.NowMicros();
      if (!back) {
        if (context.StopRequested()) break;
        failure = "Round trip " + DecimalText(i + 1) + " of " + DecimalText(rounds) +
                  ": no echo within " + DecimalText(limit_ms) + " ms";
        cause = "no echo";
        break;
      }
      const std::string got = port.ReceivedText();
      if (got.size() != 1 || static_cast<unsigned char>(got[0]) != sent) {
        failure =
            "Round trip " + DecimalText(i + 1) + " of " + DecimalText(rounds) + ": sent " +
            Hex(sent) + ", got " +
            (got.size() == 1 ? Hex(static_cast<unsigned char>(got[0]))
                             : DecimalText(static_cast<std::int64_t>(got.size())) + " characters");
        cause = "changed";
        break;
      }
      times.push_back(t1 - t0);
    }
    KeepEvents(context, c.events);

    std::vector<std::int64_t> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    c.figures.push_back({"rounds", std::int64_t{rounds}});
    c.figures.push_back({"rounds_done", static_cast<std::int64_t>(times.size())});
    c.figures.push_back({"wire_us", wire_us});
    const std::optional<int> timer = context.LatencyTimerMs();
    if (timer) c.figures.push_back({"latency_timer_ms", std::int64_t{*timer}});
    if (!sorted.empty()) {
      const std::int64_t median = Percentile(sorted, 50);
      const std::int64_t p95 = Percentile(sorted, 95);
      const std::int64_t p99 = Percentile(sorted, 99);
      c.figures.push_back({"min_us", sorted.front()});
      c.figures.push_back({"median_us", median});
      c.figures.push_back({"p95_us", p95});
      c.figures.push_back({"p99_us", p99});
      c.figures.push_back({"max_us", sorted.back()});
      c.lines.push_back("Median " + Us(median) + ", 95th " + Us(p95) + ", 99th " + Us(p99) +
                        ", maximum " + Us(sorted.back()) + " over " +
                        DecimalText(static_cast<std::int64_t>(sorted.size())) + " round trips" +
                        (context.NoModemLines()
                             ? "; a pseudo-terminal has no wire: this is the system's own time"
                             : "; one character takes " + Us(wire_us) + " on the wire"));
      const bool usb = PointsAtUsbTimer(sorted, wire_us, timer, context.OnUsb());
      c.figures.push_back({"usb_latency_timer_suspected", usb});
      if (usb && timer && *timer > 0) {
        c.lines.push_back("The round trips point at the adapter's USB latency timer (" +
                          DecimalText(*timer) +
                          " ms): it holds each echo until the timer runs out; a lower "
                          "latency_timer speeds up single-character traffic");
      } else if (usb) {
        c.lines.push_back(
            "The round trips cluster at whole milliseconds, as USB polling makes them: the "
            "adapter, not the line, sets the pace");
      }
    }
  } catch (const std::exception& e) {
    failure = std::string("The port failed: ") + e.what();
  }

  if (!failure.empty()) c.lines.insert(c.lines.begin(), failure);
  if (cause == "no echo") {
    c.diagnosis.push_back(
        "A character of the latency check got no echo: the far end stopped answering, or "
        "characters are lost on TxD 3 (2) or RxD 2 (3).");
  } else if (cause == "changed") {
    c.diagnosis.push_back(
        "A character of the latency check came back changed or with others: noise, cable "
        "length or ground (pin 5 (7)), or something else sends on RxD 2 (3).");
  }
  c.interrupted = context.StopRequested();
  c.passed = failure.empty() && !c.interrupted;
  c.lines.insert(c.lines.begin(), c.title + (c.passed ? " --- OK" : " <-- FAILED"));
  c.duration_ms = (clock.NowMicros() - started) / 1000;
  return c;
}

}  // namespace serivane::run
